#include "storage/InflatedSize.h"

#include <fcntl.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "storage/CompressedFile.h"
#include "tests/storage/TempDir.h"

TEST(InflatedSize, TrailerLengthRaisedPastFourGiBAndPlainFiles) {
  TempDir dir;
  // A real set: the trailer's length is what it holds, far more than the file.
  const std::string set = dir.File("S-1.fcf");
  const std::string data(300000, 'a');
  {
    CCompressedFile file;
    ASSERT_TRUE(file.Open(set.c_str(), 1));
    ASSERT_TRUE(file.Write(data.data(), static_cast<unsigned>(data.size())));
    ASSERT_TRUE(file.Close());
  }
  EXPECT_EQ(fern::InflatedSizeEstimate(set), 300000u);

  // A tiny stream is larger than what it holds: no 4 GiB are added for that.
  const std::string tiny = dir.File("T-1.fcf");
  {
    CCompressedFile file;
    ASSERT_TRUE(file.Open(tiny.c_str(), 1));
    ASSERT_TRUE(file.Write("ab", 2));
    ASSERT_TRUE(file.Close());
  }
  EXPECT_EQ(fern::InflatedSizeEstimate(tiny), 2u);

  // A gzip file of 5 GiB (sparse) whose trailer says 100: the length wrapped, twice at least.
  const std::string big = dir.File("B-1.fcf");
  const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  ASSERT_GE(fd, 0);
  const off_t size = off_t{5} << 30;
  const unsigned char head[2] = {0x1f, 0x8b}, trailer[4] = {100, 0, 0, 0};
  EXPECT_EQ(pwrite(fd, head, 2, 0), 2);
  EXPECT_EQ(pwrite(fd, trailer, 4, size - 4), 4);
  close(fd);
  EXPECT_EQ(fern::InflatedSizeEstimate(big), (uint64_t{2} << 32) + 100);

  // Not gzip: the file's own length; no file: 0.
  WriteFileBytes(dir.File("plain.fcf"), std::string(1234, 'p'));
  EXPECT_EQ(fern::InflatedSizeEstimate(dir.File("plain.fcf")), 1234u);
  EXPECT_EQ(fern::InflatedSizeEstimate(dir.File("none.fcf")), 0u);
}
