// Restore throughput against `tar -xzf` of the same files: the set of the benchmark corpus is
// restored onto an empty folder, and the corpus's tar.gz (made with the system's tar and gzip)
// is unpacked into another, alternately, several times; the median of each counts.
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchCorpus.h"
#include "bench/BenchFolder.h"
#include "engine/BackupRun.h"
#include "engine/RestoreRun.h"
#include "storage/SetFormat.h"

namespace {

class CQuietUI : public IEngineUI {
 public:
  void SetStatusText(const std::string&) override {}
  void ShowErrorList(const std::vector<std::string>& fileNames, const std::vector<std::string>& errorTexts) override {
    for (size_t i = 0; i < fileNames.size(); ++i)
      fprintf(stderr, "bench_restore: %s: %s\n", fileNames[i].c_str(), errorTexts[i].c_str());
    errors += fileNames.size();
  }
  int AskOverwrite(const std::string&) override { return 0; }
  bool AskYesNo(const std::string&) override { return false; }
  void ShowMessage(const std::string& text) override {
    fprintf(stderr, "bench_restore: %s\n", text.c_str());
    ++errors;
  }
  size_t errors = 0;
};

bool Shell(const std::string& command) {
  int status = system(command.c_str());
  return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

std::string Quote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// User plus system time of this process (who = RUSAGE_SELF) or of its waited-for children.
double CpuSeconds(int who) {
  struct rusage usage;
  if (getrusage(who, &usage) != 0) return 0;
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

double Seconds(std::chrono::steady_clock::time_point since) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

int main() {
  uint64_t megabytes = 200;
  if (const char* env = getenv("FERN_BENCH_MB")) megabytes = strtoull(env, nullptr, 10);
  if (megabytes == 0) megabytes = 200;
  // Room for the corpus, its set and tar.gz, and two restored copies.
  fernbench::CBenchFolder folder("restore", megabytes * 5 + 256);
  if (!folder.Ok()) return 1;
  const std::string base = folder.Path();
  const std::string corpus = base + "/corpus";
  const std::string sets = base + "/sets";
  const std::string tarball = base + "/corpus.tar.gz";
  if (mkdir(corpus.c_str(), 0755) != 0 || mkdir(sets.c_str(), 0755) != 0) {
    perror("bench_restore: mkdir");
    return 1;
  }

  // The same corpus as the backup benchmark's.
  const uint64_t totalBytes = fernbench::GenerateCorpus(corpus, megabytes << 20, 20261209);
  if (totalBytes == 0) {
    fprintf(stderr, "bench_restore: could not generate the corpus\n");
    return 1;
  }
  std::string setPath;
  {
    CQuietUI ui;
    std::atomic<bool> stop{false};
    std::vector<char> buffer(fern::kCopyChunk);
    CBackupRun run(ui, stop, buffer.data());
    CBackupDrive drive{corpus + "/", 'E', "BENCH"};
    if (run.RunBackup(drive, true, sets, base + "/marks") != CBackupRun::Result::Done) {
      fprintf(stderr, "bench_restore: the backup of the corpus failed\n");
      return 1;
    }
    setPath = run.SetPath();
  }
  if (!Shell("tar -C " + Quote(corpus) + " -czf " + Quote(tarball) + " .")) {
    fprintf(stderr, "bench_restore: tar -czf failed\n");
    return 1;
  }

  const int rounds = 3;
  std::vector<double> restoreTimes, tarTimes, restoreCpus, tarCpus;
  std::vector<char> buffer(fern::kCopyChunk);
  for (int round = 0; round < rounds; ++round) {
    std::string target = base + "/restore" + std::to_string(round) + "/";
    std::string untar = base + "/untar" + std::to_string(round);
    if (mkdir(target.c_str(), 0755) != 0 || mkdir(untar.c_str(), 0755) != 0) {
      perror("bench_restore: mkdir");
      return 1;
    }
    Shell("sync");

    // Which goes first alternates, so neither always meets the other's writeback.
    double restoreTime = 0, tarTime = 0;
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == (round % 2 == 0)) {
        CQuietUI ui;
        std::atomic<bool> stop{false};
        int answer = -1;
        CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
        double cpu = CpuSeconds(RUSAGE_SELF);
        auto start = std::chrono::steady_clock::now();
        bool opened = run.RestoreSet(setPath, target);
        restoreTime = Seconds(start);
        cpu = CpuSeconds(RUSAGE_SELF) - cpu;
        restoreCpus.push_back(cpu);
        if (!opened || ui.errors != 0) {
          fprintf(stderr, "bench_restore: the restore failed\n");
          return 1;
        }
      } else {
        double cpu = CpuSeconds(RUSAGE_CHILDREN);
        auto start = std::chrono::steady_clock::now();
        if (!Shell("tar -C " + Quote(untar) + " -xzf " + Quote(tarball))) {
          fprintf(stderr, "bench_restore: tar -xzf failed\n");
          return 1;
        }
        tarTime = Seconds(start);
        cpu = CpuSeconds(RUSAGE_CHILDREN) - cpu;
        tarCpus.push_back(cpu);
      }
    }
    if (round == 0 && !Shell("diff -r " + Quote(corpus) + " " + Quote(target) + " > /dev/null")) {
      fprintf(stderr, "bench_restore: the restored files differ from the corpus\n");
      return 1;
    }
    restoreTimes.push_back(restoreTime);
    tarTimes.push_back(tarTime);
    Shell("rm -rf " + Quote(target) + " " + Quote(untar));
  }

  const double mb = static_cast<double>(totalBytes) / (1 << 20);
  const double restoreRate = mb / fernbench::Median(restoreTimes);
  const double tarRate = mb / fernbench::Median(tarTimes);
  printf("restore_corpus_mb: %.1f, on %s, median of %d rounds\n", mb, folder.Where().c_str(), rounds);
  printf("restore_mb_s: %.1f\n", restoreRate);
  printf("tar_xzf_mb_s: %.1f\n", tarRate);
  printf("restore_vs_tar_xzf: %.2f\n", restoreRate / tarRate);
  // Processor time (user + system) does not depend on what else the machine is doing.
  printf("restore_cpu_s: %.2f\n", fernbench::Median(restoreCpus));
  printf("tar_xzf_cpu_s: %.2f\n", fernbench::Median(tarCpus));
  return 0;
}
