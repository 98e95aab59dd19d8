#include "app/fernappDlg.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTimer>
#include <QTreeWidget>

#include "app/PictureButton.h"
#include "app/fernapp.h"
#include "dialogs/AboutDlg.h"
#include "dialogs/GuiThread.h"
#include "engine/Schedule.h"
#include "platform/TempFolder.h"
#include "platform/Tick.h"
#include "res/Resource.h"
#include "res/StringTable.h"
#include "res/gui/BandPainting.h"
#include "res/gui/DialogUnits.h"
#include "res/gui/ListPictures.h"
#include "res/gui/Pictures.h"
#include "settings/Options.h"
#include "settings/SettingsStore.h"

namespace {

const char* const kCaption = "Ferncastle";
const QColor kGreyText(128, 128, 128);
const QColor kStatusBlue(0, 0, 192);

QString Q(const std::string& s) { return QString::fromStdString(s); }

// The template's picture buttons: id, position in dialog units, the four bitmaps and the tip.
struct ButtonDef {
  int id, x, y;
  int normal, pressed, focused, disabled;
  bool enabled;
  const char* tip;
};
const ButtonDef kButtons[] = {
    {IDC_FULLBACKUP, 26, 2, 134, 133, 135, 136, false, "Full backup now!"},
    {IDC_QUICKBACKUP, 40, 2, 138, 140, 139, 137, false, "Quick backup now!"},
    {IDC_SCHEDULE, 57, 2, 142, 144, 143, 141, true, "Schedule a backup"},
    {IDC_ABOUT, 72, 2, 146, 148, 147, 145, true, "About Fernlet"},
    {IDC_DELETE, 108, 2, 150, 152, 151, 149, false, "Delete the selected backup set(s)"},
    {IDC_RESTORE, 122, 2, 154, 156, 155, 153, false, "Restore the selected backup set(s)"},
    {IDC_VIEW, 137, 2, 158, 160, 159, 157, false, "View the selected backup set(s)"},
    {IDC_MINIMIZE, 160, 2, 162, 164, 163, 161, true, "Minimize to system tray"},
    {IDCANCEL, 174, 2, 166, 168, 167, 165, true, "Close Fernlet"},
};

}  // namespace

CBackupDlg::CBackupDlg(QWidget* parent, bool watchDrives)
    // A plain top-level window, not a dialog: X11 makes a parentless dialog transient for the
    // client leader, and task bars leave transient windows out.
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      m_ui(this, m_drive),
      m_runs(m_ui, [this] { return DriveRoot(); }),
      m_bWatchDrives(watchDrives) {
  m_hIcon = fern::LoadIconRes(IDR_MAINFRAME);
  CreateControls();
  OnInitDialog();
}

CBackupDlg::~CBackupDlg() {
  // The run's end still reaches this window: wait for it before any part goes.
  m_runs.StopAndWait();
  KillTimer(TIMER_SCHEDULE);
  KillTimer(TIMER_STATUS);
  KillTimer(TIMER_BLINK);
}

