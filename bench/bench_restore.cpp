// Restore throughput against `tar -xzf` of the same files: the set of the benchmark corpus is
// restored onto an empty folder and then over its own files, and the corpus's tar.gz (made with
// the system's tar and gzip) is unpacked the same way into another, alternately; medians of
// the rounds count, with processor times beside. Then `fernset verify` of the set against
// `gzip -dc` of it, alternately in the same way.
//
// Then the cost of durability on a stick-like target: a vfat image on a loop device that
// writes through to the disk (direct I/O), where a smaller corpus is restored over itself
// without any flush, with one syncfs per batch of files (the restore's way) and with an
// fdatasync of every file; the three alternate in order, the median of the rounds counts,
// with processor times beside. Needs root for the loop mount; skipped (and said so) elsewhere.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/BenchCorpus.h"
#include "bench/BenchFolder.h"
#include "cli/Commands.h"
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
  OverwriteAnswer AskOverwrite(const std::string&) override { return overwriteAnswer; }
  bool AskYesNo(const std::string&) override { return false; }
  void ShowMessage(const std::string& text) override {
    fprintf(stderr, "bench_restore: %s\n", text.c_str());
    ++errors;
  }
  size_t errors = 0;
  OverwriteAnswer overwriteAnswer = OverwriteAnswer::No;
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

// Unmounts the stick and detaches its loop device, whatever happened.
struct Detach {
  std::string loop, point;
  bool mounted = false;
  ~Detach() {
    if (mounted && !Shell("umount " + Quote(point)) && !Shell("umount -l " + Quote(point)))
      fprintf(stderr, "bench_restore: cannot unmount %s\n", point.c_str());
    if (!Shell("losetup -d " + Quote(loop))) fprintf(stderr, "bench_restore: cannot detach %s\n", loop.c_str());
  }
};

bool StickRun(const std::string& kind, const std::string& setPath, const std::string& corpus,
              const std::string& point, uint64_t totalBytes);

double Median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  return values.empty() ? 0 : values[values.size() / 2];
}

// The durability figures; false (with the reason printed) when the stick cannot be made.
bool StickFigures(const std::string& base) {
  if (geteuid() != 0) {
    printf("stick_restore: skipped (the loop mount needs root)\n");
    return true;
  }
  uint64_t megabytes = 32;
  if (const char* env = getenv("FERN_BENCH_STICK_MB")) megabytes = strtoull(env, nullptr, 10);
  if (megabytes == 0) megabytes = 32;
  const std::string corpus = base + "/stickcorpus";
  const std::string sets = base + "/sticksets";
  const std::string image = base + "/stick.img";
  const std::string point = base + "/stick";
  if (mkdir(corpus.c_str(), 0755) != 0 || mkdir(sets.c_str(), 0755) != 0 || mkdir(point.c_str(), 0755) != 0)
    return false;
  const uint64_t totalBytes = fernbench::GenerateCorpus(corpus, megabytes << 20, 20261210);
  std::string setPath;
  {
    CQuietUI ui;
    std::atomic<bool> stop{false};
    std::vector<char> buffer(fern::kCopyChunk);
    CBackupRun run(ui, stop, buffer.data());
    CBackupDrive drive{corpus + "/", 'E', "STICK"};
    if (totalBytes == 0 || run.RunBackup(drive, true, sets, base + "/stickmarks") != CBackupRun::Result::Done) return false;
    setPath = run.SetPath();
  }
  // Sticks of four times the corpus, written through to the disk: vfat as sticks come (ext4
  // where this kernel has no vfat), and exFAT through FUSE as a desktop mounts it.
  const uint64_t imageMb = megabytes * 4 + 64;
  const bool vfat = Shell("grep -qw vfat /proc/filesystems");
  for (const std::string& kind : {std::string(vfat ? "vfat" : "ext4"), std::string("exfat-fuse")}) {
    Shell("rm -f " + Quote(image));
    const std::string mkfs = kind == "vfat" ? "mkfs.vfat " : kind == "ext4" ? "mkfs.ext4 -q -F " : "mkfs.exfat ";
    if (!Shell("truncate -s " + std::to_string(imageMb) + "M " + Quote(image) + " && " + mkfs + Quote(image) +
               " >/dev/null 2>&1")) {
      printf("stick_restore_%s: skipped (%sfailed)\n", kind.c_str(), mkfs.c_str());
      continue;
    }
    std::string loop;
    if (FILE* pipe = popen(("losetup -f --show --direct-io=on " + Quote(image) + " 2>/dev/null").c_str(), "r")) {
      char line[256] = {0};
      if (fgets(line, sizeof line, pipe) != nullptr) loop = line;
      pclose(pipe);
    }
    while (!loop.empty() && (loop.back() == '\n' || loop.back() == ' ')) loop.pop_back();
    if (loop.empty()) {
      printf("stick_restore_%s: skipped (no loop device)\n", kind.c_str());
      continue;
    }
    Detach detach{loop, point};
    const std::string mount = kind == "exfat-fuse" ? "mount.exfat-fuse " : "mount -t " + kind + " ";
    if (!Shell(mount + Quote(loop) + " " + Quote(point) + " >/dev/null 2>&1")) {
      printf("stick_restore_%s: skipped (cannot mount the image)\n", kind.c_str());
      continue;
    }
    detach.mounted = true;
    if (!StickRun(kind, setPath, corpus, point, totalBytes)) return false;
  }
  return true;
}

