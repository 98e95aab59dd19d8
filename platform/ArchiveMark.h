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
  CArchiveMarks(const CArchiveMarks&) = delete;
  CArchiveMarks& operator=(const CArchiveMarks&) = delete;

  // Whether a file's mark is set (st: the status of the open file). A file whose FAT
  // attributes cannot be read counts as marked.
  bool IsMarked(const std::string& path, const struct stat& st);

  enum class ClearResult {
    Cleared,
    ReadOnlyMedium,  // the medium refuses every change (EROFS)
    Failed,          // *error tells why
    ChangedMeanwhile,  // the file differs from the status it was backed up with: mark kept
  };
  // Clears a file's mark, keeping its read-only state and its times as they were: a read-only
  // file loses that attribute first, then the mark, then gets it back.
  ClearResult ClearMark(const std::string& path, int* error = nullptr);
  // The same, only while the file still has the size and modification time of seen (the status
  // it had when its data was read): a file changed since then keeps its mark.
  ClearResult ClearMark(const std::string& path, const struct stat& seen, int* error = nullptr);

  // Writes the stand-in records atomically; true when that worked or there was nothing to write.
  // On failure *error tells why.
  bool Save(int* error = nullptr);

  // Whether the marks are the volume's FAT archive attributes (else the stand-in records).
  bool UsesFatAttributes() const;
  // The stand-in record file of this volume ("" while FAT attributes are used).
  std::string RecordFilePath() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

// The record file name of a volume: its file-system UUID when /dev/disk/by-uuid knows the device,
// else the file-system id and the mount point, so that two volumes never share records.
std::string MarksKeyOfVolume(const std::string& root);

}  // namespace fern