void CBackupDlg::CreateControls() {
  m_font = fern::DialogFont("Small Fonts", 7);
  const fern::DialogBaseUnits units = fern::TemplateBaseUnits("Small Fonts", 7);
  setFont(m_font);
  setWindowTitle(QString());
  setFixedSize(fern::DluToPixels(units, 187, 105));
  auto place = [units](QWidget* w, int x, int y, int cx, int cy) {
    w->setGeometry(fern::DluToPixels(units, x, y, cx, cy));
  };

  for (const ButtonDef& def : kButtons) {
    auto* button = new CPictureButton(this);
    button->setObjectName(QString::number(def.id));
    button->move(fern::DluToPixels(units, def.x, def.y, 13, 13).topLeft());
    button->LoadBitmaps(def.normal, def.pressed, def.focused, def.disabled);
    button->SizeToContent();
    button->setEnabled(def.enabled);
    button->setToolTip(QString::fromUtf8(def.tip));
    button->setAccessibleName(QString::fromUtf8(def.tip));  // a picture has no text to read out
    const int id = def.id;
    connect(button, &QAbstractButton::clicked, this, [this, id] { OnCommand(id); });
    m_buttons[id] = button;
  }

  m_setList = new CSetListView(this);
  place(m_setList->List(), 100, 27, 85, 75);

  auto* heading = new CStaticText(QStringLiteral("Backup Sets"), this, nullptr);
  place(heading, 101, 18, 61, 8);

  m_iconDrive = new QLabel(this);
  m_iconDrive->setObjectName(QString::number(IDC_DRIVEICON));
  m_iconDrive->setGeometry(QRect(fern::DluToPixels(units, 24, 19, 20, 20).topLeft(), QSize(32, 32)));

  m_pDriveName = new CStaticText(QStringLiteral("Not Connected"), this,
                                 [this] { return ControlTextColour(IDC_DRIVENAME); });
  m_pDriveName->setObjectName(QString::number(IDC_DRIVENAME));
  place(m_pDriveName, 51, 20, 43, 18);

  m_pDriveInfo = new CStaticText(
      QStringLiteral("If USB drive is already attached, detach and re-attach it"), this,
      [this] { return ControlTextColour(IDC_DRIVEINFO); });
  m_pDriveInfo->setObjectName(QString::number(IDC_DRIVEINFO));
  place(m_pDriveInfo, 28, 42, 64, 31);

  m_btnCancelRun = new QPushButton(QStringLiteral("Cancel"), this);
  m_btnCancelRun->setObjectName(QString::number(IDC_CANCELRUN));
  m_btnCancelRun->setAutoDefault(false);
  m_btnCancelRun->setDefault(false);
  place(m_btnCancelRun, 29, 76, 31, 10);
  m_btnCancelRun->hide();
  connect(m_btnCancelRun, &QPushButton::clicked, this, [this] { OnCommand(IDC_CANCELRUN); });

  m_progress = new QProgressBar(this);
  m_progress->setObjectName(QString::number(IDC_PROGRESS));
  m_progress->setTextVisible(false);
  place(m_progress, 29, 87, 63, 8);
  m_progress->hide();

  m_pStatus = new CStaticText(QStringLiteral("Not Connected"), this,
                              [this] { return ControlTextColour(IDC_STATUS); });
  m_pStatus->setObjectName(QString::number(IDC_STATUS));
  place(m_pStatus, 28, 95, 68, 8);

  m_ui.Bind(m_pStatus, m_pDriveInfo, m_progress, m_setList);

  // The window has no caption: its menu comes up on Alt+Space.
  auto* windowMenuKey = new QShortcut(QKeySequence(Qt::ALT | Qt::Key_Space), this);
  connect(windowMenuKey, &QShortcut::activated, this, [this] { ShowWindowMenu(); });
}

void CBackupDlg::OnInitDialog() {
  m_hIconNoDrive = fern::LoadIconRes(IDI_NODRIVE).pixmap(32, 32);
  m_hIconDrive = fern::LoadIconRes(IDI_DRIVE).pixmap(32, 32);
  m_iconDrive->setPixmap(m_hIconNoDrive);

  // The bottom-right corner of the whole screen, 15 and 35 pixels in from its edges.
  QScreen* screen = this->screen() != nullptr ? this->screen() : QGuiApplication::primaryScreen();
  if (screen != nullptr) {
    const QRect s = screen->geometry();
    move(s.x() + s.width() - width() - 15, s.y() + s.height() - height() - 35);
  }

  setWindowIcon(m_hIcon);
  m_pTray = new CTrayPresence(this, m_hIcon, [this](int id) { OnCommand(id); });
  m_setList->Fill(theApp.GetBackupsFolder());
  SetTimer(TIMER_SCHEDULE, 3600000);
  ConnectParts();
  // Without a mount table no drive is ever noticed; started into the tray, mounted ones arrive.
  if (m_bWatchDrives) m_drive.WatchDrives(theApp.m_bStartInTray);
}

void CBackupDlg::ConnectParts() {
  connect(m_setList, &CSetListView::SelectionChanged, this, [this] { UpdateSetCommands(); });
  connect(m_setList, &CSetListView::MenuRequested, this, [this](const QPoint& at) { ShowSetMenu(at); });
  connect(m_setList, &CSetListView::ViewRequested, this, [this] { OnCommand(IDC_VIEW); });
  connect(&m_drive, &CDriveState::Arrived, this, [this](bool attached) { OnDriveArrived(attached); });
  connect(&m_drive, &CDriveState::Removed, this, [this](bool queried) { OnDriveRemoved(queried); });
  connect(&m_drive, &CDriveState::Noticed, this, [this] { CommonDriveTail(); });
  connect(&m_runs, &CRunController::Ended, this,
          [this](bool backup, RunEnd end, const std::string& root) { EndRun(backup, end, root); });
  m_notifier.Follow(m_runs);
}

