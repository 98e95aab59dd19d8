// A backup's peak memory against the number of files on the drive: trees of 100,000 and 400,000
// small files in many folders, each backed up Full and then Quick (one file changed) by the
// engine in a child process of its own, whose peak resident memory wait4 reports. The figure
// is meant to stay flat: below 40 MB at 400,000 files. Times are printed for information only.
// Then the cost of a Quick Backup that finds nothing to do in the 100,000 files, against
// `find DIR -newer REF` of the same tree (each in a child of its own, rounds alternating the
// order, medians, processor times beside): quick_backup_vs_find_newer, at most 2.0.
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchFolder.h"
#include "engine/BackupRun.h"
#include "storage/SetFormat.h"

namespace {

constexpr double kTargetMb = 40;
constexpr unsigned kFilesPerFolder = 500;
constexpr unsigned kFilesPerPart = 100000;
constexpr double kQuickTarget = 2.0;
constexpr int kQuickRounds = 7;

class CQuietUI : public IEngineUI {
 public:
  void SetStatusText(const std::string&) override {}
  void ShowErrorList(const std::vector<std::string>& names, const std::vector<std::string>& texts) override {
    for (size_t i = 0; i < names.size() && i < 10; ++i)
      fprintf(stderr, "bench_backup_files: %s: %s\n", names[i].c_str(), texts[i].c_str());
    errors += names.size();
  }
  OverwriteAnswer AskOverwrite(const std::string&) override { return OverwriteAnswer::No; }
  bool AskYesNo(const std::string&) override { return false; }
  void ShowMessage(const std::string& text) override { fprintf(stderr, "bench_backup_files: %s\n", text.c_str()); }
  size_t errors = 0;
};

double Now() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

bool WriteSmallFile(const std::string& path, unsigned number) {
  char text[64];
  const int length = snprintf(text, sizeof text, "small file %u\n", number);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const bool ok = write(fd, text, static_cast<size_t>(length)) == length;
  return close(fd) == 0 && ok;
}

// part: a folder of kFilesPerPart files in folders of kFilesPerFolder.
bool GeneratePart(const std::string& part, unsigned first) {
  if (mkdir(part.c_str(), 0755) != 0) return false;
  for (unsigned i = 0; i < kFilesPerPart; ++i) {
    const std::string folder = part + "/folder" + std::to_string(i / kFilesPerFolder);
    if (i % kFilesPerFolder == 0 && mkdir(folder.c_str(), 0755) != 0) return false;
    if (!WriteSmallFile(folder + "/document-" + std::to_string(first + i) + ".txt", first + i)) return false;
  }
  return true;
}

struct CRun {
  double peakRssMb = 0;
  double seconds = 0;
  double cpuSeconds = 0;  // user plus system
  unsigned entries = 0;
};

double CpuSeconds(const struct rusage& usage) {
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// One backup in a child of its own, so that its peak resident memory is its own. want: the
// result the run must give.
bool RunChild(const std::string& drive, bool full, const std::string& backups, const std::string& marks, CRun& run,
              CBackupRun::Result want = CBackupRun::Result::Done) {
  const double start = Now();
  int pipeFds[2];
  if (pipe(pipeFds) != 0) {
    perror("pipe");
    return false;
  }
  const pid_t child = fork();
  if (child < 0) {
    perror("fork");
    return false;
  }
  if (child == 0) {
    close(pipeFds[0]);
    CQuietUI ui;
    std::atomic<bool> stop{false};
    std::vector<char> buffer(fern::kCopyChunk);
    CBackupRun backup(ui, stop, buffer.data());
    CBackupDrive target{drive + "/", 'E', "BENCH"};
    const CBackupRun::Result result = backup.RunBackup(target, full, backups, marks);
    const unsigned entries = backup.EntriesWritten();
    const bool ok = result == want && ui.errors == 0 &&
                    write(pipeFds[1], &entries, sizeof entries) == static_cast<ssize_t>(sizeof entries);
    _exit(ok ? 0 : 1);
  }
  close(pipeFds[1]);
  unsigned entries = 0;
  const bool got = read(pipeFds[0], &entries, sizeof entries) == static_cast<ssize_t>(sizeof entries);
  close(pipeFds[0]);
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0 || !got) {
    fprintf(stderr, "bench_backup_files: the %s backup of %s failed\n", full ? "Full" : "Quick", drive.c_str());
    return false;
  }
  run.seconds = Now() - start;
  run.cpuSeconds = CpuSeconds(usage);
  run.peakRssMb = static_cast<double>(usage.ru_maxrss) / 1024.0;
  run.entries = entries;
  return true;
}

// `find DIR -newer REF` in a child, its output thrown away.
bool RunFindNewer(const std::string& drive, const std::string& reference, CRun& run) {
  const double start = Now();
  posix_spawn_file_actions_t actions;
  if (posix_spawn_file_actions_init(&actions) != 0) return false;
  int err = posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
  const char* argv[] = {"find", drive.c_str(), "-newer", reference.c_str(), nullptr};
  pid_t child = -1;
  if (err == 0) err = posix_spawnp(&child, "find", &actions, nullptr, const_cast<char* const*>(argv), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (err != 0) {
    fprintf(stderr, "bench_backup_files: find: %s\n", strerror(err));
    return false;
  }
  int status = 0;
  struct rusage usage;
  if (wait4(child, &status, 0, &usage) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    fprintf(stderr, "bench_backup_files: find %s -newer %s failed\n", drive.c_str(), reference.c_str());
    return false;
  }
  run.seconds = Now() - start;
  run.cpuSeconds = CpuSeconds(usage);
  return true;
}

// A Quick Backup of a tree whose marks are all cleared (it finds nothing to do) against a
// `find -newer` of it, in rounds that alternate which goes first.
bool MeasureQuickAgainstFind(const std::string& drive, unsigned files, const std::string& base) {
  const std::string tag = std::to_string(files / 1000) + "k";
  const std::string backups = base + "/backups-" + tag, marks = base + "/marks-" + tag;
  const std::string reference = base + "/newer-than-the-tree";
  if (!WriteSmallFile(reference, 0)) {
    perror("bench_backup_files: the reference file");
    return false;
  }
  std::vector<double> quickWall, quickCpu, findWall, findCpu;
  for (int round = 0; round < kQuickRounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      CRun run;
      if ((turn + round) % 2 == 0) {
        if (!RunChild(drive, false, backups, marks, run, CBackupRun::Result::NoChanges)) return false;
        quickWall.push_back(run.seconds);
        quickCpu.push_back(run.cpuSeconds);
      } else {
        if (!RunFindNewer(drive, reference, run)) return false;
        findWall.push_back(run.seconds);
        findCpu.push_back(run.cpuSeconds);
      }
    }
  }
  using fernbench::Median;
  printf("quick_backup_%s_unchanged_s: %.3f (cpu %.3f s)\n", tag.c_str(), Median(quickWall), Median(quickCpu));
  printf("find_newer_%s_s: %.3f (cpu %.3f s)\n", tag.c_str(), Median(findWall), Median(findCpu));
  printf("quick_backup_vs_find_newer: %.2f (target <= %.1f; cpu %.2f)\n", Median(quickWall) / Median(findWall),
         kQuickTarget, Median(quickCpu) / Median(findCpu));
  return true;
}

// A Full Backup of the tree, then a Quick one after one file changed; the larger peak counts.
bool MeasureTree(const std::string& drive, unsigned files, const std::string& base, const std::string& changed,
                 double& peakMb) {
  const std::string tag = std::to_string(files / 1000) + "k";
  const std::string backups = base + "/backups-" + tag, marks = base + "/marks-" + tag;
  CRun full, quick;
  if (!RunChild(drive, true, backups, marks, full)) return false;
  if (full.entries != files) {
    fprintf(stderr, "bench_backup_files: the Full Backup took %u of %u files\n", full.entries, files);
    return false;
  }
  if (!WriteSmallFile(changed, 4000000000u) || !RunChild(drive, false, backups, marks, quick)) return false;
  if (quick.entries != 1) {
    fprintf(stderr, "bench_backup_files: the Quick Backup took %u files, not the one changed\n", quick.entries);
    return false;
  }
  printf("backup_full_%s_files: %.1f MB peak, %.2f s; quick (1 changed): %.1f MB peak, %.2f s\n", tag.c_str(),
         full.peakRssMb, full.seconds, quick.peakRssMb, quick.seconds);
  peakMb = std::max(full.peakRssMb, quick.peakRssMb);
  return true;
}

}  // namespace

