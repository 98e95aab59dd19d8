// The main window: a small captionless skinned dialog in the bottom-right corner of the
// screen with the attached drive, the list of backup sets, nine picture buttons and a tray
// icon. It holds the widgets and runs the commands; the drive (CDriveState), the set list
// (CSetListView), the tray (CTrayPresence) and the runs (CRunController) are its parts.
#pragma once

#include <QDialog>
#include <QLabel>
#include <cstdint>
#include <functional>
#include <map>
#include <string>

#include "app/DesktopNotifier.h"
#include "app/DriveState.h"
#include "app/MainWindowUI.h"
#include "app/RunController.h"
#include "app/SetListView.h"
#include "app/StaticText.h"
#include "app/TrayPresence.h"

class CPictureButton;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;

class CBackupDlg : public QDialog {
  Q_OBJECT
 public:
  // watchDrives: follow the mount table for flash drives (tests drive OnDeviceChange by hand).
  explicit CBackupDlg(QWidget* parent = nullptr, bool watchDrives = true);
  ~CBackupDlg() override;

  // Every command of the window by its number: buttons, menus, the tray menu, the window menu.
  void OnCommand(int id);

  // The drive notices (see CDriveState::OnDeviceChange); true only for a granted removal query.
  bool OnDeviceChange(int event, uint32_t unitMask) { return m_drive.OnDeviceChange(event, unitMask); }
  // The mount point of a drive letter; the drive watcher's by default. Tests put their own.
  void SetRootOfLetter(std::function<std::string(char)> rootOfLetter) {
    m_drive.SetRootOfLetter(std::move(rootOfLetter));
  }
  std::string DriveRoot() const { return m_drive.Root(); }
  std::string DriveName() const { return m_drive.Name(); }
  char DriveLetter() const { return m_drive.Letter(); }

  CRunController& Runs() { return m_runs; }
  CTrayPresence& Tray() { return *m_pTray; }
  // What the engine's runs report to.
  IEngineUI& EngineUI() { return m_ui; }

  // The enable rule around a run (all set commands enabled when a row is selected).
  void SetRunning(bool running);
  // The selection rule of the set commands.
  void UpdateSetCommands();
  // The list's context menu with its graying; the caller shows it (and owns it).
  QMenu* BuildSetMenu() { return m_setList->BuildMenu(!DriveRoot().empty()); }
  // The window menu of Alt+Space: Close and the About entry.
  QMenu* BuildWindowMenu();

  // Timers by their ids (TIMER_BLINK, TIMER_STATUS, TIMER_SCHEDULE).
  void SetTimer(int id, int milliseconds);
  void KillTimer(int id);
  bool IsTimerActive(int id) const;
  void OnTimer(int id);

  // The schedule check: purges old sets and posts the backup command that is due.
  void CheckSchedule();

  // The colour a static text is drawn in now (1001, 1008, 1015).
  QColor ControlTextColour(int id) const;
  // The control of that id.
  QWidget* Control(int id) const;
  QTreeWidget* SetList() const { return m_setList->List(); }

 public slots:
  void accept() override;  // Enter: nothing
  void reject() override;  // Escape, the Close button, the window's close: ask first

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  void OnInitDialog();
  void CreateControls();
  void ConnectParts();
  void ShowSetMenu(const QPoint& at);
  void ShowWindowMenu();
  void DeleteSelectedSets();
  void OnCancel();
  void OnCancelRun();
  void OnQuickBackup();
  void OnFullBackup();
  void OnRestore();
  void ShowRunStart(const QString& status, bool showWindow);
  void OnDriveArrived(bool attached);
  void OnDriveRemoved(bool queried);
  void CommonDriveTail();
  // driveRoot: the root the run began on.
  void EndRun(bool backup, RunEnd end, const std::string& driveRoot);
  bool AskQuestion(const QString& question);

  QFont m_font;
  QIcon m_hIcon;
  QPixmap m_hIconNoDrive;
  QPixmap m_hIconDrive;

  CDriveState m_drive;
  CMainWindowUI m_ui;
  CRunController m_runs;
  CDesktopNotifier m_notifier;  // tells the scheduled backups' start and end outside the window
  CSetListView* m_setList = nullptr;
  CTrayPresence* m_pTray = nullptr;

  CStaticText* m_pStatus = nullptr;     // 1001
  CStaticText* m_pDriveInfo = nullptr;  // 1008
  CStaticText* m_pDriveName = nullptr;  // 1015
  QLabel* m_iconDrive = nullptr;        // 1017
  QProgressBar* m_progress = nullptr;   // 1007
  QPushButton* m_btnCancelRun = nullptr;  // 1016
  std::map<int, CPictureButton*> m_buttons;
  std::map<int, QTimer*> m_timers;
  bool m_bWatchDrives;
};
