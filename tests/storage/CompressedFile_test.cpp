#include "storage/CompressedFile.h"

#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "tests/storage/GzipCheck.h"
#include "tests/storage/TempDir.h"

namespace {

// Writes a set the way the backup run does: level 9 before and after Open.
bool WriteStream(const std::string& path, const std::string& data) {
  CCompressedFile file;
  file.SetLevel(9);
  if (!file.Open(path.c_str(), 1)) return false;
  file.SetLevel(9);
  if (!data.empty() && !file.Write(data.data(), static_cast<unsigned>(data.size()))) return false;
  return file.Close();
}

// A few MB that compress very differently: random bytes, text, long runs of zeros, small pieces.
std::string MixedData() {
  std::mt19937 rng(12345);
  std::string data;
  const std::string text = "The quick brown fox jumps over the lazy dog; ";
  for (int round = 0; round < 12; ++round) {
    for (int i = 0; i < 40000; ++i) data += static_cast<char>(rng() & 0xFF);
    for (int i = 0; i < 3000; ++i) data += text;
    data.append(60000 + round * 777, '\0');
    for (int i = 0; i < 5000; ++i) data += static_cast<char>('a' + rng() % 4);
  }
  return data;
}

TEST(CompressedFile, SecondOpenIsRefusedAndTheFirstStreamStaysUsable) {
  TempDir dir;
  std::string first = dir.File("first.fcf"), second = dir.File("second.fcf");
  CCompressedFile file;
  ASSERT_TRUE(file.Open(first.c_str(), 1));
  EXPECT_FALSE(file.Open(second.c_str(), 1));
  EXPECT_FALSE(file.Open(first.c_str(), 2));
  EXPECT_NE(access(second.c_str(), F_OK), 0) << "the refused Open created its file";
  EXPECT_TRUE(file.IsOpen());
  EXPECT_TRUE(file.WriteString("still here"));
  EXPECT_TRUE(file.Close());

  std::string out;
  ASSERT_TRUE(InflateGzip(ReadFileBytes(first), out));
  EXPECT_EQ(out, "still here");
}

TEST(CompressedFile, ClosedObjectRefusesEverythingAndOpensAgain) {
  TempDir dir;
  std::string path = dir.File("a.fcf");
  CCompressedFile file;
  char buffer[16];
  char* block = nullptr;
  int size = 7;
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.Close());
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0);
  EXPECT_FALSE(file.ReadAll(&block, &size));
  EXPECT_EQ(size, 0);
  EXPECT_EQ(block, nullptr);

  EXPECT_FALSE(file.Open(dir.File("missing.fcf").c_str(), 2));
  EXPECT_FALSE(file.Open(path.c_str(), 3));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_NE(access(path.c_str(), F_OK), 0);

  ASSERT_TRUE(file.Open(path.c_str(), 1));
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0) << "Read on a stream open for writing";
  EXPECT_TRUE(file.WriteString("abc"));
  EXPECT_TRUE(file.Close());
  EXPECT_FALSE(file.Close());
  EXPECT_FALSE(file.Write("x", 1)) << "closed after writing";

  ASSERT_TRUE(file.Open(path.c_str(), 2));
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 3);
  EXPECT_EQ(std::string(buffer, 3), "abc");
  EXPECT_TRUE(file.Close());
}

// The read-only mark of a set is its owner's write permission cleared: such a set is not opened,
// whoever asks (root too, whom no permission stops).
TEST(CompressedFile, SetMarkedReadOnlyIsRefusedForReading) {
  TempDir dir;
  std::string locked = dir.File("locked.fcf"), open = dir.File("open.fcf");
  ASSERT_TRUE(WriteStream(locked, "content"));
  ASSERT_TRUE(WriteStream(open, "content"));
  ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
  ASSERT_EQ(chmod(open.c_str(), 0644), 0);
  CCompressedFile file;
  EXPECT_FALSE(file.Open(locked.c_str(), 2));
  EXPECT_FALSE(file.IsOpen());
  EXPECT_EQ(errno, EACCES);
  EXPECT_TRUE(file.Open(open.c_str(), 2));
}

