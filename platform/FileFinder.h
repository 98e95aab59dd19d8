// Finding the entries of one folder by a file-name pattern, as the Windows file finder did:
// matched without regard to case, in the order the file system delivers them, "." and ".."
// included when the pattern matches them. "*.*" matches every name, with or without a dot.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

namespace fern {

struct CFindData {
  std::string name;      // the entry's name within the folder
  std::string fullPath;  // folder + '/' + name
  bool isDir = false;    // a real folder (not a link to one)
  bool isLink = false;   // a symbolic link (its target is not looked at)
  bool isRegular = false;
  uint64_t size = 0;
  int64_t mtime = 0;     // last-write time, whole seconds
  long mtimeNsec = 0;    // and its nanoseconds
  mode_t mode = 0;
  dev_t dev = 0;         // the file system and inode the entry was found as
  ino_t ino = 0;

  // The status the entry was found with (type, mode, device, inode, size, modification time;
  // the rest zero), so that a caller needs no second look at the file.
  struct stat Status() const {
    struct stat st {};
    st.st_mode = mode;
    st.st_dev = dev;
    st.st_ino = ino;
    st.st_size = static_cast<off_t>(size);
    st.st_mtim.tv_sec = static_cast<time_t>(mtime);
    st.st_mtim.tv_nsec = mtimeNsec;
    return st;
  }
};

// Something of a folder that could not be looked at: an entry whose status cannot be read (in a
// folder that can be listed but not entered), or the folder itself when its listing broke off.
struct CFindProblem {
  std::string fullPath;
  int error = 0;  // the errno
};

// False, with errno, when the folder cannot be opened (the list is then empty). Entries whose
// status cannot be read are left out of the list; so is the rest of a listing that fails part-way.
// Both are told in problems when it is given, so a caller that must account for every file can.
bool FindFiles(const std::string& folder, const std::string& pattern, std::vector<CFindData>& out,
               std::vector<CFindProblem>* problems = nullptr);

// The real folders of a folder (no links, no "." or ".."), found by the entry type the listing
// gives: only folders (and entries of unknown type) are examined, so listing a folder of many
// files costs no look at each file. False, with errno, when the folder cannot be opened; a
// folder whose status cannot be read is left out.
bool FindSubfolders(const std::string& folder, std::vector<CFindData>& out);

// Whether a name matches a pattern the way FindFiles matches it.
bool MatchesPattern(const std::string& name, const std::string& pattern);

}  // namespace fern
