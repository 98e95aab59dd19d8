// The archive mark of the files of one volume: set when a file is created or changed, cleared
// by a backup. The FAT attribute ioctls where the file system answers them (the kernel sets
// the bit on every write); elsewhere a stand-in mark kept in a record file per volume.
#pragma once

#include <sys/stat.h>

#include <memory>
#include <string>

namespace fern {

class CArchiveMarks {
 public:
  // root: the volume's mount point ending in '/'. marksFolder: where the stand-in records of
  // every volume live ("" for $XDG_STATE_HOME/fernapp/marks, default ~/.local/state).
  explicit CArchiveMarks(const std::string& root, const std::string& marksFolder = std::string());
  ~CArchiveMarks();

  // Whether a file's mark is set (st: the status of the open file).
  bool IsMarked(const std::string& path, const struct stat& st);

  enum class ClearResult { Cleared, ReadOnlyMedium, Failed };
  // Clears a file's mark, keeping its read-only state and its times as they were: a read-only
  // file loses that attribute first, then the mark, then gets it back.
  ClearResult ClearMark(const std::string& path, int* error = nullptr);

  // Writes the stand-in records atomically; true when there was nothing to write.
  bool Save();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace fern
