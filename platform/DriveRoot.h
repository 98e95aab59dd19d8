// The root folder of the drive a restore writes to, held open for the whole restore: every file
// is reached relative to it, and before each write the root path is checked to still be the
// same folder of the same mounted file system, so nothing lands in the bare mount-point folder
// of the PC's own disk (or on another stick) once the drive is gone.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "platform/SafeOpen.h"

namespace fern {

// Which folder a path names: its file system and inode, the mount it is reached through, and
// whether it is the root of that mount. Device numbers are handed out again (another stick, or
// a new tmpfs, may get the same one), mount ids of the kernel are not reused while it runs.
struct CDriveIdentity {
  dev_t dev = 0;
  ino_t ino = 0;
  uint64_t mountId = 0;  // 0 when the kernel does not tell
  bool mountRoot = false;
  bool valid = false;
};

// What the folder at path is now; false (errno set) when it cannot be examined.
bool IdentifyFolder(const std::string& path, CDriveIdentity& identity);

// Whether path still names the folder identified earlier: same device and folder, reached
// through the same mount, and still a mount root if it was one. False when it cannot be examined.
bool StillSameFolder(const std::string& path, const CDriveIdentity& earlier);

class CDriveRoot {
 public:
  // Opens root. With expected, the folder must still be that drive (same device and folder, and
  // a mount root when it was one); false with errno (ENODEV for another drive) otherwise.
  bool Open(const std::string& root, const CDriveIdentity* expected = nullptr);
  bool IsOpen() const { return m_fd.IsOpen(); }
  int Fd() const { return m_fd.Get(); }
  const std::string& Path() const { return m_strPath; }
  const CDriveIdentity& Identity() const { return m_id; }

  // True while the root path still names the folder opened, on the same file system, and is
  // still a mount root if it was one when opened.
  bool StillMounted() const;

  // Writes every dirty page and inode of the drive's file system to the medium (syncfs). False
  // with errno when the file system reports a write-back failure.
  bool Sync() const;

  // A FUSE file system (ntfs-3g, exfat-fuse): syncfs may not reach the daemon's own device
  // writes, so each file is flushed by itself there.
  bool IsFuse() const { return m_bFuse; }

  // Free bytes for an unprivileged writer; UINT64_MAX when unknown.
  uint64_t FreeBytes() const;

 private:
  CFolderFd m_fd;
  std::string m_strPath;
  CDriveIdentity m_id;
  bool m_bFuse = false;
};

}  // namespace fern
