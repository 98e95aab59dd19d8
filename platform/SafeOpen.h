// Files and folders below a root folder, reached without following any symbolic link: a link
// planted on a drive can never redirect a write to somewhere outside it. Paths are relative to
// the root, with '/' separators; "", "." and ".." segments are refused.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>

namespace fern {

// A folder descriptor that closes itself.
class CFolderFd {
 public:
  CFolderFd() = default;
  explicit CFolderFd(int fd) : m_fd(fd) {}
  ~CFolderFd();
  CFolderFd(CFolderFd&& other) noexcept : m_fd(other.m_fd) { other.m_fd = -1; }
  CFolderFd& operator=(CFolderFd&& other) noexcept;
  CFolderFd(const CFolderFd&) = delete;
  CFolderFd& operator=(const CFolderFd&) = delete;

  int Get() const { return m_fd; }
  bool IsOpen() const { return m_fd >= 0; }

 private:
  int m_fd = -1;
};

// Opens the root itself (a link as the root is followed: the root is chosen by the caller).
// -1 with errno on failure.
int OpenRootFolder(const std::string& root);

// Opens the folder at relative below rootFd ("" gives the root again) without following a link
// on the way. -1 with errno set: ELOOP for a link, ENOTDIR, ENOENT, EINVAL for a bad segment.
int OpenFolderBeneath(int rootFd, const std::string& relative);

// Opens a file below rootFd without following a link, the last segment included. flags and mode
// as for open(); O_NOFOLLOW and O_CLOEXEC are always added. -1 with errno on failure.
int OpenFileBeneath(int rootFd, const std::string& relative, int flags, mode_t mode);

// Creates the folders on the way to the file at relative (every segment but the last), each with
// mode 0777 less the umask, never through a link. Returns 0, or the errno of the first folder
// that could not be made (a name the file system refuses, for one), so the caller can name the
// real cause when the folder is then missing.
int CreateFolderChainBeneath(int rootFd, const std::string& relative);

// Splits "a/b/c.txt" into "a/b" and "c.txt" ("" and the whole for a bare name).
void SplitRelative(const std::string& relative, std::string& folder, std::string& leaf);

// Whether a single name can be used in a folder: not empty, ".", "..", nor holding '/' or NUL.
bool IsPlainName(const std::string& name);

// Renames within one folder without replacing an existing "to": renameat2 with
// RENAME_NOREPLACE; where the file system refuses the flag (FUSE answers EINVAL) a hard link
// and the removal of "from", and where it has no hard links either a look followed by a plain
// rename. 0, or -1 with errno (EEXIST when "to" exists).
int RenameNoReplace(int folderFd, const std::string& from, const std::string& to);

// Uses the per-segment walk even where the kernel has openat2 (for tests of older kernels).
void UseSegmentWalkOnly(bool walkOnly);

}  // namespace fern