// Restores the set onto the mounted stick in each way of flushing, alternating their order.
bool StickRun(const std::string& kind, const std::string& setPath, const std::string& corpus,
              const std::string& point, uint64_t totalBytes) {
  struct Mode {
    const char* name;
    CRestoreBatch::Flush flush;
    std::vector<double> wall, cpu;
  };
  std::vector<Mode> modes = {{"noflush", CRestoreBatch::Flush::None, {}, {}},
                             {"syncfs", CRestoreBatch::Flush::PerSet, {}, {}},
                             {"fdatasync", CRestoreBatch::Flush::PerFile, {}, {}}};
  std::vector<char> buffer(fern::kCopyChunk);
  auto restore = [&](Mode& mode, bool measure) {
    Shell("sync");
    CQuietUI ui;
    ui.overwriteAnswer = OverwriteAnswer::YesToAll;  // the stick's files (newer than the set) are replaced all the same
    std::atomic<bool> stop{false};
    OverwriteAnswer answer = OverwriteAnswer::None;
    CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
    run.SetFlush(mode.flush);
    double cpu = CpuSeconds(RUSAGE_SELF);
    auto start = std::chrono::steady_clock::now();
    bool opened = run.RestoreSet(setPath, point + "/");
    // Without the restore's own flush the data is still in memory: what the user would wait
    // for when ejecting is not counted here, that is the point of the comparison.
    const double wall = Seconds(start);
    cpu = CpuSeconds(RUSAGE_SELF) - cpu;
    if (!opened || ui.errors != 0) return false;
    if (measure) {
      mode.wall.push_back(wall);
      mode.cpu.push_back(cpu);
    }
    return true;
  };
  // The first restore fills the stick; every measured one replaces its files.
  if (!restore(modes[1], false)) {
    fprintf(stderr, "bench_restore: the restore onto the stick failed\n");
    return false;
  }
  const int rounds = 5;
  for (int round = 0; round < rounds; ++round) {
    for (size_t i = 0; i < modes.size(); ++i) {
      Mode& mode = modes[round % 2 == 0 ? i : modes.size() - 1 - i];
      if (!restore(mode, true)) {
        fprintf(stderr, "bench_restore: the restore onto the stick failed\n");
        return false;
      }
    }
  }
  if (!Shell("diff -r -x lost+found " + Quote(corpus) + " " + Quote(point) + " > /dev/null")) {
    fprintf(stderr, "bench_restore: the files on the stick differ from the corpus\n");
    return false;
  }
  const char* name = kind.c_str();
  printf("stick_restore_%s_mb: %.1f (%s on a direct-I/O loop device, every file replaced)\n", name,
         static_cast<double>(totalBytes) / (1 << 20), name);
  for (const Mode& mode : modes)
    printf("stick_restore_%s_%s_s: %.2f (cpu %.2f s)\n", name, mode.name, Median(mode.wall), Median(mode.cpu));
  printf("stick_restore_%s_durability_cost_syncfs: %.2fx\n", name, Median(modes[1].wall) / Median(modes[0].wall));
  printf("stick_restore_%s_durability_cost_fdatasync: %.2fx\n", name, Median(modes[2].wall) / Median(modes[0].wall));
  fflush(stdout);
  return true;
}

