#include "storage/ParallelCompressedFile.h"

#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "storage/CompressedFile.h"
#include "tests/storage/DeflateData.h"
#include "tests/storage/GzipCheck.h"
#include "tests/storage/TempDir.h"

namespace {

constexpr size_t kBlock = CParallelCompressedFile::kBlockSize;

// Inflates a gzip file with zlib's inflate (not gzread): true only for exactly one complete
// member whose CRC and length check out, with nothing after it.
bool InflateOneMember(const std::string& compressed, std::string& out) {
  size_t consumed = 0;
  return InflateGzip(compressed, out, &consumed) && consumed == compressed.size();
}

// Writes data in pieces of the given sizes (cycled), the level set before and after Open as
// the backup run does.
template <class File>
bool WriteInPieces(File& file, const std::string& path, const std::string& data, std::vector<size_t> pieces) {
  file.SetLevel(9);
  if (!file.Open(path.c_str(), 1)) return false;
  file.SetLevel(9);
  size_t at = 0, turn = 0;
  while (at < data.size()) {
    const size_t part = std::min(pieces[turn++ % pieces.size()], data.size() - at);
    if (!file.Write(data.data() + at, static_cast<unsigned>(part))) return false;
    at += part;
  }
  return file.Close();
}

// Data of every kind a drive holds: noise, text, long zero runs, small alphabets, repeats far
// apart (beyond a block) and near (across block edges).
std::string MixedData(size_t length, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string data;
  data.reserve(length + 200000);
  const std::string text = "Minutes of the quarterly review of the project budget and travel plan. ";
  while (data.size() < length) {
    switch (rng() % 5) {
      case 0:
        for (int i = 0, n = 1000 + static_cast<int>(rng() % 90000); i < n; ++i) data += static_cast<char>(rng());
        break;
      case 1:
        for (int i = 0, n = 50 + static_cast<int>(rng() % 3000); i < n; ++i) data += text;
        break;
      case 2:
        data.append(1 + rng() % 150000, '\0');
        break;
      case 3:
        for (int i = 0, n = 1000 + static_cast<int>(rng() % 60000); i < n; ++i)
          data += static_cast<char>('a' + rng() % 5);
        break;
      default:
        if (data.size() > 70000) {
          const size_t from = rng() % (data.size() - 60000);
          data.append(data, from, 1000 + rng() % 59000);
        }
    }
  }
  data.resize(length);
  return data;
}

struct CWritten {
  std::string single, one, many;  // one-thread writer, parallel with 1 worker, with several
};

// The same data through the one-thread writer and the parallel one with 1 and with several
// workers; each file checked whole by inflate and by gzip -t, and all three equal in content.
void WriteThreeWays(const TempDir& dir, const std::string& data, const std::vector<size_t>& pieces, CWritten& w) {
  const unsigned several = std::max(3u, CParallelCompressedFile::UsableCores());
  const std::string pathSingle = dir.File("single.fcf"), pathOne = dir.File("one.fcf"), pathMany = dir.File("many.fcf");
  CCompressedFile single;
  ASSERT_TRUE(WriteInPieces(single, pathSingle, data, pieces));
  CParallelCompressedFile one(1);
  ASSERT_TRUE(WriteInPieces(one, pathOne, data, pieces));
  CParallelCompressedFile many(several);
  ASSERT_TRUE(WriteInPieces(many, pathMany, data, pieces));
  w.single = ReadFileBytes(pathSingle);
  w.one = ReadFileBytes(pathOne);
  w.many = ReadFileBytes(pathMany);
  for (const std::string* path : {&pathSingle, &pathOne, &pathMany}) EXPECT_TRUE(GzipTestPasses(*path)) << *path;

  std::string plainSingle, plainOne, plainMany;
  ASSERT_TRUE(InflateOneMember(w.single, plainSingle));
  ASSERT_TRUE(InflateOneMember(w.one, plainOne)) << data.size() << " bytes";
  ASSERT_TRUE(InflateOneMember(w.many, plainMany)) << data.size() << " bytes";
  EXPECT_TRUE(plainSingle == data);
  EXPECT_TRUE(plainOne == plainSingle) << data.size() << " bytes";
  EXPECT_TRUE(plainMany == plainSingle) << data.size() << " bytes";
  // The pieces of a block do not depend on which worker made them or when.
  EXPECT_TRUE(w.one == w.many) << data.size() << " bytes";
  // The header zlib writes at level 9: no name, no time, XFL 2, this system's OS byte.
  ASSERT_GE(w.many.size(), 10u);
  EXPECT_EQ(w.many.substr(0, 10), w.single.substr(0, 10));
  EXPECT_EQ(static_cast<unsigned char>(w.many[8]), 2u);
  EXPECT_EQ(static_cast<unsigned char>(w.many[3]), 0u);
}

// The nice value of each thread of this process.
std::vector<std::pair<pid_t, int>> ThreadNiceValues() {
  std::vector<std::pair<pid_t, int>> result;
  DIR* tasks = opendir("/proc/self/task");
  if (tasks == nullptr) return result;
  while (dirent* entry = readdir(tasks)) {
    if (entry->d_name[0] == '.') continue;
    const pid_t tid = static_cast<pid_t>(atoi(entry->d_name));
    errno = 0;
    const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
    if (value != -1 || errno == 0) result.emplace_back(tid, value);
  }
  closedir(tasks);
  return result;
}

// This program's own reader gives exactly data from the file.
void ExpectOwnReaderReads(const std::string& path, const std::string& data) {
  CCompressedFile reader;
  ASSERT_TRUE(reader.Open(path.c_str(), 2));
  char* block = nullptr;
  int size = 0;
  ASSERT_TRUE(reader.ReadAll(&block, &size));
  EXPECT_TRUE(size == static_cast<int>(data.size()) && memcmp(block, data.data(), data.size()) == 0);
  delete[] block;
  reader.Close();
}

// What gzip -dc makes of the file.
std::string GzipDecompress(const std::string& path) {
  std::string out;
  FILE* pipe = popen(("gzip -dc '" + path + "'").c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[65536];
  size_t got = 0;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  return pclose(pipe) == 0 ? out : std::string("gzip -dc failed");
}

// The stream of stored deflate blocks (at most 65535 bytes each) that holds length bytes.
size_t StoredSize(size_t length) { return length + 5 * ((length + 65534) / 65535); }

}  // namespace

TEST(ParallelCompressedFile, EmptyAndOneByteStreamsMatchTheOneThreadWriter) {
  TempDir dir;
  CWritten w;
  WriteThreeWays(dir, std::string(), {kBlock}, w);
  // Nothing written at all: the very bytes zlib gives, a 20-byte stream.
  EXPECT_EQ(w.many.size(), 20u);
  EXPECT_TRUE(w.many == w.single);

  WriteThreeWays(dir, std::string("x"), {1}, w);
  EXPECT_TRUE(w.many == w.single);  // one block, finished: the same deflate output as gzwrite's
}

TEST(ParallelCompressedFile, StreamsEndingAtAndAroundBlockEdgesInflateToTheSameBytes) {
  TempDir dir;
  const std::string source = MixedData(3 * kBlock + 100, 7);
  for (size_t length : {kBlock - 1, kBlock, kBlock + 1, 2 * kBlock - 1, 2 * kBlock, 2 * kBlock + 1,
                        CParallelCompressedFile::kWindowSize, 3 * kBlock}) {
    SCOPED_TRACE(length);
    CWritten w;
    // Written whole in one call and in the backup run's 16 KiB pieces with odd headers between.
    WriteThreeWays(dir, source.substr(0, length), {length}, w);
    WriteThreeWays(dir, source.substr(0, length), {16, 24, 16384, 16384, 5000}, w);
  }
}

TEST(ParallelCompressedFile, TensOfMegabytesOfMixedDataInflateToTheSameBytes) {
  TempDir dir;
  const std::string data = MixedData(24u << 20, 20261209);
  CWritten w;
  WriteThreeWays(dir, data, {16, 40, 16384, 16384, 16384, 777}, w);
  // Readable by this program's own reader as well.
  ExpectOwnReaderReads(dir.File("many.fcf"), data);
  // The cut costs little: every block sees the 32 KiB before it.
  EXPECT_LT(static_cast<double>(w.many.size()), static_cast<double>(w.single.size()) * 1.01)
      << w.many.size() << " against " << w.single.size();
}

TEST(ParallelCompressedFile, LevelAndStrategyShowInTheHeaderAndChangesKeepTheStream) {
  TempDir dir;
  const std::string data = MixedData(5 * kBlock / 2, 3);
  // No level set, or set only before Open: the library's default, as CCompressedFile writes it.
  for (int level : {-1, 1, 9, 109, 101}) {
    SCOPED_TRACE(level);
    CCompressedFile single;
    CParallelCompressedFile parallel(2);
    if (level > 100) {
      single.SetLevel(level - 100);
      parallel.SetLevel(level - 100);
    }
    ASSERT_TRUE(single.Open(dir.File("s.gz").c_str(), 1));
    ASSERT_TRUE(parallel.Open(dir.File("p.gz").c_str(), 1));
    if (level != -1 && level < 100) {
      single.SetLevel(level);
      parallel.SetLevel(level);
    }
    ASSERT_TRUE(single.Write(data.data(), static_cast<unsigned>(data.size())));
    ASSERT_TRUE(parallel.Write(data.data(), static_cast<unsigned>(data.size())));
    ASSERT_TRUE(single.Close());
    ASSERT_TRUE(parallel.Close());
    const std::string s = ReadFileBytes(dir.File("s.gz")), p = ReadFileBytes(dir.File("p.gz"));
    EXPECT_EQ(p.substr(0, 10), s.substr(0, 10));
    EXPECT_EQ(static_cast<unsigned char>(p[8]), level == 9 ? 2u : (level == 1 ? 4u : 0u));
    std::string plain;
    ASSERT_TRUE(InflateOneMember(p, plain));
    EXPECT_TRUE(plain == data);
  }
  // A change halfway through a block: what came before keeps its level, the stream stays one.
  CParallelCompressedFile parallel(2);
  ASSERT_TRUE(parallel.Open(dir.File("p.gz").c_str(), 1));
  parallel.SetLevel(1);
  ASSERT_TRUE(parallel.Write(data.data(), 1000));
  parallel.SetLevel(9);
  ASSERT_TRUE(parallel.Write(data.data() + 1000, static_cast<unsigned>(data.size() - 1000)));
  ASSERT_TRUE(parallel.Close());
  std::string plain;
  ASSERT_TRUE(InflateOneMember(ReadFileBytes(dir.File("p.gz")), plain));
  EXPECT_TRUE(plain == data);
  EXPECT_TRUE(GzipTestPasses(dir.File("p.gz")));
}

TEST(ParallelCompressedFile, OpenCloseAndTheReadingSide) {
  TempDir dir;
  CParallelCompressedFile file(2);
  EXPECT_FALSE(file.IsOpen());
  EXPECT_FALSE(file.Write("x", 1));
  EXPECT_FALSE(file.Close());
  EXPECT_FALSE(file.Open(dir.File("read.fcf").c_str(), 2)) << "only writes";
  EXPECT_NE(access(dir.File("read.fcf").c_str(), F_OK), 0);
  EXPECT_FALSE(file.Open(dir.File("missing/x.fcf").c_str(), 1));
  EXPECT_FALSE(file.IsOpen());

  ASSERT_TRUE(file.Open(dir.File("a.fcf").c_str(), 1));
  EXPECT_EQ(file.WorkerCount(), 2u);
  EXPECT_FALSE(file.Open(dir.File("b.fcf").c_str(), 1));
  EXPECT_NE(access(dir.File("b.fcf").c_str(), F_OK), 0) << "the refused Open created its file";
  char buffer[4];
  EXPECT_EQ(file.Read(buffer, sizeof buffer), 0);
  int size = 7;
  char* block = nullptr;
  EXPECT_FALSE(file.ReadAll(&block, &size));
  EXPECT_EQ(size, 0);
  EXPECT_TRUE(file.WriteString("first"));
  EXPECT_TRUE(file.Close());
  EXPECT_EQ(file.WorkerCount(), 0u);
  EXPECT_FALSE(file.WriteString("late"));

  // Opened again, onto an existing file: truncated, a new stream.
  ASSERT_TRUE(file.Open(dir.File("a.fcf").c_str(), 1));
  EXPECT_TRUE(file.WriteString("second"));
  EXPECT_TRUE(file.Close());
  std::string plain;
  ASSERT_TRUE(InflateOneMember(ReadFileBytes(dir.File("a.fcf")), plain));
  EXPECT_EQ(plain, "second");

  // Left open: the destructor finishes the stream.
  {
    CParallelCompressedFile open(3);
    ASSERT_TRUE(open.Open(dir.File("c.fcf").c_str(), 1));
    ASSERT_TRUE(open.Write(MixedData(3 * kBlock, 4).data(), static_cast<unsigned>(3 * kBlock)));
  }
  ASSERT_TRUE(InflateOneMember(ReadFileBytes(dir.File("c.fcf")), plain));
  EXPECT_TRUE(plain == MixedData(3 * kBlock, 4));
}

TEST(ParallelCompressedFile, WorkersRunAtThePriorityOfTheWritingThread) {
  EXPECT_GE(CParallelCompressedFile::UsableCores(), 1u);
  cpu_set_t set;
  ASSERT_EQ(sched_getaffinity(0, sizeof set, &set), 0);
  EXPECT_EQ(CParallelCompressedFile::UsableCores(), static_cast<unsigned>(CPU_COUNT(&set)));
  // The default takes the cores this process may use: one core allowed, one worker.
  std::thread restricted([] {
    cpu_set_t one;
    CPU_ZERO(&one);
    cpu_set_t all;
    ASSERT_EQ(sched_getaffinity(0, sizeof all, &all), 0);
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
      if (CPU_ISSET(cpu, &all)) {
        CPU_SET(cpu, &one);
        break;
      }
    }
    ASSERT_EQ(sched_setaffinity(0, sizeof one, &one), 0);
    EXPECT_EQ(CParallelCompressedFile::UsableCores(), 1u);
    CParallelCompressedFile file;
    TempDir dir;
    ASSERT_TRUE(file.Open(dir.File("one.fcf").c_str(), 1));
    EXPECT_EQ(file.WorkerCount(), 1u);
    EXPECT_TRUE(file.Close());
  });
  restricted.join();

