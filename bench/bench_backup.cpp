// A Full Backup through the engine against `tar -cf - DIR | gzip -9 > file` on the same
// generated corpus. FERN_BENCH_MB sets the corpus size (default 200), FERN_BENCH_ROUNDS the
// number of rounds (default 2).
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

#include "bench/BenchCorpus.h"
#include "engine/BackupRun.h"

namespace {

class CQuietUI : public IEngineUI {
 public:
  void SetStatusText(const std::string&) override {}
  void ShowErrorList(const std::vector<std::string>& names, const std::vector<std::string>& texts) override {
    for (size_t i = 0; i < names.size(); ++i) fprintf(stderr, "%s: %s\n", names[i].c_str(), texts[i].c_str());
    errors += names.size();
  }
  int AskOverwrite(const std::string&) override { return 0; }
  bool AskYesNo(const std::string&) override { return false; }
  void ShowMessage(const std::string& text) override { fprintf(stderr, "%s\n", text.c_str()); }
  size_t errors = 0;
};

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// User plus system time of the waited-for children (tar and gzip).
double ChildrenCpu() {
  struct rusage usage;
  if (getrusage(RUSAGE_CHILDREN, &usage) != 0) return 0;
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

std::string ShellQuote(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

}  // namespace

int main() {
  uint64_t megabytes = 200;
  if (const char* env = getenv("FERN_BENCH_MB")) megabytes = strtoull(env, nullptr, 10);
  if (megabytes == 0) megabytes = 200;

  std::string base = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  base += "/fern-bench-backup-XXXXXX";
  if (mkdtemp(&base[0]) == nullptr) {
    perror("mkdtemp");
    return 1;
  }
  struct Cleanup {
    std::string path;
    ~Cleanup() {
      std::error_code ec;
      std::filesystem::remove_all(path, ec);
    }
  } cleanup{base};

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

  // The machine is shared: each side runs in every round, which goes first alternates, and the
  // best time of each counts. Processor time (user + system) is printed too, since it does not
  // depend on what else the machine is doing.
  int rounds = 2;
  if (const char* env = getenv("FERN_BENCH_ROUNDS")) rounds = atoi(env);
  if (rounds < 1) rounds = 1;
  const std::string tarFile = base + "/corpus.tar.gz";
  const std::string command = "tar -cf - -C " + ShellQuote(base) + " drive | gzip -9 > " + ShellQuote(tarFile);
  double bestBackup = 1e30, bestTar = 1e30, backupCpu = 1e30, tarCpu = 1e30, peakRssMb = 0;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == (round % 2 == 0)) {
        // The backup in a child of its own, so its peak resident memory is its own.
        double start = Now();
        pid_t child = fork();
        if (child < 0) {
          perror("fork");
          return 1;
        }
        if (child == 0) {
          CQuietUI ui;
          std::atomic<bool> stop{false};
          std::vector<char> buffer(16384);
          CBackupRun run(ui, stop, buffer.data());
          CBackupDrive drive{corpus + "/", 'E', "BENCH"};
          CBackupRun::Result result = run.RunBackup(drive, true, backups, marks);
          bool ok = result == CBackupRun::Result::Done && ui.errors == 0;
          if (ok) unlink(run.SetPath().c_str());  // the next round writes its own
          _exit(ok ? 0 : 1);
        }
        int status = 0;
        struct rusage usage;
        if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
          fprintf(stderr, "the backup failed\n");
          return 1;
        }
        const double seconds = Now() - start;
        const double cpu = static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
        bestBackup = seconds < bestBackup ? seconds : bestBackup;
        backupCpu = cpu < backupCpu ? cpu : backupCpu;
        const double rss = static_cast<double>(usage.ru_maxrss) / 1024.0;
        peakRssMb = rss > peakRssMb ? rss : peakRssMb;
      } else {
        const double cpuBefore = ChildrenCpu();
        const double start = Now();
        const int tarStatus = system(command.c_str());
        const double seconds = Now() - start;
        const double cpu = ChildrenCpu() - cpuBefore;
        if (tarStatus != 0) {
          fprintf(stderr, "tar | gzip -9 failed\n");
          return 1;
        }
        unlink(tarFile.c_str());
        bestTar = seconds < bestTar ? seconds : bestTar;
        tarCpu = cpu < tarCpu ? cpu : tarCpu;
      }
    }
  }

  const double backupRate = mb / bestBackup, tarRate = mb / bestTar;
  printf("backup_mb_s: %.2f\n", backupRate);
  printf("tar_gzip9_mb_s: %.2f\n", tarRate);
  printf("backup_vs_tar_gzip9: %.3f\n", backupRate / tarRate);
  printf("backup_peak_rss_mb: %.1f\n", peakRssMb);
  printf("backup_cpu_s: %.2f\n", backupCpu);
  printf("tar_gzip9_cpu_s: %.2f\n", tarCpu);
  return 0;
}
