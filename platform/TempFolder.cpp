#include "platform/TempFolder.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace fern {

bool GetTempPath(std::string& path) {
  path.clear();
  const char* env = getenv("TMPDIR");
  std::string base = env != nullptr && *env != '\0' ? env : "/tmp";
  if (base.back() != '/') base += '/';
  std::string folder = base + "fernapp-" + std::to_string(getuid());
  if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
  // Never trust a folder someone else planted under a shared /tmp: it must be ours, a real
  // folder, and closed to others.
  struct stat st;
  if (lstat(folder.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode) || st.st_uid != getuid()) return false;
  if ((st.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) return false;
  path = folder + "/";
  return true;
}

std::string ScratchFolder() {
  std::string temp;
  if (!GetTempPath(temp)) return std::string();
  return temp + "fernwork";
}

std::string ScratchPath(const std::string& bareName) {
  std::string folder = ScratchFolder();
  if (folder.empty()) return folder;
  return folder + "/" + bareName;
}

}  // namespace fern
