#include "storage/SetFormat.h"

#include <sys/stat.h>
#include <unistd.h>

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

TEST(SetFormat, BackupsFolder) {
  EXPECT_EQ(fern::BackupsFolderOf("/home/ann"), "/home/ann/backups");
  EXPECT_EQ(fern::BackupsFolderOf("/home/ann/"), "/home/ann/backups");
  EXPECT_EQ(fern::BackupsFolderOf("/"), "/backups");
  EXPECT_EQ(fern::BackupsFolderOf(""), "backups");

  TempDir dir;
  char previous[4096];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.path().c_str()), 0);
  std::string first = fern::GetBackupsFolder();
  std::string second = fern::GetBackupsFolder();  // already there: same answer
  ASSERT_EQ(chdir(previous), 0);
  EXPECT_EQ(first, dir.path() + "/backups");
  EXPECT_EQ(second, first);
  struct stat st;
  ASSERT_EQ(stat(first.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
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