// A set that this user may not write but its owner may (another user's, in a shared folder) and
// one on a read-only mount are read like any other.
TEST(CompressedFile, SetThisUserCannotWriteIsRead) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root: another user's file and a read-only tmpfs mount";
  TempDir dir;
  ASSERT_EQ(chmod(dir.path().c_str(), 0755), 0);
  const std::string theirs = dir.File("theirs.fcf");
  ASSERT_TRUE(WriteStream(theirs, "shared content"));
  ASSERT_EQ(chmod(theirs.c_str(), 0644), 0);  // root's, readable by all
  const uid_t nobody = 65534;
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    if (setgid(nobody) != 0 || setuid(nobody) != 0) _exit(10);
    if (access(theirs.c_str(), W_OK) == 0) _exit(11);
    CCompressedFile file;
    if (!file.Open(theirs.c_str(), 2)) _exit(12);
    char buffer[64];
    if (file.Read(buffer, sizeof buffer) != 14 || memcmp(buffer, "shared content", 14) != 0) _exit(13);
    _exit(0);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "10: no ordinary user, 11: writable after all, 12: not opened, 13: misread";

  const std::string point = dir.File("ro");
  ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
  ASSERT_EQ(mount("fern-ro", point.c_str(), "tmpfs", 0, "size=1m"), 0) << strerror(errno);
  struct Unmount {
    std::string point;
    ~Unmount() { umount2(point.c_str(), MNT_DETACH); }
  } unmount{point};
  const std::string onMount = point + "/S-1.fcf";
  ASSERT_TRUE(WriteStream(onMount, "on a read-only mount"));
  ASSERT_EQ(chmod(onMount.c_str(), 0644), 0);
  ASSERT_EQ(mount("fern-ro", point.c_str(), nullptr, MS_REMOUNT | MS_RDONLY, nullptr), 0) << strerror(errno);
  ASSERT_NE(access(onMount.c_str(), W_OK), 0);
  CCompressedFile file;
  ASSERT_TRUE(file.Open(onMount.c_str(), 2));
  char buffer[64];
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 20);
  EXPECT_EQ(std::string(buffer, 20), "on a read-only mount");
  EXPECT_TRUE(file.Close());
}

TEST(CompressedFile, FileThatIsNotGzipReadsBackUnchanged) {
  TempDir dir;
  std::string path = dir.File("plain.fcf");
  std::string plain = "not compressed at all\n";
  for (int i = 0; i < 2000; ++i) plain += static_cast<char>(i * 7);
  WriteFileBytes(path, plain);

  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  std::string got(plain.size() + 100, '\0');
  int n = file.Read(got.data(), static_cast<unsigned>(got.size()));
  ASSERT_EQ(n, static_cast<int>(plain.size()));
  got.resize(static_cast<size_t>(n));
  EXPECT_EQ(got, plain);
  EXPECT_TRUE(file.Close());

  ASSERT_TRUE(file.Open(path.c_str(), 2));
  char* block = nullptr;
  int size = 0;
  ASSERT_TRUE(file.ReadAll(&block, &size));
  EXPECT_EQ(std::string(block, static_cast<size_t>(size)), plain);
  delete[] block;
}

TEST(CompressedFile, LevelNineFromTheFirstByte) {
  TempDir dir;
  std::string data = MixedData().substr(0, 300000);
  std::string nine = dir.File("nine.fcf"), plain = dir.File("default.fcf");
  ASSERT_TRUE(WriteStream(nine, data));
  {
    CCompressedFile file;
    ASSERT_TRUE(file.Open(plain.c_str(), 1));
    ASSERT_TRUE(file.Write(data.data(), static_cast<unsigned>(data.size())));
    ASSERT_TRUE(file.Close());
  }
  std::string bytes = ReadFileBytes(nine);
  ASSERT_GE(bytes.size(), 10u);
  EXPECT_EQ(static_cast<unsigned char>(bytes[0]), 0x1F);
  EXPECT_EQ(static_cast<unsigned char>(bytes[1]), 0x8B);
  EXPECT_EQ(static_cast<unsigned char>(bytes[8]), 2) << "XFL: maximum compression";
  EXPECT_EQ(static_cast<unsigned char>(ReadFileBytes(plain)[8]), 0) << "XFL at the default level";
  std::string out;
  ASSERT_TRUE(InflateGzip(bytes, out));
  EXPECT_EQ(out, data);
}

TEST(CompressedFile, EmptyStreamIsTwentyBytesAndReadsNothing) {
  TempDir dir;
  std::string path = dir.File("empty.fcf");
  ASSERT_TRUE(WriteStream(path, ""));
  std::string bytes = ReadFileBytes(path);
  EXPECT_EQ(bytes.size(), 20u);
  std::string out = "x";
  EXPECT_TRUE(InflateGzip(bytes, out));
  EXPECT_TRUE(out.empty());

  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  char buffer[64];
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0);
  EXPECT_TRUE(file.Close());

  // The stream holds nothing: false, size 0, and still a zero-length block to delete[].
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  char* block = nullptr;
  int size = 5;
  EXPECT_FALSE(file.ReadAll(&block, &size));
  EXPECT_EQ(size, 0);
  ASSERT_NE(block, nullptr);
  delete[] block;
}

TEST(CompressedFile, ReadAllOfAnEmptyFileFails) {
  TempDir dir;
  std::string path = dir.File("zero.fcf");
  WriteFileBytes(path, "");
  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  char* block = nullptr;
  int size = 9;
  EXPECT_FALSE(file.ReadAll(&block, &size));
  EXPECT_EQ(size, 0);
  EXPECT_EQ(block, nullptr) << "no block is handed out for an empty file";
}

