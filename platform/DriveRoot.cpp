#include "platform/DriveRoot.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace fern {

namespace {

constexpr long kFuseSuperMagic = 0x65735546;
// Newer than some system headers: a mount id never reused (Linux 6.8), else the plain one.
constexpr unsigned kStatxMntIdUnique = 0x00004000U;
constexpr unsigned kStatxMntId = 0x00001000U;

bool SameDrive(const CDriveIdentity& a, const CDriveIdentity& b) {
  if (a.dev != b.dev || a.ino != b.ino) return false;
  return a.mountId == 0 || b.mountId == 0 || a.mountId == b.mountId;
}

}  // namespace

bool IdentifyFolder(const std::string& path, CDriveIdentity& identity) {
  identity = CDriveIdentity();
  if (path.empty()) {
    errno = ENOENT;
    return false;
  }
  // Asked of the file system itself: a FUSE stick whose daemon died still answers from its
  // attribute cache for a while, where a real request fails with ENOTCONN (the drive is gone).
  struct statx stx;
  if (statx(AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC, STATX_TYPE | STATX_INO | kStatxMntIdUnique, &stx) != 0 &&
      statx(AT_FDCWD, path.c_str(), AT_STATX_FORCE_SYNC, STATX_TYPE | STATX_INO | kStatxMntId, &stx) != 0)
    return false;
  if (!S_ISDIR(stx.stx_mode)) {
    errno = ENOTDIR;
    return false;
  }
  identity.dev = makedev(stx.stx_dev_major, stx.stx_dev_minor);
  identity.ino = stx.stx_ino;
  if ((stx.stx_mask & (kStatxMntIdUnique | kStatxMntId)) != 0) identity.mountId = stx.stx_mnt_id;
  if ((stx.stx_attributes_mask & STATX_ATTR_MOUNT_ROOT) != 0) {
    identity.mountRoot = (stx.stx_attributes & STATX_ATTR_MOUNT_ROOT) != 0;
  } else {
    // Older kernels: a mount root sits on another device than its parent (or is "/").
    struct stat parent;
    std::string up = path;
    if (up.back() != '/') up += '/';
    up += "..";
    if (stat(up.c_str(), &parent) != 0) return false;
    identity.mountRoot = parent.st_dev != identity.dev || parent.st_ino == identity.ino;
  }
  identity.valid = true;
  return true;
}

bool StillSameFolder(const std::string& path, const CDriveIdentity& earlier) {
  if (!earlier.valid) return false;
  CDriveIdentity now;
  if (!IdentifyFolder(path, now)) return false;
  return SameDrive(now, earlier) && (now.mountRoot || !earlier.mountRoot);
}

bool CDriveRoot::Open(const std::string& root, const CDriveIdentity* expected) {
  m_fd = CFolderFd();
  m_strPath = root;
  if (!m_strPath.empty() && m_strPath.back() != '/') m_strPath += '/';
  CDriveIdentity now;
  if (!IdentifyFolder(m_strPath, now)) return false;
  if (expected != nullptr && expected->valid &&
      (!SameDrive(*expected, now) || (expected->mountRoot && !now.mountRoot))) {
    errno = ENODEV;
    return false;
  }
  // A readable descriptor (not O_PATH): syncfs needs one.
  CFolderFd fd(open(m_strPath.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!fd.IsOpen()) return false;
  struct stat st;
  if (fstat(fd.Get(), &st) != 0) return false;
  // The folder opened must be the one examined, not whatever the path named a moment later.
  if (st.st_dev != now.dev || st.st_ino != now.ino) {
    errno = ENODEV;
    return false;
  }
  struct statfs fs;
  m_bFuse = fstatfs(fd.Get(), &fs) == 0 && static_cast<long>(fs.f_type) == kFuseSuperMagic;
  m_id = now;
  m_fd = std::move(fd);
  return true;
}

bool CDriveRoot::StillMounted() const {
  return IsOpen() && StillSameFolder(m_strPath, m_id);
}

bool CDriveRoot::Sync() const {
  if (!IsOpen()) {
    errno = EBADF;
    return false;
  }
  return syncfs(m_fd.Get()) == 0;
}

uint64_t CDriveRoot::FreeBytes() const {
  struct statvfs vfs;
  if (!IsOpen() || fstatvfs(m_fd.Get(), &vfs) != 0) return UINT64_MAX;
  return static_cast<uint64_t>(vfs.f_bavail) * static_cast<uint64_t>(vfs.f_frsize);
}

}  // namespace fern