// --- commands --------------------------------------------------------------------------------

void CBackupDlg::OnCommand(int id) {
  switch (id) {
    case IDOK: break;  // Enter never closes the window
    case IDCANCEL: OnCancel(); break;
    case IDC_MINIMIZE: m_pTray->HideToTray(); break;
    case IDC_QUICKBACKUP: OnQuickBackup(); break;
    case IDC_FULLBACKUP: OnFullBackup(); break;
    case IDC_SCHEDULE: { COptions dlg; dlg.exec(); break; }
    case IDC_DELETE: DeleteSelectedSets(); break;
    case IDC_RESTORE: OnRestore(); break;
    case IDC_VIEW: m_setList->ViewSelected(DriveRoot()); break;
    case IDC_ABOUT:
    case IDM_ABOUTBOX: { CAboutDlg dlg; dlg.exec(); break; }
    case IDC_CANCELRUN: OnCancelRun(); break;
    case ID_TRAY_OPEN: m_pTray->ShowFromTray(); break;
    default: break;
  }
}

void CBackupDlg::accept() { OnCommand(IDOK); }
void CBackupDlg::reject() { OnCancel(); }

bool CBackupDlg::AskQuestion(const QString& question) {
  QMessageBox box(QMessageBox::Question, QString::fromUtf8(kCaption), question,
                  QMessageBox::Yes | QMessageBox::No, this);
  return box.exec() == QMessageBox::Yes;
}

void CBackupDlg::OnCancel() {
  if (m_runs.Busy()) {
    // A run is never cut off by closing: the request only stops it.
    if (AskQuestion(QStringLiteral("Backup is active! Are you sure you want to cancel it?")))
      m_runs.RequestStop();
    return;
  }
  // The dialog ends with the cancel result; the program ends with it (its finished signal).
  if (AskQuestion(QStringLiteral("Are you sure you want to close Fernlet?")))
    QDialog::done(QDialog::Rejected);
}

void CBackupDlg::OnCancelRun() {
  if (AskQuestion(QStringLiteral("Are you sure you want to cancel the backup?"))) {
    m_runs.RequestStop();
    m_btnCancelRun->setEnabled(false);
  }
}

void CBackupDlg::DeleteSelectedSets() {
  if (AskQuestion(QStringLiteral("Are you sure you want to delete the selected backup set(s)?")))
    m_setList->DeleteSelected();
}

void CBackupDlg::ShowSetMenu(const QPoint& at) {
  std::unique_ptr<QMenu> menu(BuildSetMenu());
  activateWindow();
  QAction* chosen = menu->exec(at);
  if (chosen != nullptr) OnCommand(chosen->data().toInt());
}

void CBackupDlg::ShowWindowMenu() {
  std::unique_ptr<QMenu> menu(BuildWindowMenu());
  QAction* chosen = menu->exec(mapToGlobal(QPoint(0, 0)));
  if (chosen != nullptr) OnCommand(chosen->data().toInt());
}

QMenu* CBackupDlg::BuildWindowMenu() {
  auto* menu = new QMenu(this);
  QAction* close = menu->addAction(QStringLiteral("Close"));
  close->setData(IDCANCEL);
  close->setObjectName(QString::number(IDCANCEL));
  const std::string about = fern::LoadString(IDS_ABOUTBOX);
  if (!about.empty()) {
    menu->addSeparator();
    QAction* entry = menu->addAction(Q(about));
    entry->setData(IDM_ABOUTBOX);
    entry->setObjectName(QString::number(IDM_ABOUTBOX));
  }
  return menu;
}

void CBackupDlg::changeEvent(QEvent* event) {
  if (event->type() == QEvent::WindowStateChange && m_pTray != nullptr) m_pTray->OnWindowStateChange(m_runs.Busy());
  QDialog::changeEvent(event);
}

// --- runs ------------------------------------------------------------------------------------

void CBackupDlg::ShowRunStart(const QString& status, bool showWindow) {
  m_pStatus->setText(status);
  SetRunning(true);
  // A backup is shown for the time of the run, also from the tray; the tray's state stays.
  if (showWindow) showNormal();
  SetTimer(TIMER_BLINK, 1000);
  m_btnCancelRun->setEnabled(true);
  m_btnCancelRun->show();
}

void CBackupDlg::OnQuickBackup() {
  m_pStatus->setText(QStringLiteral("Backing up..."));
  if (!m_runs.Begin()) return;
  ShowRunStart(QStringLiteral("Backing up..."), true);
  m_runs.StartBackup(m_drive.Snapshot(), theApp.GetBackupsFolder());
}

