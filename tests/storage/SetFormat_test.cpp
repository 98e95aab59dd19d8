#include "storage/SetFormat.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <algorithm>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/CompressedFile.h"
#include "tests/storage/GzipCheck.h"
#include "tests/storage/TempDir.h"

namespace {

using fern::EntryHeader;
using fern::HeaderResult;

std::string Header(uint32_t nameLength, uint32_t dataLength, int64_t time) {
  unsigned char raw[fern::kEntryHeaderSize];
  fern::EncodeEntryHeader({nameLength, dataLength, time}, raw);
  return std::string(reinterpret_cast<char*>(raw), sizeof raw);
}

bool WriteSet(const std::string& path, const std::string& content) {
  CCompressedFile file;
  file.SetLevel(9);
  if (!file.Open(path.c_str(), 1)) return false;
  file.SetLevel(9);
  if (!content.empty() && !file.Write(content.data(), static_cast<unsigned>(content.size())))
    return false;
  return file.Close();
}

// Passes reads through to a real set file and remembers how much was asked for and delivered.
class CountingStream : public CStreamFile {
 public:
  explicit CountingStream(CCompressedFile& file) : m_file(file) {}
  bool Close() override { return m_file.Close(); }
  bool IsOpen() override { return m_file.IsOpen(); }
  bool Write(const void*, unsigned) override { return false; }
  bool WriteString(const char*) override { return false; }
  int Read(void* buffer, unsigned length) override {
    reach = std::max(reach, delivered + length);
    int got = m_file.Read(buffer, length);
    if (got > 0) delivered += static_cast<unsigned>(got);
    return got;
  }
  bool ReadAll(char**, int*) override { return false; }
  int ApplyParameters() override { return 0; }

  unsigned reach = 0;      // the furthest stream offset any read asked for
  unsigned delivered = 0;

