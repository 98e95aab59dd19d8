// The backups folder as one listing: every name that matches "*.fc*" for the set list (which
// shows files and folders alike), and among them the sets the program wrote itself, which are
// all that the schedule counts and the purge may delete.
#pragma once

#include <string>
#include <vector>

#include "platform/FileFinder.h"

namespace fern {

struct CCatalogEntry {
  CFindData file;
  bool isSet = false;  // a regular file (never a folder or a link) named as SetFilePath names sets
  std::string label;   // lower-cased, when isSet: labels are compared without regard to case
  bool full = false;   // when isSet: a Full Backup set
};

class CSetCatalog {
 public:
  // Lists the folder once, in the order the file system delivers the names; an empty folder
  // name (which would mean the current folder) lists nothing.
  explicit CSetCatalog(const std::string& backupsFolder);

  // Every match, files and folders alike.
  const std::vector<CCatalogEntry>& Matches() const { return m_entries; }
  // The program's own sets.
  std::vector<const CCatalogEntry*> Sets() const;
  // The program's own sets that match a pattern (FullSetsPattern, QuickSetsPattern).
  std::vector<const CCatalogEntry*> SetsMatching(const std::string& pattern) const;

 private:
  std::vector<CCatalogEntry> m_entries;
};

}  // namespace fern