void CBackupDlg::OnFullBackup() {
  if (m_runs.Busy()) return;
  m_runs.RequestFullBackup();
  OnQuickBackup();
}

void CBackupDlg::OnRestore() {
  const std::string root = DriveRoot();
  // Without a drive the entries would have no target: never write them anywhere else.
  if (root.empty() || !m_runs.Begin()) return;
  ShowRunStart(QStringLiteral("Restoring..."), false);
  // The list is disabled during the run, so its selection is read once here.
  m_runs.StartRestore(m_setList->SelectedRows(), DriveName(), root);
}

void CBackupDlg::EndRun(bool backup, RunEnd end, const std::string& driveRoot) {
  // The run saw its drive go before the drive watcher did: the window forgets it as the
  // removal does (which may still follow, or have come already and left another drive).
  if (end == RunEnd::DriveLost && m_drive.ForgetIfRoot(driveRoot)) {
    m_pDriveName->setText(QStringLiteral("Not Connected"));
    m_ui.RefreshDriveInfo();
  }
  SetRunning(false);
  m_runs.Finish();
  // A restore whose drive went did not finish: it is no "Done!". Nor is a run that never began.
  if (!backup && end == RunEnd::Finished) m_pStatus->setText(QStringLiteral("Done!"));
  if (end == RunEnd::NotStarted) m_pStatus->setText(QStringLiteral("Could not start"));
  m_btnCancelRun->hide();
  KillTimer(TIMER_BLINK);
  if (DriveRoot().empty()) {
    // No drive to be connected to: the buttons that need one stay off, and so does the timer
    // that would say "Connected".
    m_pStatus->setText(QStringLiteral("Not Connected"));
    CommonDriveTail();
  } else {
    SetTimer(TIMER_STATUS, 2000);
  }
  if (backup && m_runs.ScheduledRun() && m_pTray->InTray()) {
    m_pTray->HideOrMinimise();
    m_runs.SetScheduledRun(false);
  }
}

// --- timers ----------------------------------------------------------------------------------

void CBackupDlg::SetTimer(int id, int milliseconds) {
  QTimer*& timer = m_timers[id];
  if (timer == nullptr) {
    timer = new QTimer(this);
    timer->setObjectName(QStringLiteral("timer%1").arg(id));
    connect(timer, &QTimer::timeout, this, [this, id] { OnTimer(id); });
  }
  timer->start(milliseconds);
}

void CBackupDlg::KillTimer(int id) {
  auto it = m_timers.find(id);
  if (it != m_timers.end() && it->second != nullptr) it->second->stop();
}

bool CBackupDlg::IsTimerActive(int id) const {
  auto it = m_timers.find(id);
  return it != m_timers.end() && it->second != nullptr && it->second->isActive();
}

void CBackupDlg::OnTimer(int id) {
  switch (id) {
    case TIMER_BLINK:
      m_runs.ToggleBlink();
      m_pStatus->repaint();
      break;
    case TIMER_STATUS:
      KillTimer(TIMER_STATUS);
      // A drive removed since the run ended has said "Not Connected" already; that stays.
      if (!DriveRoot().empty()) m_pStatus->setText(QStringLiteral("Connected"));
      break;
    case TIMER_SCHEDULE: {
      if (!m_runs.Busy()) CheckSchedule();
      const std::string scratch = fern::ScratchFolder();
      if (!scratch.empty()) fern::CleanScratchFolder(scratch);
      break;
    }
    default:
      break;
  }
}

// --- enable rules ----------------------------------------------------------------------------

void CBackupDlg::SetRunning(bool running) {
  // A run disables most controls. Left alone, Qt would hand the focus of a disabled control
  // to the next enabled one, the Minimize button 3 and then Close 2, where a Space would hide or
  // close the window mid-run; a window activated later without a focused control would pick
  // the same. The window itself keeps the focus during the run instead: Escape still asks,
  // Space does nothing, Tab enters the controls again.
  if (running) setFocus(Qt::OtherFocusReason);
  const bool anySelected = m_setList->SelectedCount() > 0;
  for (int id : {IDC_FULLBACKUP, IDC_QUICKBACKUP, IDC_SCHEDULE, IDC_ABOUT})
    m_buttons[id]->setEnabled(!running);
  for (int id : {IDC_DELETE, IDC_RESTORE, IDC_VIEW})
    m_buttons[id]->setEnabled(!running && anySelected);
  m_setList->List()->setEnabled(!running);
}