 private:
  CCompressedFile& m_file;
};

TEST(SetFormat, OneFileOfFiveBytesIsOneEntryOf29Bytes) {
  TempDir dir;
  std::string path = dir.File("MYSTICK-951.fcf");
  const int64_t time = 1134052200;
  const std::string name = "E:\\a.txt", data = "hello";
  ASSERT_EQ(name.size(), 8u);
  {
    CCompressedFile file;
    file.SetLevel(9);
    ASSERT_TRUE(file.Open(path.c_str(), 1));
    file.SetLevel(9);
    unsigned char raw[fern::kEntryHeaderSize];
    fern::EncodeEntryHeader({8, 5, time}, raw);
    ASSERT_TRUE(file.Write(raw, sizeof raw));
    ASSERT_TRUE(file.WriteString(name.c_str()));
    ASSERT_TRUE(file.Write(data.data(), 5));
    ASSERT_TRUE(file.Close());
  }
  std::string content;
  ASSERT_TRUE(InflateGzip(ReadFileBytes(path), content));
  ASSERT_EQ(content.size(), 29u);
  const unsigned char expectedHeader[16] = {8, 0, 0, 0, 5, 0, 0, 0,
                                            0x68, 0x43, 0x98, 0x43, 0, 0, 0, 0};
  EXPECT_EQ(memcmp(content.data(), expectedHeader, 16), 0);
  EXPECT_EQ(content.substr(16, 8), name);
  EXPECT_EQ(content.substr(24), data);

  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  EntryHeader header;
  std::string read;
  ASSERT_EQ(fern::ReadEntryHeader(file, header, read), HeaderResult::Entry);
  EXPECT_EQ(header.nameLength, 8u);
  EXPECT_EQ(header.dataLength, 5u);
  EXPECT_EQ(header.time, time);
  EXPECT_EQ(read, name);
  char buffer[16];
  EXPECT_EQ(file.Read(buffer, 5), 5);
  EXPECT_EQ(std::string(buffer, 5), data);
  EXPECT_EQ(fern::ReadEntryHeader(file, header, read), HeaderResult::End);
}

TEST(SetFormat, HeaderIsLittleEndianWholeWidth) {
  unsigned char raw[16];
  fern::EncodeEntryHeader({0x04030201u, 0xF8F7F6F5u, -2}, raw);
  const unsigned char expected[16] = {1, 2, 3, 4, 0xF5, 0xF6, 0xF7, 0xF8,
                                      0xFE, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
  EXPECT_EQ(memcmp(raw, expected, 16), 0);
  EntryHeader back = fern::DecodeEntryHeader(raw);
  EXPECT_EQ(back.nameLength, 0x04030201u);
  EXPECT_EQ(back.dataLength, 0xF8F7F6F5u);
  EXPECT_EQ(back.time, -2);

  fern::EncodeEntryHeader({1, 2, int64_t{0x0102030405060708}}, raw);
  for (int i = 0; i < 8; ++i) EXPECT_EQ(raw[8 + i], 8 - i);
  EXPECT_EQ(fern::DecodeEntryHeader(raw).time, int64_t{0x0102030405060708});
}

TEST(SetFormat, SeveralEntriesAndTheLongestNameReadBack) {
  TempDir dir;
  std::string path = dir.File("X-1.fcf");
  std::string longName = "E:\\" + std::string(508, 'n');  // 511 bytes: the longest that fits
  std::string zeroInName = std::string("E:\\ab\0cd", 8);
  std::string content = Header(8, 3, 1) + "E:\\a.txt" + "abc" +
                        Header(511, 0, 2) + longName +
                        Header(8, 1, 3) + zeroInName + "z";
  ASSERT_TRUE(WriteSet(path, content));

  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  EntryHeader header;
  std::string name;
  char buffer[8];
  ASSERT_EQ(fern::ReadEntryHeader(file, header, name), HeaderResult::Entry);
  EXPECT_EQ(name, "E:\\a.txt");
  ASSERT_EQ(file.Read(buffer, 3), 3);
  ASSERT_EQ(fern::ReadEntryHeader(file, header, name), HeaderResult::Entry);
  EXPECT_EQ(name, longName);
  EXPECT_EQ(header.time, 2);
  ASSERT_EQ(fern::ReadEntryHeader(file, header, name), HeaderResult::Entry);
  EXPECT_EQ(name, "E:\\ab") << "the name is the text up to its first zero byte";
  ASSERT_EQ(file.Read(buffer, 1), 1);
  EXPECT_EQ(buffer[0], 'z');
  EXPECT_EQ(fern::ReadEntryHeader(file, header, name), HeaderResult::End);
}

TEST(SetFormat, DamagedHeadersAreReportedWithoutReadingPast) {
  TempDir dir;
  struct Case {
    std::string what;
    std::string content;
    unsigned maxReach;  // header, then the announced name at most
  };
  std::vector<Case> cases;
  std::string full = Header(8, 5, 0);
  for (unsigned n = 1; n < 16; ++n)
    cases.push_back({"header of " + std::to_string(n) + " bytes", full.substr(0, n), 16});
  cases.push_back({"name length 512", Header(512, 0, 0) + std::string(600, 'x'), 16});
  cases.push_back({"name length 0xFFFFFFFF", Header(0xFFFFFFFFu, 0, 0) + std::string(600, 'x'), 16});
  cases.push_back({"name shorter than announced", Header(20, 0, 0) + "E:\\short", 16 + 20});
  cases.push_back({"second header partial",
                   Header(8, 1, 0) + "E:\\a.txt" + "d" + full.substr(0, 7), 16 + 8 + 1 + 16});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string path = dir.File("damaged.fcf");
    ASSERT_TRUE(WriteSet(path, c.content));
    CCompressedFile file;
    ASSERT_TRUE(file.Open(path.c_str(), 2));
    CountingStream stream(file);
    EntryHeader header;
    std::string name;
    HeaderResult result = fern::ReadEntryHeader(stream, header, name);
    if (c.what == "second header partial") {
      ASSERT_EQ(result, HeaderResult::Entry);
      char d;
      ASSERT_EQ(stream.Read(&d, 1), 1);
      result = fern::ReadEntryHeader(stream, header, name);
    }
    EXPECT_EQ(result, HeaderResult::Damaged);
    EXPECT_LE(stream.reach, c.maxReach);
    EXPECT_TRUE(name.empty());
  }

  // A stream damaged inside: the gzip header is fine, the deflate data is not.
  std::string good = dir.File("good.fcf");
  ASSERT_TRUE(WriteSet(good, Header(8, 5, 0) + "E:\\a.txt" + "hello"));
  std::string bytes = ReadFileBytes(good);
  std::string path = dir.File("corrupt.fcf");
  WriteFileBytes(path, bytes.substr(0, 10) + std::string(40, '\xFF'));
  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  EntryHeader header;
  std::string name;
  EXPECT_EQ(fern::ReadEntryHeader(file, header, name), HeaderResult::Damaged);

  // The same set with its CRC spoilt: damage, not an entry.
  bytes[bytes.size() - 8] ^= 0x01;
  WriteFileBytes(path, bytes);
  CCompressedFile crc;
  ASSERT_TRUE(crc.Open(path.c_str(), 2));
  EXPECT_EQ(fern::ReadEntryHeader(crc, header, name), HeaderResult::Damaged);
}

TEST(SetFormat, EmptySetEndsAtOnce) {
  TempDir dir;
  std::string path = dir.File("empty.fcf");
  ASSERT_TRUE(WriteSet(path, ""));
  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  EntryHeader header;
  std::string name = "old";
  EXPECT_EQ(fern::ReadEntryHeader(file, header, name), HeaderResult::End);
  EXPECT_TRUE(name.empty());
}

TEST(SetFormat, SetNames) {
  EXPECT_EQ(fern::SetFilePath("/home/ann/backups", "MYSTICK", 951, true),
            "/home/ann/backups/MYSTICK-951.fcf");
  EXPECT_EQ(fern::SetFilePath("/b", "MYSTICK", 987, false), "/b/MYSTICK-987.fci");
  EXPECT_EQ(fern::SetFilePath("/b", "", 951, true), "/b/-951.fcf");
  EXPECT_EQ(fern::SetFilePath("/b", "MY-STICK", 4294967295u, true), "/b/MY-STICK-4294967295.fcf");
  EXPECT_EQ(fern::FullSetsPattern("MYSTICK"), "MYSTICK-*.fcf");
  EXPECT_EQ(fern::QuickSetsPattern("MYSTICK"), "MYSTICK-*.fci");
  EXPECT_STREQ(fern::AllSetsPattern(), "*.fc*");

  // A label with '/' (possible on ext4 or btrfs) must not lead out of the backups folder.
  EXPECT_EQ(fern::SetFilePath("/b", "../../etc/x", 1, true), "/b/.._.._etc_x-1.fcf");
  EXPECT_EQ(fern::FullSetsPattern("a/b"), "a_b-*.fcf");
  EXPECT_EQ(fern::QuickSetsPattern("a/b"), "a_b-*.fci");
}

TEST(SetFormat, KindAndDriveOfASet) {
  EXPECT_TRUE(fern::IsQuickSet("X-1.FCI"));
  EXPECT_TRUE(fern::IsQuickSet("/b/MYSTICK-987.fci"));
  EXPECT_TRUE(fern::IsQuickSet("odd.fCi"));
  EXPECT_FALSE(fern::IsQuickSet("X-1.fcf"));
  EXPECT_FALSE(fern::IsQuickSet("X-1.FCIX"));
  EXPECT_FALSE(fern::IsQuickSet("ci"));
  EXPECT_FALSE(fern::IsQuickSet(""));

  EXPECT_EQ(fern::DriveNameOfSet("MYSTICK-951.fcf"), "MYSTICK");
  EXPECT_EQ(fern::DriveNameOfSet("/home/ann/backups/MYSTICK-987.fci"), "MYSTICK");
  EXPECT_EQ(fern::DriveNameOfSet("MY-STICK-951.fcf"), "MY") << "up to the first '-'";
  EXPECT_EQ(fern::DriveNameOfSet("-951.fcf"), "");
  EXPECT_EQ(fern::DriveNameOfSet("NODASH.fcf"), "");
  EXPECT_EQ(fern::DriveNameOfSet("/a-b/STICK-1.fcf"), "STICK") << "the folder does not count";

  EXPECT_EQ(fern::BareFileName("/b/c/x.txt"), "x.txt");
  EXPECT_EQ(fern::BareFileName("x.txt"), "x.txt");
}

// Sets its variables for one scope and puts back what was there.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : m_name(name) {
    const char* old = getenv(name);
    m_had = old != nullptr;
    if (m_had) m_old = old;
    if (value != nullptr) setenv(name, value, 1); else unsetenv(name);
  }
  ~ScopedEnv() {
    if (m_had) setenv(m_name.c_str(), m_old.c_str(), 1); else unsetenv(m_name.c_str());
  }

 private:
  std::string m_name, m_old;
  bool m_had = false;
};

