// A Full Backup through the engine, on every core and on one compressing worker, against
// `tar -cf - DIR | gzip -9` and `tar -cf - DIR | pigz -9 -p N` on the same generated corpus.
// Then the set is checked against the corpus entry by entry with zlib's inflate, by `gzip -t`,
// and its size is held against a set of the same content written by the one-thread writer.
// Then the same for a corpus of files that are compressed already (backup_incompressible_vs_pigz9:
// `tar | pigz -9 -p N` time over the backup's, the set's size over pigz's beside).
// FERN_BENCH_MB sets each corpus's size (default 200), FERN_BENCH_ROUNDS the rounds (default 3).
#include <malloc.h>
#include <sched.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <vector>

#include "bench/BenchCorpus.h"
#include "bench/BenchFolder.h"
#include "engine/BackupRun.h"
#include "storage/CompressedFile.h"
#include "storage/ParallelCompressedFile.h"
#include "storage/SetFormat.h"

namespace {

class CQuietUI : public IEngineUI {
 public:
  void SetStatusText(const std::string&) override {}
  void ShowErrorList(const std::vector<std::string>& names, const std::vector<std::string>& texts) override {
    for (size_t i = 0; i < names.size(); ++i) fprintf(stderr, "%s: %s\n", names[i].c_str(), texts[i].c_str());
    errors += names.size();
  }
  OverwriteAnswer AskOverwrite(const std::string&) override { return OverwriteAnswer::No; }
  bool AskYesNo(const std::string&) override { return false; }
  void ShowMessage(const std::string& text) override { fprintf(stderr, "%s\n", text.c_str()); }
  size_t errors = 0;
};

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

double Seconds(const struct timeval& user, const struct timeval& system) {
  return static_cast<double>(user.tv_sec + system.tv_sec) + static_cast<double>(user.tv_usec + system.tv_usec) / 1e6;
}

// User plus system time of the waited-for children.
double ChildrenCpu() {
  struct rusage usage;
  if (getrusage(RUSAGE_CHILDREN, &usage) != 0) return 0;
  return Seconds(usage.ru_utime, usage.ru_stime);
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

bool Shell(const std::string& command) {
  const int status = system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

off_t FileSize(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

struct CTiming {
  double wall = 0, cpu = 0, peakRssMb = 0;
  off_t size = 0;
};

// One Full Backup in a child of its own, so that its peak resident memory and its processor
// time are its own. threads: the compressing workers (0: one per usable core).
bool TimeBackup(const std::string& drive, const std::string& backups, const std::string& marks, unsigned threads,
                const std::string& keepAs, CTiming& timing) {
  const double start = Now();
  const pid_t child = fork();
  if (child < 0) {
    perror("fork");
    return false;
  }
  if (child == 0) {
    CQuietUI ui;
    std::atomic<bool> stop{false};
    std::vector<char> buffer(fern::kCopyChunk);
    CBackupRun run(ui, stop, buffer.data());
    run.SetCompressionThreads(threads);
    CBackupDrive target{drive + "/", 'E', "BENCH"};
    const bool ok = run.RunBackup(target, true, backups, marks) == CBackupRun::Result::Done && ui.errors == 0 &&
                    rename(run.SetPath().c_str(), keepAs.c_str()) == 0;
    _exit(ok ? 0 : 1);
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "bench_backup: the backup failed\n");
    return false;
  }
  timing.wall = Now() - start;
  timing.cpu = Seconds(usage.ru_utime, usage.ru_stime);
  timing.peakRssMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  timing.size = FileSize(keepAs);
  return true;
}

bool TimeShell(const std::string& command, const std::string& output, CTiming& timing) {
  const double cpuBefore = ChildrenCpu();
  const double start = Now();
  if (!Shell(command)) {
    fprintf(stderr, "bench_backup: %s failed\n", command.c_str());
    return false;
  }
  timing.wall = Now() - start;
  timing.cpu = ChildrenCpu() - cpuBefore;
  timing.size = FileSize(output);
  return true;
}

// Reads the set with zlib's inflate, compares every entry with its file in the corpus, and
// writes the same content through the one-thread writer at level 9 into singlePath.
bool CheckSetAgainstCorpus(const std::string& setPath, const std::string& drive, const std::string& singlePath,
                           uint64_t& entries, uint64_t& plainBytes) {
  entries = 0;
  plainBytes = 0;
  FILE* in = fopen(setPath.c_str(), "rb");
  if (in == nullptr) return false;
  CCompressedFile single;
  single.SetLevel(9);
  if (!single.Open(singlePath.c_str(), 1)) {
    fclose(in);
    return false;
  }
  single.SetLevel(9);
  z_stream strm{};
  if (inflateInit2(&strm, 16 + MAX_WBITS) != Z_OK) {
    fclose(in);
    return false;
  }
  std::vector<unsigned char> input(1 << 20), output(1 << 20);
  std::string pending;  // inflated bytes not yet matched to an entry
  bool ok = true, ended = false;
  while (ok && !ended) {
    const size_t got = fread(input.data(), 1, input.size(), in);
    if (got == 0) break;
    strm.next_in = input.data();
    strm.avail_in = static_cast<uInt>(got);
    while (ok && strm.avail_in > 0 && !ended) {
      strm.next_out = output.data();
      strm.avail_out = static_cast<uInt>(output.size());
      const int result = inflate(&strm, Z_NO_FLUSH);
      if (result != Z_OK && result != Z_STREAM_END) {
        fprintf(stderr, "bench_backup: the set does not inflate (%d)\n", result);
        ok = false;
        break;
      }
      ended = result == Z_STREAM_END;
      const size_t produced = output.size() - strm.avail_out;
      plainBytes += produced;
      ok = single.Write(output.data(), static_cast<unsigned>(produced));
      pending.append(reinterpret_cast<const char*>(output.data()), produced);
      // Every complete entry: its data must be its file's.
      size_t at = 0;
      while (ok && pending.size() - at >= fern::kEntryHeaderSize) {
        const fern::EntryHeader header =
            fern::DecodeEntryHeader(reinterpret_cast<const unsigned char*>(pending.data() + at));
        const size_t whole = fern::kEntryHeaderSize + header.nameLength + header.dataLength;
        if (pending.size() - at < whole) break;
        std::string name = pending.substr(at + fern::kEntryHeaderSize, header.nameLength);
        if (name.compare(0, 3, "E:\\") != 0) {
          ok = false;
          break;
        }
        std::string relative = name.substr(3);
        for (char& c : relative)
          if (c == '\\') c = '/';
        std::ifstream file(drive + "/" + relative, std::ios::binary);
        const std::string bytes((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        if (bytes.size() != header.dataLength ||
            memcmp(bytes.data(), pending.data() + at + fern::kEntryHeaderSize + header.nameLength, bytes.size()) != 0) {
          fprintf(stderr, "bench_backup: the entry %s differs from its file\n", name.c_str());
          ok = false;
        }
        ++entries;
        at += whole;
      }
      pending.erase(0, at);
    }
  }
  ok = ok && ended && strm.avail_in == 0 && fgetc(in) == EOF && pending.empty();
  inflateEnd(&strm);
  fclose(in);
  return single.Close() && ok;
}

// Checks the set entry by entry against the corpus and prints its size against the same
// content written by the one-thread writer; figures named with the given prefix. 0 when the
// set holds exactly the corpus, else 1.
int CheckAgainstCorpus(const std::string& setPath, const std::string& corpus, const std::string& single, off_t setSize,
                       const std::string& prefix) {
  uint64_t entries = 0, plainBytes = 0;
  const double start = Now();
  const bool ok = CheckSetAgainstCorpus(setPath, corpus, single, entries, plainBytes);
  if (!ok) fprintf(stderr, "bench_backup: the set does not hold the corpus\n");
  printf("%sset_checked: %llu entries, %.1f MB inflated, every entry equal to its file (%.1f s)\n", prefix.c_str(),
         static_cast<unsigned long long>(entries), static_cast<double>(plainBytes) / (1 << 20), Now() - start);
  const off_t singleSize = FileSize(single);
  printf("%ssingle_thread_set_size: %lld\n", prefix.c_str(), static_cast<long long>(singleSize));
  printf("%sset_size_vs_single: %.4f\n", prefix.c_str(), static_cast<double>(setSize) / static_cast<double>(singleSize));
  fflush(stdout);
  return ok ? 0 : 1;
}

// One way of writing the corpus: its output file and how it is timed.
struct CContender {
  const char* name;
  std::string output;
  std::function<bool(CTiming&)> run;
  std::vector<double> wall = {}, cpu = {};
  CTiming last = {};
};

// The machine may be shared: every contender runs in every round, in an order that is
// reversed from one round to the next, and the median counts. Processor time (user + system)
// is printed beside each, as it hardly depends on what else the machine does. The last
// round's outputs are left in place.
bool RunRounds(std::vector<CContender>& contenders, int rounds, double mb, double& peakRssMb) {
  const size_t count = contenders.size();
  for (int round = 0; round < rounds; ++round) {
    for (size_t turn = 0; turn < count; ++turn) {
      CContender& contender = contenders[round % 2 == 0 ? turn : count - 1 - turn];
      unlink(contender.output.c_str());  // each writes anew
      CTiming timing;
      if (!contender.run(timing)) return false;
      contender.wall.push_back(timing.wall);
      contender.cpu.push_back(timing.cpu);
      peakRssMb = std::max(peakRssMb, timing.peakRssMb);
      contender.last = timing;
    }
    fprintf(stderr, "bench_backup: round %d of %d done\n", round + 1, rounds);
  }
  for (const CContender& contender : contenders) {
    const double seconds = fernbench::Median(contender.wall);
    printf("%s_s: %.2f (%.2f MB/s), cpu_s: %.2f, size: %lld\n", contender.name, seconds, mb / seconds,
           fernbench::Median(contender.cpu), static_cast<long long>(contender.last.size));
  }
  fflush(stdout);
  return true;
}

}  // namespace

int main() {
  uint64_t megabytes = 200;
  if (const char* env = getenv("FERN_BENCH_MB")) megabytes = strtoull(env, nullptr, 10);
  if (megabytes == 0) megabytes = 200;
  int rounds = 3;
  if (const char* env = getenv("FERN_BENCH_ROUNDS")) rounds = atoi(env);
  if (rounds < 3) rounds = 3;

  fernbench::CBenchFolder folder("backup", megabytes * 4 + 256);
  if (!folder.Ok()) return 1;
  const std::string base = folder.Path();
  const std::string corpus = base + "/drive", backups = base + "/backups", marks = base + "/marks";
  if (mkdir(corpus.c_str(), 0755) != 0 || mkdir(backups.c_str(), 0755) != 0) {
    perror("mkdir");
    return 1;
  }
  const uint64_t bytes = fernbench::GenerateCorpus(corpus, megabytes << 20, 20261209);
  if (bytes == 0) {
    fprintf(stderr, "could not generate the corpus\n");
    return 1;
  }
  const double mb = static_cast<double>(bytes) / (1 << 20);
  const unsigned cores = CParallelCompressedFile::UsableCores();
  printf("backup: %.0f MB corpus, corpus and outputs on %s, %u usable cores, median of %d rounds\n", mb,
         folder.Where().c_str(), cores, rounds);
  fflush(stdout);

  const std::string setAll = base + "/all.fcf", setOne = base + "/one.fcf";
  const std::string tarGz = base + "/corpus.tar.gz", tarPigz = base + "/corpus.pigz.gz";
  const std::string tarGzip = "tar -cf - -C " + ShellQuote(base) + " drive | gzip -9 > " + ShellQuote(tarGz);
  const std::string tarPigz9 = "tar -cf - -C " + ShellQuote(base) + " drive | pigz -9 -p " + std::to_string(cores) +
                               " > " + ShellQuote(tarPigz);
  std::vector<CContender> contenders = {
      {"backup", setAll, [&](CTiming& t) { return TimeBackup(corpus, backups, marks, 0, setAll, t); }},
      {"backup_1_worker", setOne, [&](CTiming& t) { return TimeBackup(corpus, backups, marks, 1, setOne, t); }},
      {"tar_gzip9", tarGz, [&](CTiming& t) { return TimeShell(tarGzip, tarGz, t); }},
      {"tar_pigz9", tarPigz, [&](CTiming& t) { return TimeShell(tarPigz9, tarPigz, t); }}};
  enum { kAll, kOne, kGzip, kPigz };
  double peakRssMb = 0;
  if (!RunRounds(contenders, rounds, mb, peakRssMb)) return 1;
  const double all = fernbench::Median(contenders[kAll].wall);
  printf("backup_mb_s: %.2f\n", mb / all);
  printf("backup_vs_tar_gzip9: %.3f\n", fernbench::Median(contenders[kGzip].wall) / all);
  printf("backup_vs_pigz9: %.3f\n", fernbench::Median(contenders[kPigz].wall) / all);
  printf("backup_thread_speedup: %.3f\n", fernbench::Median(contenders[kOne].wall) / all);
  printf("backup_peak_rss_mb: %.1f\n", peakRssMb);
  fflush(stdout);

  // The set holds exactly the corpus and passes gzip's own test; one worker or all, the same bytes.
  int failures = 0;
  if (!Shell("gzip -t " + ShellQuote(setAll))) {
    fprintf(stderr, "bench_backup: gzip -t refuses the set\n");
    ++failures;
  }
  if (!Shell("cmp -s " + ShellQuote(setAll) + " " + ShellQuote(setOne))) {
    fprintf(stderr, "bench_backup: the sets of one worker and of all differ\n");
    ++failures;
  }
  failures += CheckAgainstCorpus(setAll, corpus, base + "/single.fcf", contenders[kAll].last.size, "");

  // A stick of photos, videos and archives: files that are compressed already. The first
  // corpus and its outputs go first, to keep within the folder's room.
  std::error_code ec;
  std::filesystem::remove_all(corpus, ec);
  for (const std::string& path : {setAll, setOne, tarGz, tarPigz, base + "/single.fcf"}) unlink(path.c_str());
  const std::string media = base + "/media", setMedia = base + "/media.fcf", mediaPigz = base + "/media.pigz.gz";
  const uint64_t mediaBytes =
      mkdir(media.c_str(), 0755) == 0 ? fernbench::GenerateIncompressibleCorpus(media, megabytes << 20, 20261211) : 0;
  if (mediaBytes == 0) {
    fprintf(stderr, "could not generate the corpus of compressed files\n");
    return 1;
  }
  const double mediaMb = static_cast<double>(mediaBytes) / (1 << 20);
  printf("backup_incompressible: %.0f MB corpus of compressed files (noise, gzip streams)\n", mediaMb);
  const std::string mediaPigz9 = "tar -cf - -C " + ShellQuote(base) + " media | pigz -9 -p " +
                                 std::to_string(cores) + " > " + ShellQuote(mediaPigz);
  const std::string mediaMarks = base + "/marks-media";
  std::vector<CContender> mediaContenders = {
      {"backup_incompressible", setMedia,
       [&](CTiming& t) { return TimeBackup(media, backups, mediaMarks, 0, setMedia, t); }},
      {"tar_pigz9_incompressible", mediaPigz, [&](CTiming& t) { return TimeShell(mediaPigz9, mediaPigz, t); }}};
  // The backup's child starts with this process's pages: the generator's freed buffers go back
  // first, so that the peak memory is the backup's own.
  malloc_trim(0);
  double mediaPeakRssMb = 0;
  if (!RunRounds(mediaContenders, rounds, mediaMb, mediaPeakRssMb)) return 1;
  printf("backup_incompressible_vs_pigz9: %.3f\n",
         fernbench::Median(mediaContenders[1].wall) / fernbench::Median(mediaContenders[0].wall));
  printf("backup_incompressible_size_vs_pigz9: %.4f\n",
         static_cast<double>(mediaContenders[0].last.size) / static_cast<double>(mediaContenders[1].last.size));
  printf("backup_incompressible_peak_rss_mb: %.1f\n", mediaPeakRssMb);
  if (!Shell("gzip -t " + ShellQuote(setMedia))) {
    fprintf(stderr, "bench_backup: gzip -t refuses the set of compressed files\n");
    ++failures;
  }
  failures += CheckAgainstCorpus(setMedia, media, base + "/single.fcf", mediaContenders[0].last.size,
                                 "incompressible_");
  return failures == 0 ? 0 : 1;
}
