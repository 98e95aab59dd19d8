#include "platform/TempFolder.h"

#include <fcntl.h>
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
  // folder (O_NOFOLLOW refuses a link), and closed to others.
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  bool ok = fstat(fd, &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == getuid();
  // One others could write into may hold planted links already; one they can only read is
  // closed to them now.
  if (ok && (st.st_mode & 022) != 0) ok = false;
  if (ok && (st.st_mode & 077) != 0) ok = fchmod(fd, 0700) == 0;
  close(fd);
  if (!ok) return false;
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
