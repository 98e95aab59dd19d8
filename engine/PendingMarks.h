// The files a backup took into its set, whose marks are cleared only once the set is safely on
// disk. The list lives in an unnamed file beside the sets, since a drive may hold any number of
// files; it is made at the first file taken, so a Quick Backup without changes needs none.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <memory>
#include <string>

namespace fern {
class CArchiveMarks;
class CMarkRecordWriter;
}

class CPendingMarks {
 public:
  CPendingMarks();
  ~CPendingMarks();
  CPendingMarks(const CPendingMarks&) = delete;
  CPendingMarks& operator=(const CPendingMarks&) = delete;

  // Starts an empty list for a run whose sets go into backupsFolder.
  void Reset(const std::string& backupsFolder);

  // Lists a file taken into the set. 0, or the errno the first time the list cannot be made or
  // written; from then on nothing more is listed (those files keep their marks and are simply
  // taken again by the next Quick Backup).
  int Add(const std::string& path, const struct stat& st);

  // Writes out what is listed: 0, or the errno the first time the list cannot be written whole.
  int Flush();

  // Clears the marks of the listed files, as far as the list was written whole. refused(path,
  // err) is told of each file whose mark could not be cleared; false from it ends the clearing
  // (the drive is gone). 0, or the errno of a list that broke off. The list is let go.
  int Clear(fern::CArchiveMarks& marks, const std::function<bool(const std::string&, int)>& refused);

  // Lets the list go without clearing anything.
  void Drop();

 private:
  std::string m_strFolder;
  int m_fd = -1;
  std::unique_ptr<fern::CMarkRecordWriter> m_pWriter;
  bool m_bFailed = false;  // the list could not be made or written whole
};
