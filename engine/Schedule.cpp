#include "engine/Schedule.h"

#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <vector>

#include "engine/SetCatalog.h"
#include "platform/FileFinder.h"
#include "storage/SetFormat.h"

namespace fern {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Whole days between two times, truncated toward zero.
int64_t WholeDays(int64_t from, int64_t to) { return (to - from) / kSecondsPerDay; }

// Lowers t to the earliest last-write time of the sets matching the pattern; returns whether
// any set matched. A user's "MYSTICK-notes.fcf" is no set.
bool LowerToEarliest(const CSetCatalog& catalog, const std::string& pattern, int64_t& t) {
  bool any = false;
  for (const CCatalogEntry* set : catalog.SetsMatching(pattern)) {
    any = true;
    if (set->file.mtime < t) t = set->file.mtime;
  }
  return any;
}

// Deletes the sets older than purgeDays whole days, but never a drive's latest backup: for each
// label its newest Full set and the Quick sets from then on (its newest Quick set when it has no
// Full set) stay whatever their age, so a stick left unplugged for a long time still has one.
// Only the program's own sets are ever deleted, never a user's file that matches "*.fc*".
void PurgeSets(const std::string& backupsFolder, int purgeDays, int64_t now) {
  const CSetCatalog catalog(backupsFolder);
  const std::vector<const CCatalogEntry*> sets = catalog.Sets();
  // Per label, the time from which its sets are its latest backup.
  std::map<std::string, int64_t> newestFull, newestQuick;
  for (const CCatalogEntry* set : sets) {
    auto& newest = set->full ? newestFull : newestQuick;
    auto it = newest.find(set->label);
    if (it == newest.end() || set->file.mtime > it->second) newest[set->label] = set->file.mtime;
  }
  for (const CCatalogEntry* entry : sets) {
    const CCatalogEntry& set = *entry;
    auto full = newestFull.find(set.label);
    // Times are whole seconds: a Quick set of the same second as the newest Full set is kept
    // with it, as are two newest sets of one second.
    const int64_t keepFrom = full != newestFull.end() ? full->second : newestQuick[set.label];
    if (set.file.mtime >= keepFrom) continue;
    if (WholeDays(set.file.mtime, now) <= purgeDays) continue;
    // Looked at again just before: only a regular file goes, should the name have become a
    // folder or a link since the listing. A set that cannot be deleted (no permission) is
    // tried again at the next check.
    struct stat st;
    if (lstat(set.file.fullPath.c_str(), &st) == 0 && S_ISREG(st.st_mode)) unlink(set.file.fullPath.c_str());
  }
}

}  // namespace

DueBackup CheckSchedule(const std::string& backupsFolder, const std::string& driveRoot,
                  const std::string& driveName, const SettingReader& readSetting, int64_t now) {
  int64_t t = now;

  int purgeDays = readSetting("Purge Days", 60);
  // An empty folder name would mean the current folder: never purge there.
  if (purgeDays > 0 && !backupsFolder.empty()) PurgeSets(backupsFolder, purgeDays, now);

  if (driveRoot.empty()) return DueBackup::None;

  // Listed after the purge: what it deleted no longer counts.
  const CSetCatalog catalog(backupsFolder);
  bool anyFull = LowerToEarliest(catalog, FullSetsPattern(driveName), t);
  if (readSetting("Enable Full", 1) != 0) {
    int fullDays = readSetting("Full Days", 0);
    // A negative day count is reached at every check.
    if (fullDays != 0 && (!anyFull || WholeDays(t, now) >= fullDays)) return DueBackup::Full;
  }

  bool anyQuick = LowerToEarliest(catalog, QuickSetsPattern(driveName), t);
  if (readSetting("Enable Incremental", 1) != 0) {
    int quickDays = readSetting("Incremental Days", 0);
    if (quickDays != 0 && (!anyQuick || WholeDays(t, now) >= quickDays)) return DueBackup::Quick;
  }
  return DueBackup::None;
}

void CleanScratchFolder(const std::string& scratchFolder) {
  if (scratchFolder.empty()) return;
  std::vector<CFindData> entries;
  FindFiles(scratchFolder, "*.*", entries);
  for (const CFindData& entry : entries) {
    if (entry.name == "." || entry.name == ".." || entry.isDir) continue;
    // unlink removes a link itself, never what it points at; a file still open elsewhere may
    // fail to go, and is tried again at the next tick.
    unlink(entry.fullPath.c_str());
  }
}

}  // namespace fern