// `fernset verify SET` (in this process, its line of output aside) against `gzip -dc SET`.
bool VerifyFigures(const std::string& setPath, int rounds) {
  std::vector<double> verifyWall, verifyCpu, gzipWall, gzipCpu;
  for (int round = 0; round < rounds; ++round) {
    for (int turn = 0; turn < 2; ++turn) {
      if ((turn == 0) == (round % 2 == 0)) {
        std::string arg = setPath;
        char* argv[] = {arg.data()};
        fflush(stdout);
        const int saved = dup(STDOUT_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved < 0 || null < 0 || dup2(null, STDOUT_FILENO) < 0 || close(null) != 0) return false;
        double cpu = CpuSeconds(RUSAGE_SELF);
        auto start = std::chrono::steady_clock::now();
        const int status = RunVerifyCommand(1, argv);
        verifyWall.push_back(Seconds(start));
        verifyCpu.push_back(CpuSeconds(RUSAGE_SELF) - cpu);
        fflush(stdout);
        if (dup2(saved, STDOUT_FILENO) < 0 || close(saved) != 0) return false;
        if (status != 0) {
          fprintf(stderr, "bench_restore: fernset verify failed\n");
          return false;
        }
      } else {
        double cpu = CpuSeconds(RUSAGE_CHILDREN);
        auto start = std::chrono::steady_clock::now();
        if (!Shell("gzip -dc " + Quote(setPath) + " > /dev/null")) {
          fprintf(stderr, "bench_restore: gzip -dc failed\n");
          return false;
        }
        gzipWall.push_back(Seconds(start));
        gzipCpu.push_back(CpuSeconds(RUSAGE_CHILDREN) - cpu);
      }
    }
  }
  printf("verify_s: %.2f (cpu %.2f s)\n", Median(verifyWall), Median(verifyCpu));
  printf("gzip_dc_s: %.2f (cpu %.2f s)\n", Median(gzipWall), Median(gzipCpu));
  printf("verify_vs_gzip_dc: %.2f\n", Median(gzipWall) / Median(verifyWall));
  fflush(stdout);
  return true;
}

}  // namespace

