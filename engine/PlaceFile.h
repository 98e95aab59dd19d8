// A restored file takes its name: a new file never replaces what may have appeared since
// (no-replace rename); one that replaces an earlier file renames over it, or, on a file system
// that will not, has the earlier file step aside (listed in the journal) first. Temporary files
// that are not to be kept are dropped here too.
#pragma once

#include <string>

#include "engine/RestoreTarget.h"
#include "engine/WaitingFile.h"

class CPlaceFile {
 public:
  explicit CPlaceFile(CRestoreTarget& target) : m_target(target) {}

  // False when the file could not be put in place (a row says why). note: a row to add once it
  // is in place (null: none).
  bool Place(const CWaitingFile& file, const char* note);
  // Removes a temporary file (leaf, in the folder of path); one that stays is named in a row.
  void Drop(int folderFd, const std::string& leaf, const std::string& path);
  void Drop(const CWaitingFile& file) { Drop(file.folder->Get(), file.tempLeaf, file.path); }
  // A file was put in place since the last call.
  bool TakePlaced() {
    const bool placed = m_bPlaced;
    m_bPlaced = false;
    return placed;
  }

 private:
  bool StepAside(const CWaitingFile& file);

  CRestoreTarget& m_target;
  bool m_bPlaced = false;
};
