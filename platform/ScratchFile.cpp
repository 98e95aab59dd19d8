#include "platform/ScratchFile.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace fern {

bool MakePrivateFolders(const std::string& folder) {
  std::string partial;
  size_t start = 0;
  while (start <= folder.size()) {
    size_t slash = folder.find('/', start);
    if (slash == std::string::npos) slash = folder.size();
    partial = folder.substr(0, slash);
    if (!partial.empty() && mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    start = slash + 1;
  }
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
}

int CreateScratchFile(const std::string& folder) {
  if (!MakePrivateFolders(folder)) return -1;
  int fd = open(folder.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd >= 0) return fd;
  // File systems without unnamed files: a named one, unlinked at once.
  if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return -1;
  std::string name = folder + "/.fernscratch-XXXXXX";
  std::vector<char> buffer(name.begin(), name.end());
  buffer.push_back('\0');
  fd = mkostemp(buffer.data(), O_CLOEXEC);
  if (fd < 0) return -1;
  if (unlink(buffer.data()) != 0) {
    const int err = errno;
    close(fd);
    errno = err;
    return -1;
  }
  return fd;
}

}  // namespace fern
