#include "storage/ReadAheadFile.h"

#include <cstdlib>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "storage/CompressedFile.h"
#include "tests/storage/TempDir.h"

namespace {

// Several read-ahead blocks of data that compress unevenly, so the blocks fill at different
// speeds: random bytes, text and zeros.
std::string Data(size_t size) {
  std::mt19937 rng(7);
  std::string data;
  while (data.size() < size) {
    for (int i = 0; i < 30000; ++i) data += static_cast<char>(rng() & 0xFF);
    for (int i = 0; i < 2000; ++i) data += "one line of text, ";
    data.append(50000, '\0');
  }
  data.resize(size);
  return data;
}

// The file written by the system's gzip, not by this program's writer.
std::string GzipFile(const TempDir& dir, const std::string& name, const std::string& data) {
  const std::string plain = dir.File(name);
  {
    FILE* f = fopen(plain.c_str(), "wb");
    if (f == nullptr) return "";
    fwrite(data.data(), 1, data.size(), f);
    if (fclose(f) != 0) return "";
  }
  if (system(("gzip -9 -n -f '" + plain + "'").c_str()) != 0) return "";
  return plain + ".gz";
}

// Everything Read hands out until it returns its end status, in requests of the given sizes
// taken in turn.
std::string ReadThrough(CStreamFile& file, const std::vector<unsigned>& sizes, int& status) {
  std::string out;
  std::vector<char> buffer(1 << 20);
  for (size_t i = 0;; ++i) {
    const unsigned want = sizes[i % sizes.size()];
    const int got = file.Read(buffer.data(), want);
    if (got <= 0) {
      status = got;
      return out;
    }
    out.append(buffer.data(), static_cast<size_t>(got));
    // Short only just before the end.
    if (static_cast<unsigned>(got) < want) {
      status = file.Read(buffer.data(), 1);
      return out;
    }
  }
}

TEST(ReadAheadFile, HandsOutTheSourceBytesInAnyRequestSizes) {
  TempDir dir;
  const size_t blocks = CReadAheadFile::kBlockSize * (CReadAheadFile::kBlockCount * 3);
  // Empty, one byte, exactly on a block's end, and many blocks with a ragged end.
  for (size_t size : {size_t{0}, size_t{1}, CReadAheadFile::kBlockSize, blocks + 12345}) {
    SCOPED_TRACE(size);
    const std::string data = Data(size);
    const std::string path = GzipFile(dir, "d" + std::to_string(size), data);
    ASSERT_FALSE(path.empty());
    for (const auto& sizes : std::vector<std::vector<unsigned>>{
             {16384}, {16, 7, 16384, 1}, {static_cast<unsigned>(CReadAheadFile::kBlockSize * 2 + 3)}}) {
      CCompressedFile set;
      ASSERT_TRUE(set.Open(path.c_str(), 2));
      CReadAheadFile ahead(set);
      int status = 1;
      EXPECT_EQ(ReadThrough(ahead, sizes, status), data);
      EXPECT_EQ(status, 0);
      EXPECT_EQ(ahead.Read(nullptr, 0), 0);
      EXPECT_EQ(ahead.Read(&status, 1), 0) << "the end is told again";
      EXPECT_TRUE(ahead.Close());
      EXPECT_FALSE(set.IsOpen());
      EXPECT_FALSE(ahead.Write("x", 1));
    }
  }
}

TEST(ReadAheadFile, DamageComesAfterWhatTheSourceGaveAndCloseTellsIt) {
  TempDir dir;
  const std::string data = Data(CReadAheadFile::kBlockSize * 10);
  const std::string path = GzipFile(dir, "whole", data);
  ASSERT_FALSE(path.empty());
  const std::string gz = ReadFileBytes(path);

  struct Damage {
    const char* what;
    std::string bytes;
  };
  std::string flipped = gz;
  flipped[gz.size() * 2 / 3] ^= 0x10;
  std::string badCheck = gz;
  badCheck[gz.size() - 6] ^= 0x01;  // the CRC-32 in the trailer
  for (const Damage& d : {Damage{"cut", gz.substr(0, gz.size() / 2)}, Damage{"flipped", flipped},
                          Damage{"trailer", badCheck}}) {
    SCOPED_TRACE(d.what);
    const std::string damaged = dir.File(std::string(d.what) + ".gz");
    {
      FILE* f = fopen(damaged.c_str(), "wb");
      ASSERT_NE(f, nullptr);
      fwrite(d.bytes.data(), 1, d.bytes.size(), f);
      ASSERT_EQ(fclose(f), 0);
    }
    // What the source itself hands out, read directly the same way.
    std::string direct;
    int directStatus = 1;
    bool directClosed = false;
    {
      CCompressedFile set;
      ASSERT_TRUE(set.Open(damaged.c_str(), 2));
      direct = ReadThrough(set, {static_cast<unsigned>(CReadAheadFile::kBlockSize)}, directStatus);
      directClosed = set.Close();
    }
    CCompressedFile set;
    ASSERT_TRUE(set.Open(damaged.c_str(), 2));
    CReadAheadFile ahead(set);
    int status = 1;
    const std::string got = ReadThrough(ahead, {16384}, status);
    EXPECT_EQ(got, direct);
    // (A flipped byte may inflate to wrong bytes before inflate or the check notices.)
    if (d.what == std::string("cut")) {
      EXPECT_EQ(data.compare(0, got.size(), got), 0);
    }
    EXPECT_EQ(status, directStatus);
    EXPECT_EQ(ahead.Read(&status, 1), directStatus) << "the end is told again";
    EXPECT_EQ(ahead.Close(), directClosed);
    // Every kind is told by one of the two: a short read (-1) or a failing close.
    EXPECT_TRUE(got.size() < data.size() || status < 0 || !directClosed);
    EXPECT_FALSE(status == 0 && directClosed && got == data);
  }
}

TEST(ReadAheadFile, LeftEarlyItReadsNoFurtherThanItsBlocks) {
  TempDir dir;
  const size_t block = CReadAheadFile::kBlockSize;
  const std::string data = Data(block * 40);
  const std::string path = GzipFile(dir, "big", data);
  ASSERT_FALSE(path.empty());
  for (bool close : {false, true}) {
    SCOPED_TRACE(close);
    CCompressedFile set;
    ASSERT_TRUE(set.Open(path.c_str(), 2));
    {
      CReadAheadFile ahead(set);
      char head[10];
      ASSERT_EQ(ahead.Read(head, sizeof head), 10);
      EXPECT_EQ(std::string(head, 10), data.substr(0, 10));
      // Without Close the object goes while its thread waits for room or reads.
      if (close) {
        EXPECT_TRUE(ahead.Close());
        continue;
      }
    }
    // The source was read whole blocks ahead, never more than the blocks hold, and goes on
    // from there.
    int status = 1;
    const std::string rest = ReadThrough(set, {16384}, status);
    EXPECT_EQ(status, 0);
    const size_t taken = data.size() - rest.size();
    EXPECT_EQ(taken % block, 0u);
    EXPECT_GE(taken, block);
    EXPECT_LE(taken, block * CReadAheadFile::kBlockCount);
    EXPECT_EQ(rest, data.substr(taken));
  }
}

}  // namespace