void CBackupDlg::UpdateSetCommands() {
  const int n = m_setList->SelectedCount();
  const bool idle = !m_runs.Busy();
  m_buttons[IDC_DELETE]->setEnabled(n > 0 && idle);
  m_buttons[IDC_RESTORE]->setEnabled(n > 0 && !DriveRoot().empty() && idle);
  m_buttons[IDC_VIEW]->setEnabled(n == 1 && idle);
}

void CBackupDlg::CommonDriveTail() {
  const bool attached = !DriveRoot().empty();
  const bool idle = !m_runs.Busy();
  m_buttons[IDC_QUICKBACKUP]->setEnabled(attached && idle);
  m_buttons[IDC_FULLBACKUP]->setEnabled(attached && idle);
  m_buttons[IDC_RESTORE]->setEnabled(attached && idle && m_setList->SelectedCount() > 0);
  m_iconDrive->setPixmap(attached ? m_hIconDrive : m_hIconNoDrive);
}

bool CBackupDlg::focusNextPrevChild(bool next) {
  // Asked by a focused control that has just been disabled or hidden (the Cancel button 1016
  // after its confirmation or at the run's end): the focus goes to the window, not on to
  // whatever is enabled next.
  QWidget* focus = focusWidget();
  if (focus != nullptr && focus != this && (!focus->isEnabled() || !focus->isVisibleTo(this))) {
    setFocus(Qt::OtherFocusReason);
    return true;
  }
  return QDialog::focusNextPrevChild(next);
}

QColor CBackupDlg::ControlTextColour(int id) const {
  switch (id) {
    case IDC_DRIVENAME:
    case IDC_DRIVEINFO:
      return DriveRoot().empty() ? kGreyText : QColor(Qt::black);
    case IDC_STATUS:
      if (m_runs.Busy() && !m_runs.BlinkOn()) return palette().color(QPalette::Button);
      return kStatusBlue;
    default:
      return palette().color(QPalette::WindowText);
  }
}

QWidget* CBackupDlg::Control(int id) const {
  return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

// --- drive events and the schedule -----------------------------------------------------------

void CBackupDlg::OnDriveArrived(bool attached) {
  // A drive whose label cannot be read leaves the name and the status as they were.
  if (attached) {
    m_pDriveName->setText(Q(DriveName()));
    m_pStatus->setText(QStringLiteral("Connected!"));
  }
  m_ui.RefreshDriveInfo();
  repaint();
  CheckSchedule();
  CommonDriveTail();
}

void CBackupDlg::OnDriveRemoved(bool queried) {
  m_pDriveName->setText(QStringLiteral("Not Connected"));
  m_pStatus->setText(QStringLiteral("Not Connected"));
  if (!queried) {
    CommonDriveTail();
    return;
  }
  m_buttons[IDC_QUICKBACKUP]->setEnabled(false);
  m_buttons[IDC_FULLBACKUP]->setEnabled(false);
}

void CBackupDlg::CheckSchedule() {
  const fern::DueBackup due = fern::CheckSchedule(
      theApp.GetBackupsFolder(), DriveRoot(), DriveName(),
      [](const char* valueName, int defaultValue) {
        return fern::GetProfileInt("Settings", valueName, defaultValue);
      },
      fern::CurrentTime());
  if (due != fern::DueBackup::None) {
    const int command = due == fern::DueBackup::Full ? IDC_FULLBACKUP : IDC_QUICKBACKUP;
    m_runs.SetScheduledRun(true);
    // Handled later, like a click on the button.
    QMetaObject::invokeMethod(this, [this, command] { OnCommand(command); }, Qt::QueuedConnection);
  }
}

// --- the skin --------------------------------------------------------------------------------

void CBackupDlg::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int W = width();
  const int E = fern::PaintBand(painter, *this, fern::VerticalFont(), QStringLiteral("Fernlet"));

  // Separator from y = 5 to y = E + 35 (the end point itself not drawn).
  painter.fillRect(QRect(120, 5, 1, E + 30), Qt::black);

  // Header band: 196 up to 240, then down to 188.
  int grey = 192;
  for (int y = 0; y < 25; ++y) {
    grey += y < 12 ? 4 : -4;
    painter.fillRect(QRect(fern::kBandWidth, y, W - fern::kBandWidth, 1), QColor(grey, grey, grey));
  }
}