int main() {
  uint64_t megabytes = 200;
  if (const char* env = getenv("FERN_BENCH_MB")) megabytes = strtoull(env, nullptr, 10);
  if (megabytes == 0) megabytes = 200;
  // Corpus, set, tarball and both restores' outputs on a tmpfs where one can be mounted, as in the
  // backup benchmark: the disk's writeback would otherwise decide the figure (the restore flushes
  // its drive before it is done, tar does not).
  fernbench::CBenchFolder folder("restore", megabytes * 6 + 256);
  if (!folder.Ok()) return 1;
  const std::string base = folder.Path();
  printf("restore: corpus and outputs on %s\n", folder.Where().c_str());
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

  // Each round restores onto an empty folder (every file new) and then again over what it
  // wrote (every file replaced, so the restore waits for its check of the set before the
  // earlier copies go); tar unpacks the same way beside it. Which goes first alternates.
  const int rounds = 5;
  struct Figure {
    std::vector<double> wall, cpu;
  };
  Figure restoreNew, tarNew, restoreOver, tarOver;
  std::vector<char> buffer(fern::kCopyChunk);
  auto restore = [&](const std::string& target, Figure& figure) {
    CQuietUI ui;
    ui.overwriteAnswer = OverwriteAnswer::YesToAll;  // files just written are newer than the set's: replaced all the same
    std::atomic<bool> stop{false};
    OverwriteAnswer answer = OverwriteAnswer::None;
    CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
    double cpu = CpuSeconds(RUSAGE_SELF);
    auto start = std::chrono::steady_clock::now();
    bool opened = run.RestoreSet(setPath, target);
    figure.wall.push_back(Seconds(start));
    figure.cpu.push_back(CpuSeconds(RUSAGE_SELF) - cpu);
    if (!opened || ui.errors != 0) {
      fprintf(stderr, "bench_restore: the restore failed\n");
      return false;
    }
    return true;
  };
  auto untar = [&](const std::string& folder, Figure& figure) {
    double cpu = CpuSeconds(RUSAGE_CHILDREN);
    auto start = std::chrono::steady_clock::now();
    if (!Shell("tar -C " + Quote(folder) + " -xzf " + Quote(tarball))) {
      fprintf(stderr, "bench_restore: tar -xzf failed\n");
      return false;
    }
    figure.wall.push_back(Seconds(start));
    figure.cpu.push_back(CpuSeconds(RUSAGE_CHILDREN) - cpu);
    return true;
  };
  for (int round = 0; round < rounds; ++round) {
    std::string target = base + "/restore" + std::to_string(round) + "/";
    std::string untarred = base + "/untar" + std::to_string(round);
    if (mkdir(target.c_str(), 0755) != 0 || mkdir(untarred.c_str(), 0755) != 0) {
      perror("bench_restore: mkdir");
      return 1;
    }
    for (bool over : {false, true}) {
      for (int turn = 0; turn < 2; ++turn) {
        const bool ok = (turn == 0) == (round % 2 == 0) ? restore(target, over ? restoreOver : restoreNew)
                                                        : untar(untarred, over ? tarOver : tarNew);
        if (!ok) return 1;
      }
      if (round == 0 && !Shell("diff -r " + Quote(corpus) + " " + Quote(target) + " > /dev/null")) {
        fprintf(stderr, "bench_restore: the restored files differ from the corpus\n");
        return 1;
      }
    }
    Shell("rm -rf " + Quote(target) + " " + Quote(untarred));
  }

  const double mb = static_cast<double>(totalBytes) / (1 << 20);
  printf("restore_corpus_mb: %.1f (medians of %d rounds)\n", mb, rounds);
  printf("restore_mb_s: %.1f (cpu %.2f s)\n", mb / Median(restoreNew.wall), Median(restoreNew.cpu));
  printf("tar_xzf_mb_s: %.1f (cpu %.2f s)\n", mb / Median(tarNew.wall), Median(tarNew.cpu));
  printf("restore_vs_tar_xzf: %.2f\n", Median(tarNew.wall) / Median(restoreNew.wall));
  printf("restore_over_mb_s: %.1f (cpu %.2f s, every file replaced)\n", mb / Median(restoreOver.wall),
         Median(restoreOver.cpu));
  printf("tar_xzf_over_mb_s: %.1f (cpu %.2f s)\n", mb / Median(tarOver.wall), Median(tarOver.cpu));
  printf("restore_over_vs_tar_xzf: %.2f\n", Median(tarOver.wall) / Median(restoreOver.wall));
  fflush(stdout);
  if (!VerifyFigures(setPath, rounds)) return 1;
  // The stick's image stays on the disk, where its writes are the slow ones a stick has.
  std::string stickBase = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
  stickBase += "/fern-bench-stick-XXXXXX";
  if (mkdtemp(&stickBase[0]) == nullptr) {
    perror("bench_restore: mkdtemp");
    return 1;
  }
  const bool stickOk = StickFigures(stickBase);
  Shell("rm -rf " + Quote(stickBase));
  return stickOk ? 0 : 1;
}
