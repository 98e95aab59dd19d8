#include "storage/PartialSet.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace fern {

namespace {

int LockRetrying(int fd, int operation) {
  int result;
  do {
    result = flock(fd, operation);
  } while (result != 0 && errno == EINTR);
  return result;
}

}  // namespace

int CreatePartialSet(const std::string& folder, std::string& path) {
  path.clear();
  // A clean-up of another run may take a fresh file for a leftover in the moment before it is
  // locked; the lock then finds it unlinked, and a new one is made.
  for (int attempt = 0; attempt < 8; ++attempt) {
    std::string name = folder + "/" + PartialSetPrefix() + "XXXXXX";
    std::vector<char> buffer(name.begin(), name.end());
    buffer.push_back('\0');
    // mkstemp creates the file 0600, which the umask cannot widen.
    int fd = mkostemp(buffer.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    // A file system without locks cannot have its leftovers told apart either: the clean-up
    // then leaves every partial set there alone, so the set can still be written unlocked.
    const bool locked = LockRetrying(fd, LOCK_EX) == 0 || errno == ENOLCK || errno == EOPNOTSUPP || errno == EINVAL;
    if (!locked || fstat(fd, &st) != 0) {
      int err = errno;
      unlink(buffer.data());
      close(fd);
      errno = err;
      return -1;
    }
    if (st.st_nlink > 0) {
      path = buffer.data();
      return fd;
    }
    close(fd);
  }
  errno = EEXIST;
  return -1;
}

unsigned RemoveLeftoverPartialSets(const std::string& folder) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return 0;
  const int dirFd = dirfd(dir);
  const size_t prefixLength = strlen(PartialSetPrefix());
  std::vector<std::string> names;
  while (struct dirent* entry = readdir(dir)) {
    if (strncmp(entry->d_name, PartialSetPrefix(), prefixLength) == 0) names.push_back(entry->d_name);
  }
  unsigned removed = 0;
  for (const std::string& name : names) {
    int fd = openat(dirFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat held, named;
    // Only a file nobody writes: a run in progress holds its lock until the set has its name.
    if (fstat(fd, &held) == 0 && S_ISREG(held.st_mode) && LockRetrying(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(dirFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && named.st_dev == held.st_dev &&
        named.st_ino == held.st_ino && unlinkat(dirFd, name.c_str(), 0) == 0)
      ++removed;
    close(fd);
  }
  closedir(dir);
  return removed;
}

}  // namespace fern
