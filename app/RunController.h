// The backup and restore runs of the main window: the run flags, admitting one run at a time,
// the worker thread each run goes on, and the run's end handed back to the GUI thread. No
// widgets: the window shows the start and the end of a run (its Ended signal).
#pragma once

#include <QObject>
#include <atomic>
#include <string>
#include <vector>

#include "app/BackupOutcome.h"
#include "dialogs/WorkerThread.h"
#include "engine/BackupRun.h"
#include "engine/RestoreRun.h"

class IEngineUI;

// How a run ended.
enum class RunEnd {
  Finished,    // ran to its end (or stopped when asked)
  DriveLost,   // its drive went mid-run
  NotStarted,  // no worker thread could be started: nothing was read or written
};

class CRunController : public QObject {
  Q_OBJECT
 public:
  // ui: the window's engine interface, which the runs report to from their worker.
  // driveRootNow: the attached drive's mount point now ("" when none), asked during a restore.
  CRunController(IEngineUI& ui, std::function<std::string()> driveRootNow, QObject* parent = nullptr);
  ~CRunController() override;
  // Asks a running worker to stop and waits for it, letting its calls to this thread through.
  void StopAndWait();

  bool Busy() const { return m_bBusy; }
  bool StopRequested() const { return m_bStop; }
  void RequestStop() { m_bStop = true; }
  // The next backup is a Full Backup (the Full Backup command, or the schedule).
  bool FullBackup() const { return m_bFullBackup; }
  void RequestFullBackup() { m_bFullBackup = true; }
  // The run was started by the schedule. The flag may outlive its run (it is cleared only when
  // a backup ends with the window in the tray); setting it also marks the schedule's command
  // now posted, which the next StartBackup alone takes (a refused Begin or a restore drops it).
  bool ScheduledRun() const { return m_bScheduledRun; }
  void SetScheduledRun(bool scheduled) {
    m_bScheduledRun = scheduled;
    if (scheduled) m_bScheduleStarts = true;
  }
  // The blinking status line's phase during a run.
  bool BlinkOn() const { return m_bBlinkOn; }
  void ToggleBlink() { m_bBlinkOn = !m_bBlinkOn; }

  // Claims the one run: false when a run is active already.
  bool Begin();
  // Clears the run flags at a run's end (the schedule's flag stays for the window to judge).
  void Finish();

  // After Begin: the run on its worker thread. Ended follows on this thread when it is over.
  void StartBackup(const CBackupDrive& drive, const std::string& backupsFolder);
  void StartRestore(std::vector<CSetRow> rows, const std::string& driveName, const std::string& driveRoot);

 signals:
  // driveRoot: the root the run began on.
  void Ended(bool backup, RunEnd end, const std::string& driveRoot);
  // A backup that the schedule started: its start, and its end (before Ended).
  void ScheduledBackupStarted(const std::string& driveName, bool fullBackup);
  void ScheduledBackupEnded(const CBackupOutcome& outcome);

 private:
  // Starts body on the worker; a worker that cannot be started ends the run at once (false).
  bool StartWorker(bool backup, const std::string& driveRoot, std::function<void()> body);

  IEngineUI& m_ui;
  std::function<std::string()> m_driveRootNow;
  CWorkerThread m_worker;

  // Shared with the worker.
  std::atomic<bool> m_bBusy{false};
  std::atomic<bool> m_bStop{true};
  std::atomic<bool> m_bFullBackup{false};
  std::atomic<bool> m_bBlinkOn{true};
  std::atomic<bool> m_bScheduledRun{false};
  bool m_bScheduleStarts = false;  // the schedule's command is posted (GUI thread only)
};
