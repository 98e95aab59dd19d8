#include "platform/SafeOpen.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>  // renameat2, RENAME_NOREPLACE
#include <vector>

namespace fern {

namespace {

std::atomic<bool> g_walkOnly{false};
std::atomic<bool> g_noOpenat2{false};  // the kernel said ENOSYS once

bool SplitSegments(const std::string& relative, std::vector<std::string>& segments) {
  segments.clear();
  if (relative.empty()) return true;
  size_t start = 0;
  for (;;) {
    size_t slash = relative.find('/', start);
    std::string segment = relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (!IsPlainName(segment)) return false;
    segments.push_back(segment);
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

int Openat2(int dirFd, const std::string& path, int flags, mode_t mode) {
  struct open_how how {};
  how.flags = static_cast<unsigned long long>(flags);
  how.mode = (flags & (O_CREAT | O_TMPFILE)) != 0 ? mode : 0;
  how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
  for (;;) {
    long fd = syscall(SYS_openat2, dirFd, path.c_str(), &how, sizeof how);
    if (fd >= 0 || errno != EINTR) return static_cast<int>(fd);
  }
}

// Opens path below dirFd: openat2 where the kernel has it, else one segment at a time.
// -2 means "openat2 is not there, use the walk".
int TryOpenat2(int dirFd, const std::string& path, int flags, mode_t mode) {
  if (g_walkOnly.load() || g_noOpenat2.load()) return -2;
  int fd = Openat2(dirFd, path, flags, mode);
  if (fd < 0 && errno == ENOSYS) {
    g_noOpenat2.store(true);
    return -2;
  }
  // A link met on the way gives ELOOP, as the walk's O_NOFOLLOW does; EXDEV (an escape that
  // RESOLVE_BENEATH stopped) cannot occur with checked segments but reads the same.
  if (fd < 0 && errno == EXDEV) errno = ELOOP;
  return fd;
}

int WalkFolders(int rootFd, const std::vector<std::string>& segments, size_t count) {
  int fd = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return -1;
  for (size_t i = 0; i < count; ++i) {
    int next = openat(fd, segments[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (next < 0) {
      int saved = errno;
      // O_PATH|O_NOFOLLOW would open a link itself, so O_DIRECTORY fails with ENOTDIR: report
      // a link as ELOOP, as openat2 does.
      struct stat st;
      if (saved == ENOTDIR && fstatat(fd, segments[i].c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
          S_ISLNK(st.st_mode))
        saved = ELOOP;
      close(fd);
      errno = saved;
      return -1;
    }
    close(fd);
    fd = next;
  }
  return fd;
}

}  // namespace

CFolderFd::~CFolderFd() {
  if (m_fd >= 0) close(m_fd);
}

CFolderFd& CFolderFd::operator=(CFolderFd&& other) noexcept {
  if (this != &other) {
    if (m_fd >= 0) close(m_fd);
    m_fd = other.m_fd;
    other.m_fd = -1;
  }
  return *this;
}

void UseSegmentWalkOnly(bool walkOnly) { g_walkOnly.store(walkOnly); }

bool IsPlainName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (char c : name) {
    if (c == '/' || c == '\0') return false;
  }
  return true;
}

void SplitRelative(const std::string& relative, std::string& folder, std::string& leaf) {
  auto slash = relative.rfind('/');
  if (slash == std::string::npos) {
    folder.clear();
    leaf = relative;
  } else {
    folder = relative.substr(0, slash);
    leaf = relative.substr(slash + 1);
  }
}

int OpenRootFolder(const std::string& root) {
  return open(root.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int OpenFolderBeneath(int rootFd, const std::string& relative) {
  std::vector<std::string> segments;
  if (!SplitSegments(relative, segments)) {
    errno = EINVAL;
    return -1;
  }
  if (segments.empty()) return fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
  int fd = TryOpenat2(rootFd, relative, O_PATH | O_DIRECTORY | O_CLOEXEC, 0);
  if (fd != -2) return fd;
  return WalkFolders(rootFd, segments, segments.size());
}

int OpenFileBeneath(int rootFd, const std::string& relative, int flags, mode_t mode) {
  std::vector<std::string> segments;
  if (!SplitSegments(relative, segments) || segments.empty()) {
    errno = EINVAL;
    return -1;
  }
  flags |= O_NOFOLLOW | O_CLOEXEC;
  int fd = TryOpenat2(rootFd, relative, flags, mode);
  if (fd != -2) return fd;
  int folder = WalkFolders(rootFd, segments, segments.size() - 1);
  if (folder < 0) return -1;
  for (;;) {
    fd = openat(folder, segments.back().c_str(), flags, mode);
    if (fd >= 0 || errno != EINTR) break;
  }
  int saved = errno;
  close(folder);
  errno = saved;
  return fd;
}

int CreateFolderChainBeneath(int rootFd, const std::string& relative) {
  std::vector<std::string> segments;
  if (!SplitSegments(relative, segments) || segments.size() < 2) return 0;
  int fd = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
  if (fd < 0) return errno;
  int firstError = 0;
  for (size_t i = 0; i + 1 < segments.size(); ++i) {
    // An existing folder is the usual case: EEXIST, then step into it (never through a link).
    if (mkdirat(fd, segments[i].c_str(), 0777) != 0 && errno != EEXIST && firstError == 0) {
      // In a folder held open, "not found" means the file system refused the name (exfat-fuse
      // answers ':' or '?' so).
      firstError = errno == ENOENT ? EINVAL : errno;
    }
    int next = openat(fd, segments[i].c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    close(fd);
    if (next < 0) return firstError;
    fd = next;
  }
  close(fd);
  return firstError;
}

int RenameNoReplace(int folderFd, const std::string& from, const std::string& to) {
  if (!IsPlainName(from) || !IsPlainName(to)) {
    errno = EINVAL;
    return -1;
  }
  if (renameat2(folderFd, from.c_str(), folderFd, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return -1;
  // FUSE file systems (ntfs-3g, exfat-fuse) refuse the flag. A hard link is made only where the
  // name is free, in one step: link, then drop the old name.
  if (linkat(folderFd, from.c_str(), folderFd, to.c_str(), 0) == 0) {
    if (unlinkat(folderFd, from.c_str(), 0) == 0) return 0;
    const int err = errno;
    unlinkat(folderFd, to.c_str(), 0);  // both names are one file: undo, so "from" stays the one
    errno = err;
    return -1;
  }
  if (errno == EEXIST) return -1;
  // Without hard links (exfat-fuse, FAT): look first, then rename. Not atomic, but the best
  // such a file system allows.
  struct stat st;
  if (fstatat(folderFd, to.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
    errno = EEXIST;
    return -1;
  }
  if (errno != ENOENT) return -1;
  return renameat(folderFd, from.c_str(), folderFd, to.c_str());
}

}  // namespace fern
