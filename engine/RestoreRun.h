// The restore of sets onto the attached drive: the selected sets of the main window, one set
// from fernset, and the ticked files of the viewer all go through RestoreSet.
#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <vector>

#include "engine/EngineUI.h"
#include "engine/RestoreBatch.h"
#include "platform/DriveRoot.h"

struct CSetRow {
  std::string driveName;  // the list's "Name" column
  std::string setPath;    // the list's "FileName" column
};

class CRestoreRun {
 public:
  // stop: asked between entries; true ends the run as a cancel does. driveRootNow: the drive
  // root as it is at this moment ("" when none); the run ends as for a cancel when it is no
  // longer the root the run started on (null: not asked). overwriteAnswer: the remembered
  // answer, reset to None before each set.
  CRestoreRun(IEngineUI& ui, std::function<bool()> stopped, char* copyBuffer, OverwriteAnswer& overwriteAnswer,
              std::function<std::string()> driveRootNow);
  CRestoreRun(IEngineUI& ui, const std::atomic<bool>& stop, char* copyBuffer, OverwriteAnswer& overwriteAnswer,
              std::function<std::string()> driveRootNow)
      : CRestoreRun(ui, [&stop] { return stop.load(); }, copyBuffer, overwriteAnswer, std::move(driveRootNow)) {}

  // The selected rows in list order; a row of another drive than driveName is restored only
  // after the user answers Yes.
  void RestoreSelectedSets(const std::vector<CSetRow>& selectedRows, const std::string& driveName,
                           const std::string& driveRoot);

  // Restores one set onto driveRoot and shows its error list. picks: null for every entry, else
  // the stored names wanted. False when the set could not be opened (skipped silently).
  bool RestoreSet(const std::string& setPath, const std::string& driveRoot,
                  const std::vector<std::string>* picks = nullptr);

  // The drive as the caller saw it when its window opened: RestoreSet writes only onto that
  // very drive.
  void SetExpectedDrive(const fern::CDriveIdentity& drive) { m_driveAtStart = drive; }

  // True once the drive root changed during the run, or the drive was no longer mounted there.
  bool DriveChanged() const { return m_bDriveChanged; }

  // The row that explains a damaged set, put first in its error list: the set's path and what
  // was lost. lastWhole: the name of the last entry read whole ("" when none was).
  static void AddDamagedSetRow(const std::string& setPath, const std::string& lastWhole,
                               std::vector<std::string>& fileNames, std::vector<std::string>& errorTexts);

  // How restored files are flushed (measurements compare the ways).
  void SetFlush(CRestoreBatch::Flush flush) { m_flush = flush; }

 private:
  class CEntries;
  // False (and DriveChanged() true from then on) once the drive root is not driveRoot.
  bool DriveStillThere(const std::string& driveRoot);

  IEngineUI& m_ui;
  std::function<bool()> m_stopped;
  char* m_pCopyBuffer;
  OverwriteAnswer& m_nOverwriteAnswer;
  std::function<std::string()> m_driveRootNow;
  bool m_bDriveChanged = false;
  fern::CDriveIdentity m_driveAtStart;  // the drive when the run started; invalid for one set
  CRestoreBatch::Flush m_flush = CRestoreBatch::Flush::PerSet;
};
