// fernset restore, extract and verify: the restore run, the extraction and the set loop on a terminal.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "cli/CliErrors.h"
#include "cli/Commands.h"
#include "cli/TerminalUI.h"
#include "engine/ExtractFiles.h"
#include "engine/RestoreRun.h"
#include "engine/SetScan.h"
#include "storage/InflatedSize.h"
#include "storage/SetFormat.h"
#include "storage/StoredName.h"

namespace {

std::atomic<bool> g_stop{false};

extern "C" void OnInterrupt(int) { g_stop.store(true); }

// Ctrl-C ends a restore after the entry in progress, as Cancel does in the window.
void CatchInterrupt() {
  g_stop.store(false);
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
}

int Usage(const char* problem) {
  fprintf(stderr, "fernset: %s\n\n%s", problem, FernsetUsage());
  return 2;
}

bool IsFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string WithSlash(std::string folder) {
  if (folder.empty() || folder.back() != '/') folder += '/';
  return folder;
}

int ExitStatus(const CTerminalUI& ui) { return ui.ErrorRows() > 0 || ui.Messages() > 0 ? 1 : 0; }

}  // namespace

int RunRestoreCommand(int argc, char** argv) {
  OverwriteAnswer forced = OverwriteAnswer::None;
  bool quiet = false;
  std::vector<std::string> operands;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "-q") == 0 || strcmp(argv[i], "--quiet") == 0) {
      quiet = true;
    } else if (strcmp(argv[i], "--yes-to-all") == 0) {
      if (forced == OverwriteAnswer::NoToAll) return Usage("--yes-to-all and --no-to-all exclude each other");
      forced = OverwriteAnswer::YesToAll;
    } else if (strcmp(argv[i], "--no-to-all") == 0) {
      if (forced == OverwriteAnswer::YesToAll) return Usage("--yes-to-all and --no-to-all exclude each other");
      forced = OverwriteAnswer::NoToAll;
    } else if (strncmp(argv[i], "--", 2) == 0 && argv[i][2] != '\0') {
      return Usage((std::string("unknown option ") + argv[i]).c_str());
    } else {
      operands.push_back(argv[i]);
    }
  }
  if (operands.size() != 2) return Usage("restore takes SET and DRIVE_ROOT");
  const std::string& set = operands[0];
  std::string root = WithSlash(operands[1]);
  if (!IsFolder(root)) return FailWith(operands[1], strerror(ENOTDIR));
  if (!CheckSetPath(set)) return 1;
  CTerminalUI ui(forced);
  ui.SetSetPath(set);
  if (!quiet) ui.StartProgress(fern::InflatedSizeEstimate(set));
  std::vector<char> buffer(fern::kCopyChunk);
  OverwriteAnswer answer = OverwriteAnswer::None;
  CatchInterrupt();
  CRestoreRun run(ui, g_stop, buffer.data(), answer, nullptr);
  errno = 0;
  bool opened = run.RestoreSet(set, root);
  const int openError = errno;
  ui.ShowProgress(false);
  if (!opened) return FailWith(set, SetOpenFailure(set, openError));
  if (run.DriveChanged()) {
    // Ended as for a cancel: nothing more was written once the drive was gone.
    return FailWith(root, "the drive was removed during the restore; files not yet restored were not written");
  }
  return ExitStatus(ui);
}

int RunExtractCommand(int argc, char** argv) {
  std::string folder = ".";
  bool overwrite = false;
  std::vector<std::string> operands;
  for (int i = 0; i < argc; ++i) {
    if (strcmp(argv[i], "--to") == 0) {
      if (i + 1 >= argc) return Usage("--to needs a FOLDER");
      folder = argv[++i];
    } else if (strcmp(argv[i], "--overwrite") == 0) {
      overwrite = true;
    } else if (strncmp(argv[i], "--", 2) == 0 && argv[i][2] != '\0') {
      return Usage((std::string("unknown option ") + argv[i]).c_str());
    } else {
      operands.push_back(argv[i]);
    }
  }
  if (operands.size() < 2) return Usage("extract takes SET and at least one NAME");
  if (!IsFolder(folder)) return FailWith(folder, strerror(ENOTDIR));
  const std::string set = operands[0];
  if (!CheckSetPath(set)) return 1;
  const std::vector<std::string> wanted(operands.begin() + 1, operands.end());

  CTerminalUI ui;
  ui.SetSetPath(set);
  std::vector<char> buffer(fern::kCopyChunk);
  CExtractFiles extract(wanted, folder, overwrite);
  errno = 0;
  if (!extract.ExtractFrom(set, ui, buffer.data())) return FailWith(set, SetOpenFailure(set, errno));
  std::vector<std::string> fileNames = extract.RowNames(), errorTexts = extract.RowTexts();
  for (const std::string& name : wanted) {
    bool found = false;
    for (const CExtractFiles::Pick& pick : extract.Picks())
      found = found || (pick.found && fern::SameStoredName(pick.name, name));
    if (!found) {
      fileNames.push_back(name);
      errorTexts.push_back("not in the set");
    }
  }
  if (!fileNames.empty()) ui.ShowErrorList(fileNames, errorTexts);
  return ExitStatus(ui);
}

int RunVerifyCommand(int argc, char** argv) {
  if (argc != 1) return Usage("verify takes one SET");
  const std::string set = argv[0];
  CTerminalUI ui;
  ui.SetSetPath(set);
  std::vector<char> buffer(fern::kCopyChunk);
  CSetScan scan(&ui, buffer.data());
  if (!OpenSetScan(set, scan)) return 1;
  unsigned long long entries = 0, bytes = 0;
  scan.Run([&](const CEntryReader::Entry& entry) {
    ++entries;
    bytes += entry.size;
    return true;
  });
  if (!scan.Close()) return 1;
  printf("%s: %llu entries, %llu bytes\n", PrintableText(set).c_str(), entries, bytes);
  if (fflush(stdout) != 0) return FailWith("standard output", strerror(errno));
  return 0;
}
