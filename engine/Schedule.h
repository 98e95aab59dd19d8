// The schedule check (purge old sets, decide whether a backup of the attached drive is due)
// and the clean-up of the scratch folder.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace fern {

// Reads one integer of the "Settings" section with the reader's default.
using SettingReader = std::function<int(const char* valueName, int defaultValue)>;

// The backup that is due for the attached drive.
enum class DueBackup { None, Quick, Full };

// Purges sets older than "Purge Days" (every drive), then, when driveRoot is not empty,
// returns the backup that is due.
DueBackup CheckSchedule(const std::string& backupsFolder, const std::string& driveRoot,
                  const std::string& driveName, const SettingReader& readSetting, int64_t now);

// Deletes the files (not the folders) directly in the scratch folder.
void CleanScratchFolder(const std::string& scratchFolder);

}  // namespace fern
