// Files of 4 GiB or more, kept as pieces: the backup writes them, every reader of the set sees one
// file, a reader of the plain entry layout sees pieces it can join, and damage in the pieces never
// leaves a short file under the real name. Most cases shrink the piece size; one is the real thing.
#include <fcntl.h>
#include <sys/mount.h>
#include <unistd.h>

#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "engine/RestoreRun.h"
#include "engine/SetScan.h"
#include "platform/FileError.h"
#include "res/Resource.h"
#include "storage/FilePieces.h"
#include "tests/engine/BackupDrive.h"
#include "tests/engine/EntryCalls.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/RestoreFixture.h"

namespace {

using Result = CBackupRun::Result;
constexpr uint32_t kPiece = 40000;  // not a whole number of copy chunks
constexpr int64_t kTime = 1700000000;

// Pieces of kPiece bytes while a test runs.
class CSmallPieces {
 public:
  CSmallPieces() { fern::SetPieceSizeForTests(kPiece); }
  ~CSmallPieces() { fern::SetPieceSizeForTests(0); }
};

struct Listed {
  std::string name;
  uint64_t size;
  bool operator==(const Listed& o) const { return name == o.name && size == o.size; }
  friend std::ostream& operator<<(std::ostream& out, const Listed& l) { return out << l.name << " " << l.size; }
};

// What the program's one set loop hands out; damaged: it met damage.
std::vector<Listed> ListSet(const std::string& set, bool& damaged) {
  std::vector<char> buffer(fern::kCopyChunk);
  CSetScan scan(nullptr, buffer.data());
  std::vector<Listed> out;
  damaged = true;
  if (!scan.Open(set)) return out;
  scan.Run([&](const CEntryReader::Entry& e) {
    out.push_back({e.name, e.size});
    return true;
  });
  damaged = !scan.Close();
  return out;
}

// Restores a whole set through the restore run onto a new empty folder; whether it ran without
// a message or a row.
bool RestoreInto(const std::string& set, const std::string& target, CRecordingUI& ui) {
  if (mkdir(target.c_str(), 0755) != 0) return false;
  std::atomic<bool> stop{false};
  std::vector<char> buffer(fern::kCopyChunk);
  OverwriteAnswer answer = OverwriteAnswer::None;
  CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
  return run.RestoreSet(set, target) && ui.messages.empty() && ui.errorLists.empty();
}

// A backup keeps a big file as pieces a plain reader reads in step and can join; the program
// lists one file of the real size, restores it byte for byte, and extracts it as a pick. A file
// of exactly one piece stays whole; a file of its own named like a first piece comes back under
// its own name.
TEST(BigFiles, PiecesGoThroughBackupListRestoreAndPicks) {
  CSmallPieces small;
  CBackupBench b;
  const std::string big = NoiseBytes(2 * kPiece + 12345, 1);
  const std::string exact = NoiseBytes(kPiece, 2);
  PutFile(b.D("before.txt"), "before");
  PutFile(b.D("big.bin"), big);
  PutFile(b.D("exact.bin"), exact);
  PutFile(b.D("odd.fernpiece-1-of-2"), "a file of the user's");
  PutFile(b.D("zafter.txt"), "after");
  ASSERT_EQ(b.Run(true), Result::Done);
  EXPECT_TRUE(b.ui->errorLists.empty());

  // The set as a reader of the plain layout sees it: every entry honest about its length.
  std::vector<ParsedEntry> plain;
  ASSERT_TRUE(ParseSetFile(b.setPath, plain));
  std::string joined;
  for (const char* piece : {"E:\\big.bin.fernpiece-1-of-3", "E:\\big.bin.fernpiece-2-of-3", "E:\\big.bin.fernpiece-3-of-3"}) {
    const ParsedEntry* e = FindEntry(plain, piece);
    ASSERT_NE(e, nullptr) << piece;
    joined += e->data;
  }
  EXPECT_EQ(FindEntry(plain, "E:\\big.bin.fernpiece-1-of-3")->dataLength, kPiece);
  EXPECT_EQ(FindEntry(plain, "E:\\big.bin.fernpiece-3-of-3")->dataLength, 12345u);
  EXPECT_TRUE(joined == big);
  EXPECT_EQ(FindEntry(plain, "E:\\big.bin"), nullptr);
  ASSERT_NE(FindEntry(plain, "E:\\exact.bin"), nullptr);
  EXPECT_NE(FindEntry(plain, "E:\\odd.fernpiece-1-of-2.fernpiece-1-of-1"), nullptr);
  ASSERT_NE(FindEntry(plain, "E:\\zafter.txt"), nullptr);
  EXPECT_EQ(FindEntry(plain, "E:\\zafter.txt")->data, "after");
  EXPECT_EQ(plain.size(), 7u);

  // The program: one file each, real sizes.
  bool damaged = true;
  std::vector<Listed> listed = ListSet(b.setPath, damaged);
  EXPECT_FALSE(damaged);
  std::sort(listed.begin(), listed.end(), [](const Listed& x, const Listed& y) { return x.name < y.name; });
  EXPECT_EQ(listed, (std::vector<Listed>{{"E:\\before.txt", 6},
                                         {"E:\\big.bin", big.size()},
                                         {"E:\\exact.bin", kPiece},
                                         {"E:\\odd.fernpiece-1-of-2", 20},
                                         {"E:\\zafter.txt", 5}}));

  // Restored onto an empty drive: the files under their own names, no piece anywhere.
  const std::string target = b.temp.path() + "/target/";
  CRecordingUI ui;
  EXPECT_TRUE(RestoreInto(b.setPath, target, ui));
  EXPECT_EQ(restore_test::Tree(target),
            (std::vector<std::string>{"before.txt", "big.bin", "exact.bin", "odd.fernpiece-1-of-2", "zafter.txt"}));
  EXPECT_TRUE(GetFile(target + "big.bin") == big);
  EXPECT_TRUE(GetFile(target + "exact.bin") == exact);
  EXPECT_EQ(GetFile(target + "odd.fernpiece-1-of-2"), "a file of the user's");

  // Picked and extracted into a folder (the scratch copy and fernset extract go this way).
  const std::string picks = b.temp.path() + "/picks";
  ASSERT_EQ(mkdir(picks.c_str(), 0700), 0);
  std::vector<std::string> wanted{"E:\\big.bin"};
  std::vector<char> buffer(fern::kCopyChunk);
  OverwriteAnswer answer = OverwriteAnswer::None;
  CRecordingUI pickUI;
  const auto calls = restore_test::CEntryCalls::Read(pickUI, buffer.data(), answer, b.setPath, "", &wanted, picks);
  EXPECT_EQ(wanted[0], picks + "/big.bin");
  EXPECT_TRUE(GetFile(picks + "/big.bin") == big);
  EXPECT_EQ(restore_test::Tree(picks), std::vector<std::string>{"big.bin"});
}

// Pieces that do not follow on are damage: the restore keeps what came before, shows "error
// reading" once and leaves nothing of the big file, under its name or any other. A lone piece
// that is not a first one is a file of its own.
TEST(BigFiles, ADamagedContinuationLeavesNoShortFile) {
  const std::string one = NoiseBytes(kPiece, 3), two = NoiseBytes(kPiece, 4), three = NoiseBytes(999, 5);
  struct Case {
    const char* what;
    std::vector<std::pair<std::string, std::string>> pieces;  // after E:\a.txt
  };
  const std::vector<Case> cases = {
      {"set ends after the second piece", {{"1-of-3", one}, {"2-of-3", two}}},
      {"a piece missing", {{"1-of-3", one}, {"3-of-3", three}, {"", "next file"}}},
      {"another file's piece", {{"1-of-2", one}, {"OTHER2-of-2", three}}},
      {"a middle piece of another length", {{"1-of-3", one}, {"2-of-3", three}, {"3-of-3", three}}},
      {"a last piece longer than the first", {{"1-of-2", three}, {"2-of-2", one}}},
      {"another count", {{"1-of-3", one}, {"2-of-4", two}, {"3-of-3", three}}},
      {"a plain file after the first piece", {{"1-of-2", one}, {"", "next file"}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    CBackupTempFolder temp;
    CIndependentSetWriter w;
    w.AddEntry("E:\\a.txt", "first", kTime);
    for (const auto& p : c.pieces) {
      if (p.first.empty())
        w.AddEntry("E:\\z.txt", p.second, kTime);
      else if (p.first.rfind("OTHER", 0) == 0)
        w.AddEntry("E:\\other.bin.fernpiece-" + p.first.substr(5), p.second, kTime);
      else
        w.AddEntry("E:\\big.bin.fernpiece-" + p.first, p.second, kTime);
    }
    const std::string set = temp.path() + "/S-1.fcf";
    ASSERT_TRUE(w.Write(set));
    const std::string target = temp.path() + "/drive/";
    CRecordingUI ui;
    EXPECT_FALSE(RestoreInto(set, target, ui));
    EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"});
    EXPECT_EQ(restore_test::Tree(target), std::vector<std::string>{"a.txt"});
    bool damaged = false;
    EXPECT_EQ(ListSet(set, damaged), (std::vector<Listed>{{"E:\\a.txt", 5}}));
    EXPECT_TRUE(damaged);
  }

  // An older set's file that happens to look like a later piece is read as it is.
  CBackupTempFolder temp;
  CIndependentSetWriter w;
  w.AddEntry("E:\\b.fernpiece-2-of-2", "mine", kTime);
  w.AddEntry("E:\\c.txt", "c", kTime);
  const std::string set = temp.path() + "/S-2.fcf";
  ASSERT_TRUE(w.Write(set));
  bool damaged = true;
  EXPECT_EQ(ListSet(set, damaged), (std::vector<Listed>{{"E:\\b.fernpiece-2-of-2", 4}, {"E:\\c.txt", 1}}));
  EXPECT_FALSE(damaged);
}

// A big file whose piece names would pass the 511-byte limit gets a row and no entry; the set
// stays in step and the same name with a small file is kept.
TEST(BigFiles, ANameTooLongForPiecesGetsARow) {
  CSmallPieces small;
  CBackupBench b;
  // "E:\" + 200 + "\" + 200 + "\" + 100 = 505 bytes: room for the file, none for ".fernpiece-1-of-2".
  const std::string folder = std::string(200, 'd') + "/" + std::string(200, 'e');
  ASSERT_TRUE(std::filesystem::create_directories(b.D(folder)));
  const std::string longBig = b.D(folder + "/" + std::string(100, 'b'));
  const std::string longSmall = b.D(folder + "/" + std::string(100, 's'));
  PutFile(longBig, NoiseBytes(kPiece + 1, 6));
  PutFile(longSmall, "small");
  PutFile(b.D("after.txt"), "after");
  ASSERT_EQ(b.Run(true), Result::Done);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, std::vector<std::string>{longBig});
  // The row of any name too long for the set (its text cut as every row's is).
  EXPECT_EQ(b.ui->errorLists[0].errorTexts,
            std::vector<std::string>{fern::FormatFileErrorId(IDS_FILE_BADPATH, longBig)});
  std::vector<ParsedEntry> plain;
  ASSERT_TRUE(ParseSetFile(b.setPath, plain));
  ASSERT_EQ(plain.size(), 2u);
  EXPECT_EQ(plain[0].data == "after" ? plain[1].data : plain[0].data, "small");
}

// A reader of the plain entry layout that streams: zlib's inflate, the 16-byte header, the name
// and the data handed on in chunks, no entry held whole. False unless the stream is one intact
// gzip stream of whole entries.
bool StreamEntries(const std::string& set, const std::function<void(const ParsedEntry&)>& header,
                   const std::function<void(const char*, size_t)>& data) {
  FILE* f = fopen(set.c_str(), "rb");
  if (f == nullptr) return false;
  z_stream z{};
  if (inflateInit2(&z, 16 + MAX_WBITS) != Z_OK) {
    fclose(f);
    return false;
  }
  std::vector<char> in(1 << 16), out(1 << 20);
  std::string head;  // header and name being gathered
  ParsedEntry entry;
  uint64_t dataLeft = 0;
  bool inData = false;
  int result = Z_OK;
  while (result != Z_STREAM_END) {
    if (z.avail_in == 0) {
      const size_t got = fread(in.data(), 1, in.size(), f);
      if (got == 0) break;
      z.next_in = reinterpret_cast<Bytef*>(in.data());
      z.avail_in = static_cast<uInt>(got);
    }
    z.next_out = reinterpret_cast<Bytef*>(out.data());
    z.avail_out = static_cast<uInt>(out.size());
    result = inflate(&z, Z_NO_FLUSH);
    if (result != Z_OK && result != Z_STREAM_END) break;
    const size_t produced = out.size() - z.avail_out;
    for (size_t at = 0; at < produced;) {
      if (inData) {
        const size_t take = static_cast<size_t>(std::min<uint64_t>(dataLeft, produced - at));
        data(out.data() + at, take);
        at += take;
        dataLeft -= take;
        if (dataLeft == 0) inData = false;
        continue;
      }
      head += out[at++];
      if (head.size() == 16) {
        entry.nameLength = static_cast<uint32_t>(LittleEndian(head, 0, 4));
        entry.dataLength = static_cast<uint32_t>(LittleEndian(head, 4, 4));
        entry.time = static_cast<int64_t>(LittleEndian(head, 8, 8));
      }
      if (head.size() >= 16 && head.size() == 16 + entry.nameLength) {
        entry.name = head.substr(16);
        header(entry);
        head.clear();
        dataLeft = entry.dataLength;
        inData = dataLeft > 0;
      }
    }
  }
  inflateEnd(&z);
  fclose(f);
  return result == Z_STREAM_END && head.empty() && !inData;
}

// Writes bytes at an offset of a file.
bool PutAt(const std::string& path, uint64_t offset, const std::string& bytes) {
  const int fd = open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool ok = pwrite(fd, bytes.data(), bytes.size(), static_cast<off_t>(offset)) == static_cast<ssize_t>(bytes.size());
  return close(fd) == 0 && ok;
}

// The real thing, once: a 5 GiB sparse file on a tmpfs stick with data at its start, across the
// piece and 4 GiB boundaries and at its end, between two small files. Backed up without a row,
// read by the streaming plain reader (two pieces, the small file after them intact), listed with
// its real size, restored and compared byte for byte.
TEST(BigFiles, AFiveGiBFileOnATmpfsStickIsBackedUpAndRestoredWhole) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "5 GiB through deflate and inflate runs once, in the build without sanitizers";
#else
  CBackupBench b;
  if (mount("fern-big", b.drive.c_str(), "tmpfs", 0, "size=64m") != 0)
    GTEST_SKIP() << "tmpfs mount not permitted: " << strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{b.drive};
  const uint64_t length = uint64_t(5) << 30;
  const std::string big = b.D("video.mkv");
  PutFile(b.D("a.txt"), "before");
  PutFile(b.D("z.txt"), "after the big file");
  {
    const int fd = open(big.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(ftruncate(fd, static_cast<off_t>(length)), 0);
    ASSERT_EQ(close(fd), 0);
  }
  const std::string start = NoiseBytes(1 << 20, 7), middle = NoiseBytes(1 << 20, 8), end = NoiseBytes(1 << 20, 9);
  ASSERT_TRUE(PutAt(big, 0, start));
  ASSERT_TRUE(PutAt(big, (uint64_t(1) << 32) - (1 << 19) - (1 << 17), middle));  // the piece and 4 GiB boundaries
  ASSERT_TRUE(PutAt(big, length - end.size(), end));

  ASSERT_EQ(b.Run(true), Result::Done);
  EXPECT_TRUE(b.ui->errorLists.empty());

  // A reader of the plain layout: two honest pieces that join to the file, and the entries
  // around them intact.
  std::vector<ParsedEntry> headers;
  std::map<std::string, std::string> smallData;
  uLong joined = crc32(0, nullptr, 0);
  uint64_t joinedLength = 0;
  ASSERT_TRUE(StreamEntries(
      b.setPath, [&](const ParsedEntry& e) { headers.push_back(e); },
      [&](const char* data, size_t n) {
        if (headers.back().name.find("fernpiece") != std::string::npos) {
          joined = crc32_z(joined, reinterpret_cast<const Bytef*>(data), n);
          joinedLength += n;
        } else {
          smallData[headers.back().name].append(data, n);
        }
      }));
  // The walk takes the folder's order; the pieces follow each other wherever they stand.
  ASSERT_EQ(headers.size(), 4u);
  size_t first = 0;
  while (first < headers.size() && headers[first].name != "E:\\video.mkv.fernpiece-1-of-2") ++first;
  ASSERT_LT(first + 1, headers.size());
  EXPECT_EQ(headers[first + 1].name, "E:\\video.mkv.fernpiece-2-of-2");
  EXPECT_EQ(headers[first].dataLength, fern::PieceSize());
  EXPECT_EQ(uint64_t(headers[first].dataLength) + headers[first + 1].dataLength, length);
  EXPECT_EQ(smallData, (std::map<std::string, std::string>{{"E:\\a.txt", "before"}, {"E:\\z.txt", "after the big file"}}));
  EXPECT_EQ(joinedLength, length);
  uLong source = crc32(0, nullptr, 0);
  {
    std::vector<char> chunk(1 << 20);
    const int fd = open(big.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    ssize_t got;
    while ((got = read(fd, chunk.data(), chunk.size())) > 0)
      source = crc32_z(source, reinterpret_cast<const Bytef*>(chunk.data()), static_cast<size_t>(got));
    close(fd);
  }
  EXPECT_EQ(joined, source);

  bool damaged = true;
  std::vector<Listed> listed = ListSet(b.setPath, damaged);
  std::sort(listed.begin(), listed.end(), [](const Listed& x, const Listed& y) { return x.name < y.name; });
  EXPECT_EQ(listed, (std::vector<Listed>{{"E:\\a.txt", 6}, {"E:\\video.mkv", length}, {"E:\\z.txt", 18}}));
  EXPECT_FALSE(damaged);

  // Restored into a folder on disk (5 GiB of tmpfs would be 5 GiB of memory): every byte.
  const std::string target = b.temp.path() + "/target/";
  CRecordingUI ui;
  EXPECT_TRUE(RestoreInto(b.setPath, target, ui));
  EXPECT_EQ(restore_test::Tree(target), (std::vector<std::string>{"a.txt", "video.mkv", "z.txt"}));
  const int a = open(big.c_str(), O_RDONLY | O_CLOEXEC), r = open((target + "video.mkv").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(a, 0);
  ASSERT_GE(r, 0);
  std::vector<char> x(1 << 20), y(1 << 20);
  uint64_t compared = 0;
  bool same = true;
  for (;;) {
    const ssize_t gx = read(a, x.data(), x.size()), gy = read(r, y.data(), y.size());
    if (gx != gy || gx < 0 || memcmp(x.data(), y.data(), static_cast<size_t>(gx)) != 0) {
      same = false;
      break;
    }
    if (gx == 0) break;
    compared += static_cast<uint64_t>(gx);
  }
  close(a);
  close(r);
  EXPECT_TRUE(same) << "differs near byte " << compared;
  EXPECT_EQ(compared, length);
#endif
}

}  // namespace
