#include "storage/GzipReader.h"

#include <fcntl.h>
#include <unistd.h>
#include <zlib.h>

#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "storage/CompressedFile.h"
#include "storage/Crc32.h"
#include "tests/storage/TempDir.h"

namespace {

std::string Data(size_t size, unsigned seed) {
  std::mt19937 rng(seed);
  std::string data;
  while (data.size() < size) {
    for (int i = 0; i < 3000; ++i) data += static_cast<char>(rng() & 0xFF);
    for (int i = 0; i < 500; ++i) data += "a line of words " + std::to_string(rng() % 100) + "\n";
    data.append(rng() % 20000, '\0');
  }
  data.resize(size);
  return data;
}

// One gzip member as zlib writes it (no name, level 9).
std::string Member(const std::string& data) {
  z_stream strm{};
  if (deflateInit2(&strm, 9, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return "";
  std::string out(deflateBound(&strm, data.size()) + 64, '\0');
  strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  strm.avail_in = static_cast<uInt>(data.size());
  strm.next_out = reinterpret_cast<Bytef*>(out.data());
  strm.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&strm, Z_FINISH);
  out.resize(strm.total_out);
  deflateEnd(&strm);
  return result == Z_STREAM_END ? out : "";
}

struct Outcome {
  std::string data;
  int status = 1;  // what the last Read returned: 0 the end, -1 damage
  bool closed = false;
  bool operator==(const Outcome& other) const {
    return data == other.data && status == other.status && closed == other.closed;
  }
};

// Reads the file through the reader in requests of the sizes given in turn (small ones go
// through its buffer, large ones straight into the caller's).
Outcome ReadWithReader(const std::string& path, const std::vector<unsigned>& sizes) {
  Outcome outcome;
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return outcome;
  unsigned char magic[2] = {0, 0};
  const bool gzip = pread(fd, magic, 2, 0) == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
  CGzipReader reader;
  if (!reader.Open(fd, gzip)) {
    close(fd);
    return outcome;
  }
  std::vector<char> buffer(1 << 20);
  for (size_t i = 0;; ++i) {
    const unsigned want = sizes[i % sizes.size()];
    const int got = reader.Read(buffer.data(), want);
    if (got <= 0) {
      outcome.status = got;
      break;
    }
    outcome.data.append(buffer.data(), static_cast<size_t>(got));
    if (static_cast<unsigned>(got) < want) {
      // Short only at the end: the next request tells which end.
      outcome.status = reader.Read(buffer.data(), want);
      if (outcome.status > 0) ADD_FAILURE() << "a short read before the end";
      break;
    }
  }
  outcome.closed = reader.Close();
  return outcome;
}

// The same through zlib's gzread, as sets were read before: a stream cut short is damage.
Outcome ReadWithZlib(const std::string& path, unsigned size) {
  Outcome outcome;
  gzFile file = gzopen(path.c_str(), "rb");
  if (file == nullptr) return outcome;
  std::vector<char> buffer(size);
  for (;;) {
    int got = gzread(file, buffer.data(), size);
    if (got == 0) {
      int error = Z_OK;
      gzerror(file, &error);
      if (error == Z_BUF_ERROR) got = -1;
    }
    if (got <= 0) {
      outcome.status = got;
      break;
    }
    outcome.data.append(buffer.data(), static_cast<size_t>(got));
  }
  outcome.closed = gzclose(file) == Z_OK;
  return outcome;
}

TEST(GzipReader, MembersReadAsOneStreamAndBytesAfterTheLastAreIgnored) {
  TempDir dir;
  const std::string a = Data(300000, 1), b = Data(70000, 2);
  const std::string ma = Member(a), mb = Member(b), empty = Member("");
  ASSERT_FALSE(ma.empty());
  struct Case {
    std::string what, bytes, data;
    int status;
  };
  const std::vector<Case> cases = {
      {"one member", ma, a, 0},
      {"two members", ma + mb, a + b, 0},
      {"an empty member between", ma + empty + mb, a + b, 0},
      {"zeros after the last", ma + mb + std::string(4096, '\0'), a + b, 0},
      {"text after the last", ma + "trailing text, no gzip", a, 0},
      {"one magic byte after the last", ma + "\x1f", a, 0},
      {"a second member cut short", ma + mb.substr(0, mb.size() / 2), "", -1},
      {"a second member's header alone", ma + mb.substr(0, 10), "", -1},
      {"a second member with a bad check", ma + mb.substr(0, mb.size() - 8) + "\x01\x02\x03\x04" +
                                               mb.substr(mb.size() - 4), "", -1},
      {"a wrong length in the trailer", ma.substr(0, ma.size() - 4) + "\x01\x00\x00\x00", "", -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir.File("set.gz");
    WriteFileBytes(path, c.bytes);
    const Outcome zlib = ReadWithZlib(path, 16384);
    for (const auto& sizes : std::vector<std::vector<unsigned>>{{16384}, {1, 7, 100000}, {1 << 20}}) {
      const Outcome got = ReadWithReader(path, sizes);
      EXPECT_EQ(got.status, c.status);
      if (c.status == 0) EXPECT_TRUE(got.data == c.data) << got.data.size() << " bytes of " << c.data.size();
      // Nothing more than the stream holds, and every byte handed out is right.
      EXPECT_EQ((a + b).compare(0, got.data.size(), got.data), 0);
      EXPECT_EQ(got.status, zlib.status) << "zlib reads it otherwise";
      EXPECT_EQ(got.closed, zlib.closed) << "zlib closes it otherwise";
    }
  }
}

// Damage anywhere in a set: the reader accepts exactly what zlib's gzread accepted, with the
// same bytes, and ends a damaged stream with damage as gzread did.
TEST(GzipReader, AcceptsWhatZlibAcceptsWhereverTheDamageIs) {
  TempDir dir;
  const std::string data = Data(400000, 3);
  const std::string good = Member(data) + Member("tail of the set");
  std::mt19937 rng(99);
  const std::string path = dir.File("damaged.gz");
  int accepted = 0, refused = 0;
  for (int round = 0; round < 300; ++round) {
    std::string bytes = good;
    const size_t at = round < 40 ? static_cast<size_t>(round) : rng() % bytes.size();
    if (round % 3 == 2) {
      bytes.resize(at);  // cut there
    } else {
      bytes[at] = static_cast<char>(bytes[at] ^ (1 << (rng() % 8)));
    }
    SCOPED_TRACE("round " + std::to_string(round) + " at " + std::to_string(at));
    WriteFileBytes(path, bytes);
    const Outcome zlib = ReadWithZlib(path, 16384);
    const Outcome got = ReadWithReader(path, {16384});
    const bool zlibGood = zlib.status == 0 && zlib.closed;
    EXPECT_EQ(got.status == 0 && got.closed, zlibGood);
    if (zlibGood) {
      EXPECT_TRUE(got.data == zlib.data);
      ++accepted;
    } else {
      ++refused;
    }
  }
  // Both kinds were met (a flipped bit in the header's time field is harmless).
  EXPECT_GT(accepted, 0);
  EXPECT_GT(refused, 200);
}

TEST(GzipReader, CompressedFileReadsThroughIt) {
  TempDir dir;
  const std::string path = dir.File("set.fcf");
  const std::string data = Data(1 << 20, 4);
  {
    CCompressedFile file;
    ASSERT_TRUE(file.Open(path.c_str(), 1));
    ASSERT_TRUE(file.Write(data.data(), static_cast<unsigned>(data.size())));
    ASSERT_TRUE(file.Close());
  }
  // A second member appended: read on as gzread did.
  const std::string more = Member("appended");
  std::string bytes = ReadFileBytes(path) + more;
  WriteFileBytes(path, bytes);
  CCompressedFile file;
  ASSERT_TRUE(file.Open(path.c_str(), 2));
  char* block = nullptr;
  int size = 0;
  ASSERT_TRUE(file.ReadAll(&block, &size));
  EXPECT_TRUE(std::string(block, static_cast<size_t>(size)) == data + "appended");
  delete[] block;
  EXPECT_TRUE(file.Close());
}

TEST(GzipReader, Crc32IsZlibsInAnyPieces) {
  const std::string data = Data(1 << 20, 5);
  for (size_t length : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{63}, size_t{64}, size_t{1000},
                        data.size()}) {
    SCOPED_TRACE(length);
    const uint32_t zlib =
        static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(length)));
    EXPECT_EQ(fern::Crc32(0, data.data(), length), zlib);
    for (size_t cut : {size_t{0}, length / 3, length / 2 + 1}) {
      if (cut > length) continue;
      const uint32_t first = fern::Crc32(0, data.data(), cut);
      EXPECT_EQ(fern::Crc32(first, data.data() + cut, length - cut), zlib) << "cut at " << cut;
    }
  }
  EXPECT_EQ(fern::Crc32(0, "123456789", 9), 0xCBF43926u);
}

}  // namespace
