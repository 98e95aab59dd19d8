// fernset backup and fernset list.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/CliErrors.h"
#include "cli/Commands.h"
#include "cli/ListOutput.h"
#include "cli/TerminalUI.h"
#include "engine/BackupRun.h"
#include "engine/SetScan.h"
#include "platform/Volume.h"
#include "storage/SetFormat.h"
#include "storage/StoredName.h"

namespace {

// Ctrl-C asks the run to stop after the file in progress, as the Cancel button does: the entries
// written so far stay a normal set.
std::atomic<bool> g_bStop{false};

void OnInterrupt(int) { g_bStop = true; }

int BadUsage(const char* why) {
  fprintf(stderr, "fernset: %s\n\n", why);
  fputs(FernsetUsage(), stderr);
  return 2;
}

}  // namespace

int RunBackupCommand(int argc, char** argv) {
  bool quick = false;
  bool quiet = false;
  bool haveLabel = false;
  std::string label;
  char letter = 'E';
  std::vector<std::string> positional;
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--quick") {
      quick = true;
    } else if (arg == "-q" || arg == "--quiet") {
      quiet = true;
    } else if (arg == "--label") {
      if (++i >= argc) return BadUsage("--label needs a value");
      label = argv[i];
      haveLabel = true;
    } else if (arg == "--letter") {
      if (++i >= argc) return BadUsage("--letter needs a value");
      std::string value = argv[i];
      if (value.size() != 1 || !isalpha(static_cast<unsigned char>(value[0])))
        return BadUsage("--letter takes one letter A to Z");
      letter = static_cast<char>(toupper(static_cast<unsigned char>(value[0])));
    } else if (arg.size() > 1 && arg[0] == '-') {
      return BadUsage(("unknown option " + arg).c_str());
    } else {
      positional.push_back(arg);
    }
  }
  if (positional.empty() || positional.size() > 2) return BadUsage("backup takes DRIVE_ROOT [BACKUPS_FOLDER]");

  std::string root = positional[0];
  struct stat st;
  if (stat(root.c_str(), &st) != 0) return FailWith(root, strerror(errno));
  if (!S_ISDIR(st.st_mode)) return FailWith(root, strerror(ENOTDIR));
  if (root.back() != '/') root += '/';
  if (!haveLabel && !fern::GetVolumeLabel(root, label)) label.clear();

  // The folder fernapp keeps its sets in, unless one is named.
  std::string backups;
  int folderError = 0;
  if (positional.size() > 1) {
    backups = positional[1];
    while (backups.size() > 1 && backups.back() == '/') backups.pop_back();
    if (mkdir(backups.c_str(), 0777) != 0 && errno != EEXIST) folderError = errno;
  } else {
    backups = fern::GetBackupsFolder(&folderError);
  }
  if (folderError != 0) return FailWith(backups, std::string("cannot create: ") + strerror(folderError));

  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  struct sigaction oldInt, oldTerm;
  sigaction(SIGINT, &action, &oldInt);
  sigaction(SIGTERM, &action, &oldTerm);
  g_bStop = false;

  CTerminalUI ui;
  if (!quiet) {
    // The drive's used space stands for what the run will read: a Quick Backup takes less.
    uint64_t total = 0, free = 0;
    ui.StartProgress(fern::GetDiskFreeSpace(root, total, free) && total > free ? total - free : 0);
  }
  std::vector<char> buffer(fern::kCopyChunk);
  CBackupRun run(ui, g_bStop, buffer.data());
  CBackupDrive drive{root, letter, label};
  CBackupRun::Result result = run.RunBackup(drive, !quick, backups);

  sigaction(SIGINT, &oldInt, nullptr);
  sigaction(SIGTERM, &oldTerm, nullptr);

  switch (result) {
    case CBackupRun::Result::Done:
      printf("%s\n", run.SetPath().c_str());
      break;
    case CBackupRun::Result::NoChanges:
      printf("No file changes\n");
      break;
    case CBackupRun::Result::NoSet:
      return FailWith(run.SetPath(), "cannot create the set");
    case CBackupRun::Result::WriteFailed:
      return 1;
    case CBackupRun::Result::DriveLost:
      // A set that was kept is printed as any other (scripts find it where they always do), but
      // the status says that it lacks files.
      if (run.EntriesWritten() > 0) {
        printf("%s\n", run.SetPath().c_str());
        FailWith(root, "the drive was removed during the backup; the set " + run.SetPath() + " is incomplete");
      } else {
        FailWith(root, "the drive was removed during the backup; no set was written");
      }
      fflush(stdout);
      return 1;
  }
  if (fflush(stdout) != 0) return 1;
  return ui.ErrorRows() > 0 ? 1 : 0;
}

int RunListCommand(int argc, char** argv) {
  bool json = false;
  std::vector<std::string> sets;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--json") == 0)
      json = true;
    else if (argv[i][0] == '-' && argv[i][1] != '\0')
      return BadUsage((std::string("unknown option ") + argv[i]).c_str());
    else
      sets.push_back(argv[i]);
  }
  if (sets.size() != 1) return BadUsage("list takes one SET");
  const std::string& path = sets[0];
  CTerminalUI ui;
  ui.SetSetPath(path);
  std::vector<char> buffer(fern::kCopyChunk);
  CSetScan scan(&ui, buffer.data());
  if (!OpenSetScan(path, scan)) return 1;
  scan.Run([json](const CEntryReader::Entry& entry) {
    printf("%s\n", (json ? JsonListLine(entry) : PlainListLine(entry)).c_str());
    return true;
  });
  const bool whole = scan.Close();
  if (fflush(stdout) != 0) return FailWith("standard output", strerror(errno));
  return whole ? 0 : 1;
}
