// The main window: a small captionless skinned dialog in the bottom-right corner of the
// screen with the attached drive, the list of backup sets, nine picture buttons and a tray
// icon. It owns the drive state and the run state that the backup and restore runs share.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QSystemTrayIcon>
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dialogs/WidgetEngineUI.h"

class CPictureButton;
class QMenu;
class QProgressBar;
class QPushButton;
class QTimer;
class QTreeWidget;
class QTreeWidgetItem;

namespace fern {
class CDriveWatcher;
}

// A static text whose colour the dialog chooses at every paint, as a control-colour handler
// does: the text is drawn left aligned and word-wrapped on a transparent background.
class CStaticText : public QLabel {
  Q_OBJECT
 public:
  CStaticText(const QString& text, QWidget* parent, std::function<QColor()> colour);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  std::function<QColor()> m_colour;
};

class CBackupDlg : public QDialog, public CWidgetEngineUI {
  Q_OBJECT
 public:
  // watchDrives: follow the mount table for flash drives (tests drive OnDeviceChange by hand).
  explicit CBackupDlg(QWidget* parent = nullptr, bool watchDrives = true);
  ~CBackupDlg() override;

  // Every command of the window by its number: buttons, menus, the tray menu, the window menu.
  void OnCommand(int id);

  // The device-change handler: DBT_DEVICEARRIVAL, DBT_DEVICEQUERYREMOVE (which Linux never
  // sends) or DBT_DEVICEREMOVECOMPLETE with the mask of the drive letters concerned. True
  // only for a removal query, which it grants.
  bool OnDeviceChange(int event, uint32_t unitMask);

  // The mount point of a drive letter; the drive watcher's by default. Tests put their own.
  void SetRootOfLetter(std::function<std::string(char)> rootOfLetter);

  // The drive state, replaced whole under a small lock: workers read it while the GUI changes it.
  std::string DriveRoot() const;
  std::string DriveName() const;
  char DriveLetter() const;

  // The enable rule around a run (all set commands enabled when a row is selected).
  void SetRunning(bool running);
  // The selection rule of the set commands.
  void UpdateSetCommands();
  // The list's context menu with its graying; the caller shows it (and owns it).
  QMenu* BuildSetMenu();
  // The window menu of Alt+Space: Close and the About entry.
  QMenu* BuildWindowMenu();

  void HideToTray();
  void ShowFromTray();
  // An event of the tray icon: the double click (XEmbed tray) or a host's activation
  // (StatusNotifierItem) shows the window; the menu comes up by itself.
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
  // Whether the tray icon is a StatusNotifierItem, whose host reports single activations.
  bool TrayActivates() const { return m_bTrayActivates; }

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
  QTreeWidget* SetList() const { return m_listSets; }
  // A row's set path and drive name, byte for byte as they were found.
  static std::string RowPath(const QTreeWidgetItem* item);
  static std::string RowDriveName(const QTreeWidgetItem* item);

  // IEngineUI: each call is carried to the GUI thread and waits there.
  void SetStatusText(const std::string& text) override;
  void SetInfoText(const std::string& text) override;
  void SetProgressRange(unsigned short maximum) override;
  void StepProgress() override;
  void ShowProgress(bool show) override;
  void AddSetRow(const std::string& date, const std::string& driveName, const std::string& setPath,
                 int image) override;
  void RefreshDriveInfo() override;

  // The run state, shared with the worker threads.
  std::atomic<bool> m_bBusy{false};
  std::atomic<bool> m_bStop{true};
  std::atomic<bool> m_bFullBackup{false};
  std::atomic<bool> m_bBlinkOn{true};
  std::atomic<bool> m_bScheduledRun{false};
  std::atomic<bool> m_bInTray{false};

 public slots:
  void accept() override;  // Enter: nothing
  void reject() override;  // Escape, the Close button, the window's close: ask first

 protected:
  void paintEvent(QPaintEvent* event) override;
  void changeEvent(QEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  bool focusNextPrevChild(bool next) override;

 private:
  void OnInitDialog();
  void CreateControls();
  void CreateTrayIcon();
  void SetUpSetList();
  void FillSetList();
  void InsertSetRow(const std::string& date, const std::string& name, const std::string& path,
                    int image);
  int SelectedCount() const;
  void ShowSetMenu();
  void ShowWindowMenu();
  void DeleteSelectedSets();
  void ViewSelectedSet();
  void OnOK();
  void OnCancel();
  void OnCancelRun();
  void OnQuickBackup();
  void OnFullBackup();
  void OnRestore();
  void OnAbout();
  void OnOptions();
  void CommonDriveTail();
  void SetDrive(const std::string& root, char letter, const std::string& name);
  void ForgetDrive();
  void StartWorker(std::function<void()> body);
  // driveLost: a backup whose drive went mid-run (lostRoot: the root it began on).
  void EndRun(bool backup, bool driveLost = false, const std::string& lostRoot = std::string());
  bool AskQuestion(const QString& question);
  void HideOrMinimise();
  static bool StatusNotifierHostPresent();
  static void LowerThreadPriority();

  QFont m_font;
  QIcon m_hIcon;
  QPixmap m_hIconNoDrive;
  QPixmap m_hIconDrive;

  mutable std::mutex m_driveMutex;
  std::string m_strDriveRoot;
  std::string m_strDriveName;
  char m_chDriveLetter = 0;

  QTreeWidget* m_listSets = nullptr;
  CStaticText* m_pStatus = nullptr;     // 1001
  CStaticText* m_pDriveInfo = nullptr;  // 1008
  CStaticText* m_pDriveName = nullptr;  // 1015
  QLabel* m_iconDrive = nullptr;        // 1017
  QProgressBar* m_progress = nullptr;   // 1007
  QPushButton* m_btnCancelRun = nullptr;  // 1016
  std::map<int, CPictureButton*> m_buttons;
  QSystemTrayIcon* m_pTray = nullptr;
  QMenu* m_pTrayMenu = nullptr;
  bool m_bTrayActivates = false;
  std::map<int, QTimer*> m_timers;

  bool m_bWatchDrives;
  std::unique_ptr<fern::CDriveWatcher> m_pWatcher;
  std::function<std::string(char)> m_rootOfLetter;

  std::thread m_worker;
};
