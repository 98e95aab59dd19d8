// What a finished backup run of the main window left behind, as its end is told to the user
// outside the window (a desktop notification).
#pragma once

#include <string>
#include <vector>

#include "engine/BackupRun.h"

struct CBackupOutcome {
  std::string driveName;  // the volume label, may be empty
  bool fullBackup = false;
  bool started = true;    // false: no worker could be started, nothing was read or written
  bool stopped = false;   // the user asked the run to stop
  CBackupRun::Result result = CBackupRun::Result::NoSet;
  std::string setPath;    // the set written ("" when none was made)
  unsigned entries = 0;   // files stored in the set
  std::vector<std::string> errorNames;  // the error list's rows, by file name
};
