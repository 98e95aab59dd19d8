#include "app/RunController.h"

#include <QCoreApplication>

#include "app/fernapp.h"
#include "dialogs/GuiThread.h"

CRunController::CRunController(IEngineUI& ui, std::function<std::string()> driveRootNow, QObject* parent)
    : QObject(parent), m_ui(ui), m_driveRootNow(std::move(driveRootNow)) {}

CRunController::~CRunController() { StopAndWait(); }

void CRunController::StopAndWait() {
  // Never leave a worker running against a dead window: ask it to stop and let it finish the
  // calls it carries to this thread.
  m_bStop = true;
  while (m_bBusy) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  m_worker.Join();
}

bool CRunController::Begin() {
  if (m_bBusy) {
    m_bScheduleStarts = false;
    return false;
  }
  m_bBusy = true;
  m_bStop = false;
  return true;
}

void CRunController::Finish() {
  m_bBusy = false;
  m_bStop = true;
  m_bFullBackup = false;
}

void CRunController::StartBackup(const CBackupDrive& drive, const std::string& backupsFolder) {
  const bool full = m_bFullBackup;
  const bool scheduled = m_bScheduleStarts;
  m_bScheduleStarts = false;
  if (scheduled) emit ScheduledBackupStarted(drive.name, full);
  CBackupOutcome outcome;
  outcome.driveName = drive.name;
  outcome.fullBackup = full;
  const bool started = StartWorker(true, drive.root, [this, drive, full, backupsFolder, scheduled, outcome]() mutable {
    CBackupRun run(m_ui, m_bStop, theApp.m_pCopyBuffer);
    outcome.result = run.RunBackup(drive, full, backupsFolder);
    outcome.stopped = m_bStop;
    outcome.setPath = run.SetPath();
    outcome.entries = run.EntriesWritten();
    outcome.errorNames = run.ErrorFileNames();
    const bool lost = outcome.result == CBackupRun::Result::DriveLost;
    fern::RunOnGuiThread([this, lost, root = drive.root, scheduled, outcome] {
      if (scheduled) emit ScheduledBackupEnded(outcome);
      emit Ended(true, lost ? RunEnd::DriveLost : RunEnd::Finished, root);
    });
  });
  if (!started && scheduled) {
    outcome.started = false;
    emit ScheduledBackupEnded(outcome);
  }
}

void CRunController::StartRestore(std::vector<CSetRow> rows, const std::string& driveName,
                                  const std::string& driveRoot) {
  m_bScheduleStarts = false;
  StartWorker(false, driveRoot, [this, rows = std::move(rows), driveName, driveRoot] {
    CRestoreRun run(m_ui, m_bStop, theApp.m_pCopyBuffer, theApp.m_nOverwriteAnswer, m_driveRootNow);
    run.RestoreSelectedSets(rows, driveName, driveRoot);
    const bool lost = run.DriveChanged();
    fern::RunOnGuiThread([this, lost, driveRoot] {
      emit Ended(false, lost ? RunEnd::DriveLost : RunEnd::Finished, driveRoot);
    });
  });
}

bool CRunController::StartWorker(bool backup, const std::string& driveRoot, std::function<void()> body) {
  if (m_worker.Start(std::move(body))) return true;
  emit Ended(backup, RunEnd::NotStarted, driveRoot);
  return false;
}