  // A writer on a thread five steps nicer than the rest: its workers are as nice, not nicer.
  std::thread writer([] {
    const id_t self = static_cast<id_t>(syscall(SYS_gettid));
    errno = 0;
    const int base = getpriority(PRIO_PROCESS, self);
    ASSERT_EQ(setpriority(PRIO_PROCESS, self, base + 5), 0);
    std::set<pid_t> before;
    for (const auto& task : ThreadNiceValues()) before.insert(task.first);
    TempDir dir;
    CParallelCompressedFile file(3);
    ASSERT_TRUE(file.Open(dir.File("nice.fcf").c_str(), 1));
    int workers = 0;
    for (const auto& [tid, value] : ThreadNiceValues()) {
      if (before.count(tid) != 0) continue;
      ++workers;
      EXPECT_EQ(value, base + 5) << "worker " << tid;
    }
    EXPECT_EQ(workers, 3);
    EXPECT_TRUE(file.Close());
  });
  writer.join();
}

TEST(ParallelCompressedFile, FullDiskFailsTheWriteOrTheCloseWithItsError) {
  TempDir dir;
  const std::string data = Noise(1 << 20, 5);  // noise stays 1 MiB when deflated

  // A file size limit: EFBIG, as a full disk reports itself differently on each file system.
  {
    struct rlimit old;
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    struct rlimit small = old;
    small.rlim_cur = 200 * 1024;
    auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    CParallelCompressedFile file(2);
    bool opened = file.Open(dir.File("limited.fcf").c_str(), 1);
    bool wrote = true;
    for (size_t at = 0; opened && wrote && at < data.size(); at += 16384)
      wrote = file.Write(data.data() + at, 16384);
    const int writeErrno = errno;
    errno = 0;
    const bool closed = opened && file.Close();
    const int closeErrno = errno;
    setrlimit(RLIMIT_FSIZE, &old);
    signal(SIGXFSZ, oldHandler);
    ASSERT_TRUE(opened);
    EXPECT_FALSE(wrote);  // the queue holds far less than 1 MiB: the failure shows while writing
    EXPECT_EQ(writeErrno, EFBIG);
    EXPECT_FALSE(closed);
    EXPECT_EQ(closeErrno, EFBIG);
    EXPECT_FALSE(file.IsOpen());
  }

  // A real full file system.
  const std::string mountPoint = dir.File("small");
  ASSERT_EQ(mkdir(mountPoint.c_str(), 0700), 0);
  if (mount("fern-parallel-full", mountPoint.c_str(), "tmpfs", 0, "size=256k") != 0)
    GTEST_SKIP() << "tmpfs mount not permitted: " << strerror(errno);
  struct Unmount {
    std::string path;
    ~Unmount() { umount2(path.c_str(), MNT_DETACH); }
  } unmount{mountPoint};
  for (size_t length : {data.size(), size_t(300 * 1024)}) {
    SCOPED_TRACE(length);
    // Whole in one call, and small enough that only the blocks written at Close overflow.
    CParallelCompressedFile file(2);
    ASSERT_TRUE(file.Open((mountPoint + "/set.fcf").c_str(), 1));
    if (!file.Write(data.data(), static_cast<unsigned>(length))) {
      EXPECT_EQ(errno, ENOSPC);
      errno = 0;
      EXPECT_FALSE(file.Write("x", 1));  // and every later write alike
      EXPECT_EQ(errno, ENOSPC);
    }
    errno = 0;
    EXPECT_FALSE(file.Close());
    EXPECT_EQ(errno, ENOSPC);
    unlink((mountPoint + "/set.fcf").c_str());
  }
}