int main() {
  // A small file takes a page of the tmpfs and an inode: room for the 400,000 of them.
  fernbench::CBenchFolder folder("backup-files", 3072);
  if (!folder.Ok()) return 1;
  const std::string base = folder.Path();
  const std::string drive = base + "/drive";
  const double start = Now();
  if (mkdir(drive.c_str(), 0755) != 0) {
    perror("mkdir");
    return 1;
  }
  // Four parts of 100,000: the first alone is the smaller tree, all four the larger.
  for (unsigned part = 0; part < 4; ++part) {
    if (!GeneratePart(drive + "/part" + std::to_string(part), part * kFilesPerPart)) {
      perror("bench_backup_files: generating the files");
      return 1;
    }
  }
  printf("backup_files: trees of %u and %u files of a few bytes, %u a folder, on %s (made in %.1f s)\n",
         kFilesPerPart, 4 * kFilesPerPart, kFilesPerFolder, folder.Where().c_str(), Now() - start);
  fflush(stdout);

  // The cost of the process itself, for reference.
  const std::string empty = base + "/empty";
  if (mkdir(empty.c_str(), 0755) != 0 || !WriteSmallFile(empty + "/one.txt", 1)) return 1;
  CRun baseline;
  if (!RunChild(empty, true, base + "/backups-1", base + "/marks-1", baseline)) return 1;
  printf("backup_peak_rss_mb_1_file: %.1f\n", baseline.peakRssMb);

  double peak100 = 0, peak400 = 0;
  if (!MeasureTree(drive + "/part0", kFilesPerPart, base, drive + "/part0/folder7/document-3500.txt", peak100))
    return 1;
  printf("backup_peak_rss_mb_100k_files: %.1f (target < %.0f)\n", peak100, kTargetMb);
  fflush(stdout);
  if (!MeasureQuickAgainstFind(drive + "/part0", kFilesPerPart, base)) return 1;
  fflush(stdout);
  if (!MeasureTree(drive, 4 * kFilesPerPart, base, drive + "/part3/folder100/document-350000.txt", peak400))
    return 1;
  printf("backup_peak_rss_mb_400k_files: %.1f (target < %.0f)\n", peak400, kTargetMb);
  printf("backup_peak_rss_400k_vs_100k: %.2f\n", peak400 / peak100);
  return 0;
}