TEST(CompressedFile, ReadReturnsWhatRemainsThenZero) {
  TempDir dir;
  std::string path = dir.File("ten.fcf");
  ASSERT_TRUE(WriteStream(path, "0123456789"));
  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  char buffer[100];
  EXPECT_EQ(file.Read(buffer, 4), 4);
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 6);
  EXPECT_EQ(std::string(buffer, 6), "456789");
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0);
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0);
}

TEST(CompressedFile, WriteOnAReadingObjectWritesNothing) {
  TempDir dir;
  std::string path = dir.File("r.fcf");
  ASSERT_TRUE(WriteStream(path, "original"));
  std::string before = ReadFileBytes(path);
  {
    CCompressedFile file;
    ASSERT_TRUE(file.Open(path.c_str(), 2));
    EXPECT_FALSE(file.Write("changed", 7));
    EXPECT_FALSE(file.WriteString("changed"));
    EXPECT_EQ(file.SetLevel(1), 0);
    char buffer[32];
    EXPECT_EQ(file.Read(buffer, sizeof buffer), 8);
  }
  EXPECT_EQ(ReadFileBytes(path), before);
}

TEST(CompressedFile, RoundTripOfMixedData) {
  TempDir dir;
  std::string path = dir.File("mixed.fcf");
  std::string data = MixedData();
  ASSERT_GT(data.size(), 2000000u);
  {
    CCompressedFile file;
    file.SetLevel(9);
    ASSERT_TRUE(file.Open(path.c_str(), 1));
    file.SetLevel(9);
    // Pieces of changing size, as entry headers, names and 16 KiB data chunks arrive.
    size_t at = 0;
    unsigned piece = 1;
    while (at < data.size()) {
      unsigned n = static_cast<unsigned>(std::min<size_t>(piece, data.size() - at));
      ASSERT_TRUE(file.Write(data.data() + at, n));
      at += n;
      piece = piece * 3 % 20011 + 1;
    }
    ASSERT_TRUE(file.Close());
  }
  std::string compressed = ReadFileBytes(path);
  ASSERT_LT(compressed.size(), data.size());
  std::string inflated;
  ASSERT_TRUE(InflateGzip(compressed, inflated));
  EXPECT_TRUE(inflated == data) << "independent inflate differs";

  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  std::string read;
  char chunk[16384];
  int n;
  while ((n = file.Read(chunk, sizeof chunk)) > 0) read.append(chunk, static_cast<size_t>(n));
  EXPECT_EQ(n, 0);
  EXPECT_TRUE(read == data) << "Read differs";
  ASSERT_TRUE(file.Close());

  // The chunk size is the compressed length, so this gathers several chunks.
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  char* block = nullptr;
  int size = 0;
  ASSERT_TRUE(file.ReadAll(&block, &size));
  ASSERT_EQ(size, static_cast<int>(data.size()));
  EXPECT_EQ(memcmp(block, data.data(), data.size()), 0) << "ReadAll differs";
  delete[] block;
}

TEST(CompressedFile, DamagedStreamReadsAsFailure) {
  TempDir dir;
  std::string good = dir.File("good.fcf");
  std::string data = MixedData().substr(0, 200000);
  ASSERT_TRUE(WriteStream(good, data));
  std::string bytes = ReadFileBytes(good);

  std::string badCrc = bytes;
  badCrc[badCrc.size() - 6] ^= 0x55;
  std::string cutTrailer = bytes.substr(0, bytes.size() - 8);
  std::string cutMiddle = bytes.substr(0, bytes.size() / 2);
  std::string badBlock = bytes.substr(0, 10) + std::string(64, '\xFF');
  for (const auto& [name, content] : {std::pair<std::string, std::string>{"crc", badCrc},
                                      {"trailer", cutTrailer},
                                      {"middle", cutMiddle},
                                      {"block", badBlock}}) {
    SCOPED_TRACE(name);
    std::string path = dir.File(name + ".fcf");
    WriteFileBytes(path, content);
    CCompressedFile file;
    ASSERT_TRUE(file.Open(path.c_str(), 2));
    char chunk[16384];
    int n;
    size_t total = 0;
    while ((n = file.Read(chunk, sizeof chunk)) > 0) total += static_cast<size_t>(n);
    EXPECT_EQ(n, -1) << "after " << total << " bytes";
    EXPECT_LE(total, data.size());
    file.Close();

    ASSERT_TRUE(file.Open(path.c_str(), 2));
    char* block = nullptr;
    int size = 0;
    EXPECT_FALSE(file.ReadAll(&block, &size));
    EXPECT_EQ(block, nullptr);
    EXPECT_LE(size, static_cast<int>(data.size()));
  }
}

}  // namespace
