#include "storage/StoredName.h"

#include <string>

#include <gtest/gtest.h>

namespace {

TEST(StoredName, FoundFileBecomesStoredNameAndBack) {
  std::string stored, relative;
  ASSERT_TRUE(fern::MakeStoredName('E', "docs/plan.txt", stored));
  EXPECT_EQ(stored, "E:\\docs\\plan.txt");
  ASSERT_TRUE(fern::StoredNameToRelative(stored, relative));
  EXPECT_EQ(relative, "docs/plan.txt");

  ASSERT_TRUE(fern::MakeStoredName('D', "a.txt", stored));
  EXPECT_EQ(stored, "D:\\a.txt");
  EXPECT_EQ(fern::StoredNameTail(stored), "a.txt");

  // Whatever letter the drive had, the root is cut: F:\x\y.doc lands at x/y.doc on G:.
  ASSERT_TRUE(fern::StoredNameToRelative("F:\\x\\y.doc", relative));
  EXPECT_EQ(relative, "x/y.doc");
  EXPECT_EQ(fern::StoredNameTail("F:\\x\\y.doc"), "x\\y.doc");
  EXPECT_EQ(fern::StoredNameTail("F:\\"), "");

  // Names that only look odd are fine.
  ASSERT_TRUE(fern::StoredNameToRelative("E:\\...\\.hidden\\a..b", relative));
  EXPECT_EQ(relative, ".../.hidden/a..b");
}

TEST(StoredName, BackslashInAFoundNameIsRefused) {
  std::string stored = "left over";
  EXPECT_FALSE(fern::MakeStoredName('E', "odd\\name.txt", stored));
  EXPECT_TRUE(stored.empty());
}

TEST(StoredName, NamesThatCouldLeaveTheRootAreRefused) {
  const std::string refused[] = {
      "",
      "E:",
      "E:\\",
      "E:\\..",
      "E:\\..\\etc\\passwd",
      "E:\\a\\..\\..\\b",
      "E:\\a\\..",
      "E:\\.",
      "E:\\.\\a",
      "E:\\a\\\\b",
      "E:\\\\a",
      "E:\\a\\",
      "E:\\a/b",
      "E:\\/etc/passwd",
      "E:\\a/../../b",
      std::string("E:\\a\0b", 6),
      std::string("E:\\a\\\0", 6),
  };
  for (const std::string& name : refused) {
    SCOPED_TRACE(name);
    std::string relative = "left over";
    EXPECT_FALSE(fern::StoredNameToRelative(name, relative));
    EXPECT_TRUE(relative.empty());
  }
}

TEST(StoredName, WindowsNamesAreReadAsWindows1252) {
  // A set written on a western Windows: E:\Café\Müller €ß.txt in the ANSI code page.
  const std::string windows = "E:\\Caf\xE9\\M\xFCller \x80\xDF.txt";
  const std::string utf8 = "E:\\Caf\xC3\xA9\\M\xC3\xBCller \xE2\x82\xAC\xC3\x9F.txt";
  EXPECT_FALSE(fern::IsValidUtf8(windows));
  EXPECT_EQ(fern::DecodeStoredName(windows), utf8);
  // UTF-8 (what a backup here writes) stays as it is, and decoding twice changes nothing.
  EXPECT_EQ(fern::DecodeStoredName(utf8), utf8);
  EXPECT_EQ(fern::DecodeStoredName(fern::DecodeStoredName(windows)), utf8);

  std::string relative;
  ASSERT_TRUE(fern::StoredNameToRelative(windows, relative));
  EXPECT_EQ(relative, "Caf\xC3\xA9/M\xC3\xBCller \xE2\x82\xAC\xC3\x9F.txt");
  ASSERT_TRUE(fern::StoredNameToRelative(utf8, relative));
  EXPECT_EQ(relative, "Caf\xC3\xA9/M\xC3\xBCller \xE2\x82\xAC\xC3\x9F.txt");
  // The same file whichever form a pick list holds.
  EXPECT_TRUE(fern::SameStoredName(windows, "F:\\CAF\xC3\xA9\\m\xC3\xBCLLER \xE2\x82\xAC\xC3\x9F.TXT"));
  EXPECT_FALSE(fern::SameStoredName(windows, "E:\\Cafe\\Muller.txt"));

  // Every byte of the upper half has its character; the five Windows leaves undefined stand
  // for the C1 controls of their value.
  EXPECT_EQ(fern::DecodeStoredName("\x81\x8D\x8F\x90\x9D"), "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D");
  EXPECT_EQ(fern::DecodeStoredName("\x9F\xA0\xFF"), "\xC5\xB8\xC2\xA0\xC3\xBF");
  EXPECT_EQ(fern::DecodeStoredName("\x99\x85"), "\xE2\x84\xA2\xE2\x80\xA6");
  for (int c = 0x80; c <= 0xFF; ++c) EXPECT_TRUE(fern::IsValidUtf8(fern::DecodeStoredName(std::string(1, char(c)))));
}

TEST(StoredName, OnlyWellFormedUtf8IsTakenAsUtf8) {
  EXPECT_TRUE(fern::IsValidUtf8(""));
  EXPECT_TRUE(fern::IsValidUtf8("plain"));
  EXPECT_TRUE(fern::IsValidUtf8("\xF0\x9F\x98\x80"));   // U+1F600
  EXPECT_TRUE(fern::IsValidUtf8("\xEF\xBF\xBD"));       // U+FFFD
  EXPECT_FALSE(fern::IsValidUtf8("\xC0\xAF"));          // overlong '/'
  EXPECT_FALSE(fern::IsValidUtf8("\xE0\x80\xAF"));      // overlong '/'
  EXPECT_FALSE(fern::IsValidUtf8("\xED\xA0\x80"));      // a surrogate
  EXPECT_FALSE(fern::IsValidUtf8("\xF4\x90\x80\x80"));  // above U+10FFFF
  EXPECT_FALSE(fern::IsValidUtf8("\xC3"));              // cut short
  EXPECT_FALSE(fern::IsValidUtf8("a\xC3z"));
  // An overlong '/' read as Windows-1252 is two letters, never a separator.
  std::string relative;
  ASSERT_TRUE(fern::StoredNameToRelative("E:\\a\xC0\xAF..", relative));
  EXPECT_EQ(relative, "a\xC3\x80\xC2\xAF..");
  // The split at '\' comes after decoding: a Windows name's folders are kept apart.
  ASSERT_TRUE(fern::StoredNameToRelative("E:\\\xE9t\xE9\\\xE9\\x", relative));
  EXPECT_EQ(relative, "\xC3\xA9t\xC3\xA9/\xC3\xA9/x");
}

}  // namespace

// The path starts three bytes into the decoded name. A name without a drive root there (read as
// Windows-1252, "E\Ã:\Ã(" has a two-byte character across the cut) would give a path that is
// not UTF-8; such a name is refused, while a cut between two characters stays a path.
TEST(StoredName, ACutThroughACharacterIsRefused) {
  std::string relative;
  EXPECT_FALSE(fern::StoredNameToRelative("E\\\xC3:\\\xC3(", relative));
  EXPECT_TRUE(relative.empty());
  EXPECT_FALSE(fern::StoredNameToRelative("\xC3\xA9\xC3\xA9.txt", relative));  // "éé.txt", valid UTF-8
  ASSERT_TRUE(fern::StoredNameToRelative("\xC3\xA9\\a.txt", relative));        // "é\a.txt": cut after é
  EXPECT_EQ(relative, "a.txt");
  ASSERT_TRUE(fern::StoredNameToRelative("E:\\\xC3\xA9.txt", relative));
  EXPECT_EQ(relative, "\xC3\xA9.txt");
}
