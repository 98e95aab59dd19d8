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

}  // namespace