mode_t ModeOf(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return 0;
  return st.st_mode & 07777;
}

TEST(SetFormat, BackupsFolderIsTheUsersDataFolderWhateverTheCurrentFolder) {
  TempDir dir;
  const std::string home = dir.File("home");
  ASSERT_EQ(mkdir(home.c_str(), 0755), 0);
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  const mode_t oldMask = umask(022);
  // Started from the desktop: the current folder is the home.
  ASSERT_EQ(chdir(home.c_str()), 0);
  ScopedEnv homeVar("HOME", home.c_str());
  std::string byDefault, relativeData, second, xdg, kept;
  int errDefault = -1, errXdg = -1, errKept = -1;
  {
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    byDefault = fern::GetBackupsFolder(&errDefault);
    second = fern::GetBackupsFolder();  // already there: same answer
  }
  {
    ScopedEnv data("XDG_DATA_HOME", "relative/data");  // not absolute: ignored
    relativeData = fern::BackupsFolderPath();
  }
  {
    ScopedEnv data("XDG_DATA_HOME", dir.File("xdg/").c_str());
    xdg = fern::GetBackupsFolder(&errXdg);
  }
  // A folder the user set up with another mode is used as it is.
  ASSERT_EQ(mkdir(dir.File("mine").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(dir.File("mine/ferncastle").c_str(), 0750), 0);
  ASSERT_EQ(mkdir(dir.File("mine/ferncastle/backups").c_str(), 0755), 0);
  ASSERT_EQ(chmod(dir.File("mine/ferncastle/backups").c_str(), 0775), 0);
  {
    ScopedEnv data("XDG_DATA_HOME", dir.File("mine").c_str());
    kept = fern::GetBackupsFolder(&errKept);
  }
  umask(oldMask);
  ASSERT_EQ(chdir(previous), 0);

  EXPECT_EQ(byDefault, home + "/.local/share/ferncastle/backups");
  EXPECT_EQ(errDefault, 0);
  EXPECT_EQ(second, byDefault);
  EXPECT_EQ(relativeData, byDefault);
  EXPECT_EQ(ModeOf(home + "/.local/share/ferncastle"), 0700u);
  EXPECT_EQ(ModeOf(byDefault), 0700u);
  EXPECT_NE(ModeOf(home + "/.local/share"), 0u);
  EXPECT_EQ(ModeOf(home + "/backups"), 0u) << "nothing is made in the current folder";

  EXPECT_EQ(xdg, dir.File("xdg/ferncastle/backups"));
  EXPECT_EQ(errXdg, 0);
  EXPECT_EQ(ModeOf(dir.File("xdg/ferncastle")), 0700u);
  EXPECT_EQ(ModeOf(xdg), 0700u);

  EXPECT_EQ(kept, dir.File("mine/ferncastle/backups"));
  EXPECT_EQ(errKept, 0);
  EXPECT_EQ(ModeOf(dir.File("mine/ferncastle")), 0750u);
  EXPECT_EQ(ModeOf(kept), 0775u);

  // Under a umask that would leave the owner out, the folders made are still the owner's.
  {
    ASSERT_EQ(mkdir(dir.File("strict").c_str(), 0700), 0);
    ScopedEnv data("XDG_DATA_HOME", dir.File("strict").c_str());
    const mode_t mask = umask(0277);
    int err = -1;
    const std::string strict = fern::GetBackupsFolder(&err);
    umask(mask);
    EXPECT_EQ(err, 0);
    EXPECT_EQ(ModeOf(dir.File("strict/ferncastle")), 0700u);
    EXPECT_EQ(ModeOf(strict), 0700u);
  }
  // A file where the folder goes: the error is told.
  {
    ASSERT_EQ(mkdir(dir.File("blocked").c_str(), 0700), 0);
    std::FILE* f = std::fopen(dir.File("blocked/ferncastle").c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ScopedEnv data("XDG_DATA_HOME", dir.File("blocked").c_str());
    int err = 0;
    fern::GetBackupsFolder(&err);
    EXPECT_EQ(err, ENOTDIR);
  }
}

TEST(SetFormat, OnlyTheProgramsOwnNamesAreSets) {
  struct Case {
    const char* name;
    bool isSet;
    const char* label;
    uint32_t tick;
    bool full;
  };
  const Case cases[] = {
      {"MYSTICK-951.fcf", true, "MYSTICK", 951, true},
      {"MYSTICK-987.fci", true, "MYSTICK", 987, false},
      {"Stick-1.FCF", true, "Stick", 1, true},
      {"STICK-2.FcI", true, "STICK", 2, false},
      {"MY-STICK-3.fcf", true, "MY-STICK", 3, true},  // the label ends at the last '-'
      {"-951.fcf", true, "", 951, true},              // a drive without a label
      {"X-0.fci", true, "X", 0, false},
      {"X-4294967295.fcf", true, "X", 4294967295u, true},
      {"X-4294967296.fcf", false, "", 0, false},  // no 32-bit tick
      {"X-99999999999.fcf", false, "", 0, false},
      {"X-01.fcf", false, "", 0, false},
      {"bracket.FCStd", false, "", 0, false},
      {"bracket.FCBak", false, "", 0, false},
      {"notes-1.fcfx", false, "", 0, false},
      {"x-12.fcfz", false, "", 0, false},
      {"x-abc.fcf", false, "", 0, false},
      {"MYSTICK-notes.fcf", false, "", 0, false},
      {"x-1 .fcf", false, "", 0, false},
      {"x- 1.fcf", false, "", 0, false},
      {"x-+1.fcf", false, "", 0, false},
      {"x-.fcf", false, "", 0, false},
      {"NODASH.fcf", false, "", 0, false},
      {"x-1.fc", false, "", 0, false},
      {".fcf", false, "", 0, false},
      {"a/b-1.fcf", false, "", 0, false},
      {"", false, "", 0, false},
  };
  for (const Case& c : cases) {
    std::string label = "untouched";
    uint32_t tick = 7;
    bool full = false;
    EXPECT_EQ(fern::ParseSetName(c.name, label, tick, full), c.isSet) << c.name;
    if (!c.isSet) continue;
    EXPECT_EQ(label, c.label) << c.name;
    EXPECT_EQ(tick, c.tick) << c.name;
    EXPECT_EQ(full, c.full) << c.name;
  }
  // Every name the program writes is one.
  for (const char* l : {"MYSTICK", "", "a/b", "with space", "MY-STICK"})
    for (uint32_t t : {0u, 1u, 951u, 4294967295u})
      for (bool f : {true, false}) {
        std::string label;
        uint32_t tick = 0;
        bool full = !f;
        const std::string name = fern::BareFileName(fern::SetFilePath("/b", l, t, f));
        ASSERT_TRUE(fern::ParseSetName(name, label, tick, full)) << name;
        EXPECT_EQ(tick, t);
        EXPECT_EQ(full, f);
      }
}

TEST(SetFormat, DateInTheListForm) {
  const char* old = getenv("TZ");
  std::string saved = old != nullptr ? old : "";
  setenv("TZ", "UTC", 1);
  tzset();
  std::string date = fern::FormatSetDate(1134052200);
  std::string epoch = fern::FormatSetDate(0);
  if (old != nullptr) setenv("TZ", saved.c_str(), 1); else unsetenv("TZ");
  tzset();
  EXPECT_EQ(date, "12/08/05 14:30:00");
  EXPECT_EQ(epoch, "01/01/70 00:00:00");
}

}  // namespace