TEST(ParallelCompressedFile, IncompressibleBlocksAreStoredInTheSameMember) {
  TempDir dir;
  // Noise in whole blocks: each block is its bytes in stored deflate blocks, nothing searched,
  // and the last one ends the stream. The block sizes cross the 65535 bytes of a stored block.
  for (size_t length : {kBlock, 2 * kBlock, kBlock + 65535, kBlock + 65536, kBlock + 16384}) {
    SCOPED_TRACE(length);
    const std::string noise = Noise(length, static_cast<uint32_t>(length));
    CWritten w;
    WriteThreeWays(dir, noise, {16384, 16, 5000}, w);
    EXPECT_EQ(w.many.size(), 10 + StoredSize(kBlock) * (length / kBlock) + StoredSize(length % kBlock) + 8);
    EXPECT_LE(w.many.size(), w.single.size()) << "stored is no larger than what level 9 makes of noise";
    EXPECT_TRUE(GzipDecompress(dir.File("many.fcf")) == noise);
  }

  // Stored noise, then the level changes (the noise goes out before the rest) and nothing more
  // comes: the stream ends in an empty last block of its own.
  {
    const std::string noise = Noise(kBlock, 31);
    CParallelCompressedFile file(2);
    file.SetLevel(9);
    ASSERT_TRUE(file.Open(dir.File("change.fcf").c_str(), 1));
    file.SetLevel(9);
    ASSERT_TRUE(file.Write(noise.data(), static_cast<unsigned>(noise.size())));
    file.SetLevel(1);
    ASSERT_TRUE(file.Close());
    std::string plain;
    ASSERT_TRUE(InflateOneMember(ReadFileBytes(dir.File("change.fcf")), plain));
    EXPECT_TRUE(plain == noise);
    EXPECT_TRUE(GzipTestPasses(dir.File("change.fcf")));
  }

  // A drive's mix: text, photos, packages, small files, in the backup run's pieces. Every
  // reader reads it as one member; the incompressible parts stand in the file as they are
  // (each is long enough that its middle lies in a block of its own).
  std::string data;
  std::vector<std::string> stored;
  for (uint32_t i = 0; data.size() < (12u << 20); ++i) {
    data += PlainText(20000 + i * 7919 % 600000, i);
    stored.push_back(i % 2 == 0 ? Noise(3 * kBlock + i * 104729 % 900000, i) : GzippedText(3 * kBlock, i));
    data += stored.back();
    data += PlainText(300, i) + Noise(300, i);
  }
  CWritten w;
  WriteThreeWays(dir, data, {16, 40, 16384, 16384, 16384, 777}, w);
  EXPECT_TRUE(GzipDecompress(dir.File("many.fcf")) == data);
  ExpectOwnReaderReads(dir.File("many.fcf"), data);
  // Two pieces 8 KiB apart: a stored block's five-byte head may split one, never both.
  for (const std::string& part : stored) {
    ASSERT_GE(part.size(), 3 * kBlock);
    EXPECT_TRUE(w.many.find(part.substr(part.size() / 2, 4096)) != std::string::npos ||
                w.many.find(part.substr(part.size() / 2 + 8192, 4096)) != std::string::npos)
        << "not stored";
  }

  // Level 9 on every block: stored blocks in its stream too, but smaller ones, each behind a
  // flush; and the ratio the probe may cost is half a percent at the most.
  CParallelCompressedFile searched(2);
  searched.SetStoreIncompressible(false);
  ASSERT_TRUE(WriteInPieces(searched, dir.File("searched.fcf"), data, {16384}));
  const size_t searchedSize = ReadFileBytes(dir.File("searched.fcf")).size();
  EXPECT_LT(w.many.size(), searchedSize);
  EXPECT_LE(static_cast<double>(w.many.size()), static_cast<double>(searchedSize) * 1.005)
      << w.many.size() << " against " << searchedSize;
}

TEST(ParallelCompressedFile, CompressibleDataGivesTheSameBytesWithOrWithoutTheProbe) {
  TempDir dir;
  // Text, source and zero runs, as most of a drive of documents: every block deflated as before.
  std::string data;
  for (uint32_t i = 0; data.size() < (6u << 20); ++i) {
    data += PlainText(1000 + i * 7919 % 300000, i);
    if (i % 5 == 0) data.append(i * 3001 % 200000, '\0');
  }
  for (bool probe : {false, true}) {
    CParallelCompressedFile file(3);
    file.SetStoreIncompressible(probe);
    ASSERT_TRUE(WriteInPieces(file, dir.File(probe ? "probed.fcf" : "searched.fcf"), data, {16, 24, 16384}));
  }
  const std::string probed = ReadFileBytes(dir.File("probed.fcf"));
  EXPECT_TRUE(probed == ReadFileBytes(dir.File("searched.fcf")));
  std::string plain;
  ASSERT_TRUE(InflateOneMember(probed, plain));
  EXPECT_TRUE(plain == data);
}
