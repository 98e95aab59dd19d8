// The viewer's restore of the ticked files: only onto the drive the viewer was opened for, while
// it is still mounted there, and only after a checking pass over the whole set. The overwrite
// answer "to All" is remembered across the entries of one restore, never from one to the next.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "engine/EngineUI.h"
#include "platform/DriveRoot.h"

class CCheckedRestore {
 public:
  // The restore ends early once stop is set.
  CCheckedRestore(IEngineUI& ui, const std::atomic<int>& stop);
  CCheckedRestore(const CCheckedRestore&) = delete;
  CCheckedRestore& operator=(const CCheckedRestore&) = delete;

  // Worker: writes the picked entries of the set below driveRoot (ending in '/'); driveAtOpen,
  // when given, is the drive that must still be mounted there. The failures are shown in one
  // list at the end. Nothing picked: nothing is read.
  void RestoreCheckedFiles(const std::string& setPath, const std::string& driveRoot,
                           const fern::CDriveIdentity* driveAtOpen, std::vector<std::string>& pickList);

 private:
  IEngineUI& m_ui;
  const std::atomic<int>& m_bStop;
  OverwriteAnswer m_nOverwriteAnswer = OverwriteAnswer::None;
};
