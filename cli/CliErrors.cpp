#include "cli/CliErrors.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "cli/TerminalUI.h"
#include "engine/SetScan.h"

int FailWith(const std::string& path, const std::string& reason) {
  fprintf(stderr, "fernset: %s: %s\n", PrintableText(path).c_str(), PrintableText(reason).c_str());
  return 1;
}

bool CheckSetPath(const std::string& setPath) {
  struct stat st;
  // A folder opens for reading and would only fail later with a bare "error reading".
  if (stat(setPath.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    FailWith(setPath, strerror(EISDIR));
    return false;
  }
  return true;
}

std::string SetOpenFailure(const std::string& setPath, int err) {
  struct stat st;
  if (stat(setPath.c_str(), &st) != 0) return strerror(errno);
  if (S_ISDIR(st.st_mode)) return strerror(EISDIR);
  // The owner's write permission cleared is the read-only mark of a set: such a set is never opened.
  if (S_ISREG(st.st_mode) && (st.st_mode & S_IWUSR) == 0) return "the set is marked read-only (no owner write permission); not opened";
  return err != 0 ? strerror(err) : "cannot be opened";
}

bool OpenSetScan(const std::string& setPath, CSetScan& scan) {
  if (!CheckSetPath(setPath)) return false;
  errno = 0;
  if (scan.Open(setPath)) return true;
  FailWith(setPath, SetOpenFailure(setPath, errno));
  return false;
}
