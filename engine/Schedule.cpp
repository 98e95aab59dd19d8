#include "engine/Schedule.h"

#include <unistd.h>

#include <vector>

#include "platform/FileFinder.h"
#include "res/Resource.h"
#include "storage/SetFormat.h"

namespace fern {

namespace {

constexpr int64_t kSecondsPerDay = 86400;

// Whole days between two times, truncated toward zero.
int64_t WholeDays(int64_t from, int64_t to) { return (to - from) / kSecondsPerDay; }

// Lowers t to the earliest last-write time of the sets matching the pattern; returns whether
// any set matched. Folders are never sets.
bool LowerToEarliest(const std::string& backupsFolder, const std::string& pattern, int64_t& t) {
  std::vector<CFindData> found;
  if (!backupsFolder.empty()) FindFiles(backupsFolder, pattern, found);
  bool any = false;
  for (const CFindData& file : found) {
    if (file.isDir) continue;
    any = true;
    if (file.mtime < t) t = file.mtime;
  }
  return any;
}

}  // namespace

int CheckSchedule(const std::string& backupsFolder, const std::string& driveRoot,
                  const std::string& driveName, const SettingReader& readSetting, int64_t now) {
  int64_t t = now;

  int purgeDays = readSetting("Purge Days", 60);
  // An empty folder name would mean the current folder: never purge there.
  if (purgeDays > 0 && !backupsFolder.empty()) {
    std::vector<CFindData> sets;
    FindFiles(backupsFolder, AllSetsPattern(), sets);
    for (const CFindData& set : sets) {
      if (set.isDir) continue;
      // A set that cannot be deleted (still open elsewhere, no permission) is tried again at
      // the next check.
      if (WholeDays(set.mtime, now) > purgeDays) unlink(set.fullPath.c_str());
    }
  }

  if (driveRoot.empty()) return 0;

  bool anyFull = LowerToEarliest(backupsFolder, FullSetsPattern(driveName), t);
  if (readSetting("Enable Full", 1) != 0) {
    int fullDays = readSetting("Full Days", 0);
    // A negative day count is reached at every check.
    if (fullDays != 0 && (!anyFull || WholeDays(t, now) >= fullDays)) return IDC_FULLBACKUP;
  }

  bool anyQuick = LowerToEarliest(backupsFolder, QuickSetsPattern(driveName), t);
  if (readSetting("Enable Incremental", 1) != 0) {
    int quickDays = readSetting("Incremental Days", 0);
    if (quickDays != 0 && (!anyQuick || WholeDays(t, now) >= quickDays)) return IDC_QUICKBACKUP;
  }
  return 0;
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
