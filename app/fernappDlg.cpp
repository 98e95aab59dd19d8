#include "app/fernappDlg.h"

#include <sys/resource.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QEvent>
#include <QFontMetrics>
#include <QHeaderView>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStyledItemDelegate>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QTreeWidget>
#include <cerrno>

#include "app/PictureButton.h"
#include "app/fernapp.h"
#include "dialogs/AboutDlg.h"
#include "dialogs/GuiThread.h"
#include "engine/BackupRun.h"
#include "engine/DriveInfo.h"
#include "engine/RestoreRun.h"
#include "engine/Schedule.h"
#include "platform/DriveWatcher.h"
#include "platform/FileFinder.h"
#include "platform/TempFolder.h"
#include "platform/Tick.h"
#include "platform/Volume.h"
#include "res/Resource.h"
#include "res/StringTable.h"
#include "res/gui/DialogUnits.h"
#include "res/gui/Pictures.h"
#include "settings/Options.h"
#include "settings/SettingsStore.h"
#include "storage/SetFormat.h"

#include "viewer/ViewBackup.h"

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

// Report-view rows with grid lines between cells.
class CGridDelegate : public QStyledItemDelegate {
 public:
  using QStyledItemDelegate::QStyledItemDelegate;
  void paint(QPainter* painter, const QStyleOptionViewItem& option,
             const QModelIndex& index) const override {
    QStyledItemDelegate::paint(painter, option, index);
    painter->save();
    painter->setPen(QColor(192, 192, 192));
    const QRect& r = option.rect;
    painter->drawLine(r.left(), r.bottom(), r.right(), r.bottom());
    painter->drawLine(r.right(), r.top(), r.right(), r.bottom());
    painter->restore();
  }
};

}  // namespace

// ---------------------------------------------------------------------------------------------

CStaticText::CStaticText(const QString& text, QWidget* parent, std::function<QColor()> colour)
    : QLabel(text, parent), m_colour(std::move(colour)) {
  setWordWrap(true);
  setAlignment(Qt::AlignLeft | Qt::AlignTop);
}

void CStaticText::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  painter.setFont(font());
  painter.setPen(m_colour ? m_colour() : palette().color(QPalette::WindowText));
  painter.drawText(contentsRect(), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap, text());
}

// ---------------------------------------------------------------------------------------------

CBackupDlg::CBackupDlg(QWidget* parent, bool watchDrives)
    // A plain top-level window, not a dialog: X11 makes a parentless dialog transient for the
    // client leader, and task bars leave transient windows out.
    : QDialog(parent, Qt::Window | Qt::FramelessWindowHint),
      CWidgetEngineUI(this),
      m_bWatchDrives(watchDrives) {
  m_hIcon = fern::LoadIconRes(IDR_MAINFRAME);
  m_rootOfLetter = [](char) { return std::string(); };
  CreateControls();
  OnInitDialog();
}

CBackupDlg::~CBackupDlg() {
  // Never leave a worker running against a dead dialog: ask it to stop and let it finish the
  // calls it carries to this thread.
  m_bStop = true;
  while (m_bBusy) QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
  if (m_worker.joinable()) m_worker.join();
  m_pWatcher.reset();
  KillTimer(TIMER_SCHEDULE);
  KillTimer(TIMER_STATUS);
  KillTimer(TIMER_BLINK);
  if (m_pTray != nullptr) m_pTray->hide();
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

  m_listSets = new QTreeWidget(this);
  m_listSets->setObjectName(QString::number(IDC_LIST_SETS));
  place(m_listSets, 100, 27, 85, 75);

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

  SetUpSetList();
  setWindowIcon(m_hIcon);
  CreateTrayIcon();
  FillSetList();
  SetTimer(TIMER_SCHEDULE, 3600000);

  if (m_bWatchDrives) {
    m_pWatcher = std::make_unique<fern::CDriveWatcher>([this](int event, uint32_t mask) {
      // From the watcher's thread to this one, in the order the notices came.
      QMetaObject::invokeMethod(this, [this, event, mask] { OnDeviceChange(event, mask); },
                                Qt::QueuedConnection);
    });
    if (m_pWatcher->Start()) {
      fern::CDriveWatcher* watcher = m_pWatcher.get();
      m_rootOfLetter = [watcher](char letter) { return watcher->RootOfLetter(letter); };
    } else {
      m_pWatcher.reset();  // no mount table: no drive is ever noticed
    }
  }
}

void CBackupDlg::CreateTrayIcon() {
  m_pTrayMenu = new QMenu(this);
  QAction* open = m_pTrayMenu->addAction(QStringLiteral("Open Ferncastle..."));
  open->setObjectName(QString::number(ID_TRAY_OPEN));
  connect(open, &QAction::triggered, this, [this] { OnCommand(ID_TRAY_OPEN); });
  QAction* exit = m_pTrayMenu->addAction(QStringLiteral("Exit Ferncastle..."));
  exit->setObjectName(QString::number(IDCANCEL));
  connect(exit, &QAction::triggered, this, [this] { OnCommand(IDCANCEL); });

  m_pTray = new QSystemTrayIcon(this);
  if (!m_hIcon.isNull()) m_pTray->setIcon(m_hIcon);
  m_pTray->setToolTip(QStringLiteral("Ferncastle"));
  m_pTray->setContextMenu(m_pTrayMenu);
  m_bTrayActivates = StatusNotifierHostPresent();
  connect(m_pTray, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { OnTrayActivated(reason); });
  // Without a tray the dialog simply runs without the icon.
  if (!m_hIcon.isNull()) m_pTray->show();
}

bool CBackupDlg::StatusNotifierHostPresent() {
  // Qt shows a tray icon as a StatusNotifierItem exactly when, as the icon is made, a watcher
  // on the session bus reports a registered host; otherwise it embeds the icon in an XEmbed
  // tray. The same question, asked at the same moment, tells which kind of events will come.
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
  if (!bus.interface()->isServiceRegistered(watcher).value()) return false;
  QDBusInterface host(watcher, QStringLiteral("/StatusNotifierWatcher"), watcher, bus);
  return host.isValid() && host.property("IsStatusNotifierHostRegistered").toBool();
}

void CBackupDlg::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::DoubleClick:
      // An XEmbed tray: the left double click on the icon.
      ShowFromTray();
      break;
    case QSystemTrayIcon::Trigger:
      // A StatusNotifierItem host's activation (its single primary click): the host knows no
      // double click, so this is the way back. An XEmbed tray reports every left press so;
      // there only the double click shows the window.
      if (m_bTrayActivates) ShowFromTray();
      break;
    default:
      // Context: the menu comes up by itself (Qt pops it up on an XEmbed tray, the host shows
      // the exported menu); MiddleClick and the rest do nothing.
      break;
  }
}

// --- commands --------------------------------------------------------------------------------

void CBackupDlg::OnCommand(int id) {
  switch (id) {
    case IDOK: OnOK(); break;
    case IDCANCEL: OnCancel(); break;
    case IDC_MINIMIZE: HideToTray(); break;
    case IDC_QUICKBACKUP: OnQuickBackup(); break;
    case IDC_FULLBACKUP: OnFullBackup(); break;
    case IDC_SCHEDULE: OnOptions(); break;
    case IDC_DELETE: DeleteSelectedSets(); break;
    case IDC_RESTORE: OnRestore(); break;
    case IDC_VIEW: ViewSelectedSet(); break;
    case IDC_ABOUT: OnAbout(); break;
    case IDC_CANCELRUN: OnCancelRun(); break;
    case ID_TRAY_OPEN: ShowFromTray(); break;
    case IDM_ABOUTBOX: OnAbout(); break;
    default: break;
  }
}

void CBackupDlg::accept() { OnOK(); }
void CBackupDlg::reject() { OnCancel(); }

void CBackupDlg::OnOK() {
  // Enter never closes the window.
}

bool CBackupDlg::AskQuestion(const QString& question) {
  QMessageBox box(QMessageBox::Question, QString::fromUtf8(kCaption), question,
                  QMessageBox::Yes | QMessageBox::No, this);
  return box.exec() == QMessageBox::Yes;
}

void CBackupDlg::OnCancel() {
  if (m_bBusy) {
    // A run is never cut off by closing: the request only stops it.
    if (AskQuestion(QStringLiteral("Backup is active! Are you sure you want to cancel it?")))
      m_bStop = true;
    return;
  }
  // The dialog ends with the cancel result; the program ends with it (its finished signal).
  if (AskQuestion(QStringLiteral("Are you sure you want to close Fernlet?")))
    QDialog::done(QDialog::Rejected);
}

void CBackupDlg::OnCancelRun() {
  if (AskQuestion(QStringLiteral("Are you sure you want to cancel the backup?"))) {
    m_bStop = true;
    m_btnCancelRun->setEnabled(false);
  }
}

void CBackupDlg::OnAbout() {
  CAboutDlg dlg;
  dlg.exec();
}

void CBackupDlg::OnOptions() {
  COptions dlg;
  dlg.exec();
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

// --- tray ------------------------------------------------------------------------------------

static bool TrayUsable(QSystemTrayIcon* tray) {
  return tray != nullptr && tray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void CBackupDlg::HideOrMinimise() {
  // A hidden window without a tray icon could never be shown again: minimise instead.
  if (TrayUsable(m_pTray))
    hide();
  else
    showMinimized();
}

void CBackupDlg::HideToTray() {
  HideOrMinimise();
  m_bInTray = true;
}

void CBackupDlg::ShowFromTray() {
  showNormal();
  m_bInTray = false;
  raise();
  activateWindow();
}

void CBackupDlg::changeEvent(QEvent* event) {
  // Where minimising stands in for the tray, the user brings the window back from the task
  // bar: then it is no longer in the tray. (A run shows the window itself while busy.)
  if (event->type() == QEvent::WindowStateChange && !m_bBusy && m_bInTray && !TrayUsable(m_pTray) &&
      !(windowState() & Qt::WindowMinimized) && isVisible())
    m_bInTray = false;
  QDialog::changeEvent(event);
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
      m_bBlinkOn = !m_bBlinkOn;
      m_pStatus->repaint();
      break;
    case TIMER_STATUS:
      KillTimer(TIMER_STATUS);
      // A drive removed since the run ended has said "Not Connected" already; that stays.
      if (!DriveRoot().empty()) m_pStatus->setText(QStringLiteral("Connected"));
      break;
    case TIMER_SCHEDULE: {
      if (!m_bBusy) CheckSchedule();
      const std::string scratch = fern::ScratchFolder();
      if (!scratch.empty()) fern::CleanScratchFolder(scratch);
      break;
    }
    default:
      break;
  }
}

// --- run state -------------------------------------------------------------------------------

void CBackupDlg::SetRunning(bool running) {
  // A run disables most controls. Left alone, Qt would hand the focus of a disabled control
  // to the next enabled one, the Minimize button 3 and then Close 2, where a Space would hide or
  // close the window mid-run; a window activated later without a focused control would pick
  // the same. The window itself keeps the focus during the run instead: Escape still asks,
  // Space does nothing, Tab enters the controls again.
  if (running) setFocus(Qt::OtherFocusReason);
  const bool anySelected = SelectedCount() > 0;
  for (int id : {IDC_FULLBACKUP, IDC_QUICKBACKUP, IDC_SCHEDULE, IDC_ABOUT})
    m_buttons[id]->setEnabled(!running);
  for (int id : {IDC_DELETE, IDC_RESTORE, IDC_VIEW})
    m_buttons[id]->setEnabled(!running && anySelected);
  m_listSets->setEnabled(!running);
}

QColor CBackupDlg::ControlTextColour(int id) const {
  switch (id) {
    case IDC_DRIVENAME:
    case IDC_DRIVEINFO:
      return DriveRoot().empty() ? kGreyText : QColor(Qt::black);
    case IDC_STATUS:
      if (m_bBusy && !m_bBlinkOn) return palette().color(QPalette::Button);
      return kStatusBlue;
    default:
      return palette().color(QPalette::WindowText);
  }
}

QWidget* CBackupDlg::Control(int id) const {
  return findChild<QWidget*>(QString::number(id), Qt::FindDirectChildrenOnly);
}

// --- drive state -----------------------------------------------------------------------------

std::string CBackupDlg::DriveRoot() const {
  std::lock_guard<std::mutex> lock(m_driveMutex);
  return m_strDriveRoot;
}

std::string CBackupDlg::DriveName() const {
  std::lock_guard<std::mutex> lock(m_driveMutex);
  return m_strDriveName;
}

char CBackupDlg::DriveLetter() const {
  std::lock_guard<std::mutex> lock(m_driveMutex);
  return m_chDriveLetter;
}

void CBackupDlg::SetDrive(const std::string& root, char letter, const std::string& name) {
  std::lock_guard<std::mutex> lock(m_driveMutex);
  m_strDriveRoot = root;
  m_chDriveLetter = letter;
  m_strDriveName = name;
}

void CBackupDlg::ForgetDrive() { SetDrive(std::string(), 0, std::string()); }

void CBackupDlg::SetRootOfLetter(std::function<std::string(char)> rootOfLetter) {
  m_rootOfLetter = std::move(rootOfLetter);
}

bool CBackupDlg::OnDeviceChange(int event, uint32_t unitMask) {
  switch (event) {
    case DBT_DEVICEARRIVAL: {
      const char letter = fern::DriveLetterFromMask(unitMask);
      const std::string root = (letter >= 'A' && letter <= 'Z') ? m_rootOfLetter(letter) : std::string();
      std::string label;
      if (!root.empty() && fern::GetVolumeLabel(root, label)) {
        SetDrive(root, letter, label);
        m_pDriveName->setText(Q(label));
        m_pStatus->setText(QStringLiteral("Connected!"));
      } else {
        // The name and the status keep what they showed; only the root goes.
        std::lock_guard<std::mutex> lock(m_driveMutex);
        m_strDriveRoot.clear();
      }
      RefreshDriveInfo();
      repaint();
      CheckSchedule();
      CommonDriveTail();
      return false;
    }
    case DBT_DEVICEREMOVECOMPLETE:
      ForgetDrive();
      m_pDriveName->setText(QStringLiteral("Not Connected"));
      m_pStatus->setText(QStringLiteral("Not Connected"));
      CommonDriveTail();
      return false;
    case DBT_DEVICEQUERYREMOVE:
      // Linux asks no such question; kept for a notifier that does.
      ForgetDrive();
      m_pDriveName->setText(QStringLiteral("Not Connected"));
      m_pStatus->setText(QStringLiteral("Not Connected"));
      m_buttons[IDC_QUICKBACKUP]->setEnabled(false);
      m_buttons[IDC_FULLBACKUP]->setEnabled(false);
      return true;
    default:
      CommonDriveTail();
      return false;
  }
}

void CBackupDlg::CommonDriveTail() {
  const bool attached = !DriveRoot().empty();
  const bool idle = !m_bBusy;
  m_buttons[IDC_QUICKBACKUP]->setEnabled(attached && idle);
  m_buttons[IDC_FULLBACKUP]->setEnabled(attached && idle);
  m_buttons[IDC_RESTORE]->setEnabled(attached && idle && SelectedCount() > 0);
  m_iconDrive->setPixmap(attached ? m_hIconDrive : m_hIconNoDrive);
}

void CBackupDlg::RefreshDriveInfo() {
  fern::RunOnGuiThread([this] {
    const std::string root = DriveRoot();
    uint64_t total = 0, free = 0;
    if (root.empty() || !fern::GetDiskFreeSpace(root, total, free)) {
      m_pDriveInfo->setText(QStringLiteral("Plug in a USB Flash Drive"));
      return;
    }
    m_pDriveInfo->setText(Q(fern::DriveInfoText(total, free)));
  });
}

void CBackupDlg::CheckSchedule() {
  const int command = fern::CheckSchedule(
      theApp.GetBackupsFolder(), DriveRoot(), DriveName(),
      [](const char* valueName, int defaultValue) {
        return fern::GetProfileInt("Settings", valueName, defaultValue);
      },
      fern::CurrentTime());
  if (command != 0) {
    m_bScheduledRun = true;
    // Handled later, like a click on the button.
    QMetaObject::invokeMethod(this, [this, command] { OnCommand(command); }, Qt::QueuedConnection);
  }
}

// --- the engine's user interface -------------------------------------------------------------

void CBackupDlg::SetStatusText(const std::string& text) {
  fern::RunOnGuiThread([this, &text] { m_pStatus->setText(Q(text)); });
}

void CBackupDlg::SetInfoText(const std::string& text) {
  fern::RunOnGuiThread([this, &text] { m_pDriveInfo->setText(Q(text)); });
}

void CBackupDlg::SetProgressRange(unsigned short maximum) {
  fern::RunOnGuiThread([this, maximum] {
    // A range of 0..0 would make the bar an endless busy indicator.
    m_progress->setRange(0, maximum == 0 ? 1 : maximum);
    m_progress->setValue(0);
  });
}

void CBackupDlg::StepProgress() {
  fern::RunOnGuiThread([this] {
    int next = m_progress->value() + 1;
    if (next > m_progress->maximum()) next = m_progress->minimum();  // the bar starts over
    m_progress->setValue(next);
  });
}

void CBackupDlg::ShowProgress(bool show) {
  fern::RunOnGuiThread([this, show] { m_progress->setVisible(show); });
}

void CBackupDlg::AddSetRow(const std::string& date, const std::string& driveName,
                           const std::string& setPath, int image) {
  fern::RunOnGuiThread([&] { InsertSetRow(date, driveName, setPath, image); });
}

// --- the set list ----------------------------------------------------------------------------

void CBackupDlg::SetUpSetList() {
  QTreeWidget* list = m_listSets;
  list->setColumnCount(3);
  list->setHeaderLabels({QStringLiteral("Date"), QStringLiteral("Name"), QStringLiteral("FileName")});
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setSortingEnabled(false);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setAllColumnsShowFocus(true);
  list->setIconSize(QSize(16, 16));
  list->setItemDelegate(new CGridDelegate(list));
  list->setFrameShape(QFrame::StyledPanel);
  list->setFrameShadow(QFrame::Sunken);
  QHeaderView* header = list->header();
  header->setSectionsClickable(false);
  header->setSectionsMovable(false);
  header->setMinimumSectionSize(0);
  header->setStretchLastSection(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->setColumnWidth(0, 80);
  list->setColumnWidth(1, 80);
  list->setColumnWidth(2, 0);
  list->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list, &QTreeWidget::customContextMenuRequested, this, [this] { ShowSetMenu(); });
  connect(list, &QTreeWidget::itemSelectionChanged, this, [this] { UpdateSetCommands(); });
  list->viewport()->installEventFilter(this);
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

bool CBackupDlg::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_listSets->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    QTimer::singleShot(0, this, [this] { ViewSelectedSet(); });
    return true;
  }
  return QDialog::eventFilter(watched, event);
}

// The row keeps the bytes of the path and the name as the file system gave them: a name that
// is not valid UTF-8 would not survive the round trip through the shown text.
enum { ROLE_IMAGE = Qt::UserRole, ROLE_BYTES = Qt::UserRole + 1 };

std::string CBackupDlg::RowPath(const QTreeWidgetItem* item) {
  const QVariant bytes = item->data(2, ROLE_BYTES);
  return bytes.isValid() ? bytes.toByteArray().toStdString() : item->text(2).toStdString();
}

std::string CBackupDlg::RowDriveName(const QTreeWidgetItem* item) {
  const QVariant bytes = item->data(1, ROLE_BYTES);
  return bytes.isValid() ? bytes.toByteArray().toStdString() : item->text(1).toStdString();
}

void CBackupDlg::InsertSetRow(const std::string& date, const std::string& name,
                              const std::string& path, int image) {
  auto* item = new QTreeWidgetItem(QStringList{Q(date), Q(name), Q(path)});
  item->setData(0, ROLE_IMAGE, image);
  item->setData(1, ROLE_BYTES, QByteArray::fromStdString(name));
  item->setData(2, ROLE_BYTES, QByteArray::fromStdString(path));
  if (image >= 0 && image < IMAGE_COUNT)
    item->setIcon(0, QIcon(fern::ListPicture(image)));
  m_listSets->insertTopLevelItem(0, item);
}

void CBackupDlg::FillSetList() {
  const std::string folder = theApp.GetBackupsFolder();
  std::vector<fern::CFindData> found;
  fern::FindFiles(folder, fern::AllSetsPattern(), found);
  // Each row goes to the top, so the list shows the folder's order reversed.
  for (const fern::CFindData& match : found) {
    if (match.name == "." || match.name == "..") continue;
    InsertSetRow(fern::FormatSetDate(match.mtime), fern::DriveNameOfSet(match.name),
                 match.fullPath, fern::IsQuickSet(match.name) ? IMAGE_QUICKSET : IMAGE_FULLSET);
  }
}

int CBackupDlg::SelectedCount() const {
  int n = 0;
  for (int i = 0; i < m_listSets->topLevelItemCount(); ++i)
    if (m_listSets->topLevelItem(i)->isSelected()) ++n;
  return n;
}

void CBackupDlg::UpdateSetCommands() {
  const int n = SelectedCount();
  const bool idle = !m_bBusy;
  m_buttons[IDC_DELETE]->setEnabled(n > 0 && idle);
  m_buttons[IDC_RESTORE]->setEnabled(n > 0 && !DriveRoot().empty() && idle);
  m_buttons[IDC_VIEW]->setEnabled(n == 1 && idle);
}

QMenu* CBackupDlg::BuildSetMenu() {
  const int n = SelectedCount();
  const bool attached = !DriveRoot().empty();
  auto* menu = new QMenu(this);
  auto add = [menu](const char* text, int id, bool enabled) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setData(id);
    action->setObjectName(QString::number(id));
    action->setEnabled(enabled);
  };
  add("Restore...", IDC_RESTORE, n > 0 && attached);
  add("Delete...", IDC_DELETE, n > 0);
  add("View...", IDC_VIEW, n == 1);
  return menu;
}

void CBackupDlg::ShowSetMenu() {
  std::unique_ptr<QMenu> menu(BuildSetMenu());
  activateWindow();
  QAction* chosen = menu->exec(QCursor::pos());
  if (chosen != nullptr) OnCommand(chosen->data().toInt());
}

void CBackupDlg::DeleteSelectedSets() {
  if (!AskQuestion(QStringLiteral("Are you sure you want to delete the selected backup set(s)?")))
    return;
  // Row by row: a set that cannot be deleted keeps its row, still selected.
  for (int i = 0; i < m_listSets->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = m_listSets->topLevelItem(i);
    if (!item->isSelected()) continue;
    if (::unlink(RowPath(item).c_str()) == 0) {
      delete m_listSets->takeTopLevelItem(i);
      --i;
    }
  }
}

void CBackupDlg::ViewSelectedSet() {
  QTreeWidgetItem* first = nullptr;
  for (int i = 0; i < m_listSets->topLevelItemCount() && first == nullptr; ++i)
    if (m_listSets->topLevelItem(i)->isSelected()) first = m_listSets->topLevelItem(i);
  if (first == nullptr) return;
  CViewBackup dlg;
  const std::string root = DriveRoot();
  dlg.SetSetAndDrive(RowPath(first), root);
  dlg.exec();
}

// --- runs ------------------------------------------------------------------------------------

void CBackupDlg::LowerThreadPriority() {
  // The stand-in for a below-normal thread priority: five steps nicer than now.
  const pid_t tid = ::gettid();
  errno = 0;
  int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (current == -1 && errno != 0) current = 0;
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current + 5);
}

void CBackupDlg::StartWorker(std::function<void()> body) {
  // The previous worker has handed its end to this thread already; it only has to return.
  if (m_worker.joinable()) m_worker.join();
  m_worker = std::thread([body = std::move(body)] {
    LowerThreadPriority();
    body();
  });
}

void CBackupDlg::OnQuickBackup() {
  m_pStatus->setText(QStringLiteral("Backing up..."));
  if (m_bBusy) return;
  m_bBusy = true;
  m_bStop = false;
  SetRunning(true);
  // Shown for the time of the run, also from the tray; m_bInTray stays as it is.
  showNormal();
  SetTimer(TIMER_BLINK, 1000);
  m_btnCancelRun->setEnabled(true);
  m_btnCancelRun->show();

  CBackupDrive drive;
  {
    std::lock_guard<std::mutex> lock(m_driveMutex);
    drive.root = m_strDriveRoot;
    drive.letter = m_chDriveLetter != 0 ? m_chDriveLetter : 'E';
    drive.name = m_strDriveName;
  }
  const bool full = m_bFullBackup;
  StartWorker([this, drive, full] {
    CBackupRun run(*this, m_bStop, theApp.m_pCopyBuffer);
    const bool lost = run.RunBackup(drive, full, theApp.GetBackupsFolder()) == CBackupRun::Result::DriveLost;
    fern::RunOnGuiThread([this, lost, root = drive.root] { EndRun(true, lost, root); });
  });
}

void CBackupDlg::OnFullBackup() {
  if (m_bBusy) return;
  m_bFullBackup = true;
  OnQuickBackup();
}

void CBackupDlg::OnRestore() {
  if (m_bBusy) return;
  const std::string root = DriveRoot();
  // Without a drive the entries would have no target: never write them anywhere else.
  if (root.empty()) return;
  m_pStatus->setText(QStringLiteral("Restoring..."));
  SetRunning(true);
  SetTimer(TIMER_BLINK, 1000);
  m_bBusy = true;
  m_bStop = false;
  m_btnCancelRun->setEnabled(true);
  m_btnCancelRun->show();

  // The list is disabled during the run, so its selection is read once here.
  std::vector<CSetRow> rows;
  for (int i = 0; i < m_listSets->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = m_listSets->topLevelItem(i);
    if (item->isSelected()) rows.push_back({RowDriveName(item), RowPath(item)});
  }
  const std::string name = DriveName();
  StartWorker([this, rows = std::move(rows), name, root] {
    CRestoreRun run(*this, m_bStop, theApp.m_pCopyBuffer, theApp.m_nOverwriteAnswer,
                    [this] { return DriveRoot(); });
    run.RestoreSelectedSets(rows, name, root);
    const bool lost = run.DriveChanged();
    fern::RunOnGuiThread([this, lost, root] { EndRun(false, lost, root); });
  });
}

void CBackupDlg::EndRun(bool backup, bool driveLost, const std::string& lostRoot) {
  // The run saw its drive go before the drive watcher did: the window forgets it as the
  // removal does (which may still follow, or have come already and left another drive).
  if (driveLost && DriveRoot() == lostRoot) {
    ForgetDrive();
    m_pDriveName->setText(QStringLiteral("Not Connected"));
    RefreshDriveInfo();
  }
  SetRunning(false);
  m_bBusy = false;
  m_bStop = true;
  m_bFullBackup = false;
  // A restore whose drive went did not finish: it is no "Done!".
  if (!backup && !driveLost) m_pStatus->setText(QStringLiteral("Done!"));
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
  if (backup && m_bScheduledRun && m_bInTray) {
    HideOrMinimise();
    m_bScheduledRun = false;
  }
}

// --- the skin --------------------------------------------------------------------------------

void CBackupDlg::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  const int W = width();
  const int H = height();
  const QColor caption = palette().color(QPalette::Active, QPalette::Highlight);
  int r = caption.red(), g = caption.green(), b = caption.blue();
  const QColor label((r - 50) & 0xFF, (g - 50) & 0xFF, (b - 50) & 0xFF);

  painter.fillRect(rect(), palette().color(QPalette::Button));

  // Left band: brightening by 4 a column to the middle, then back to the caption colour.
  for (int x = 0; x < 30; ++x) {
    const int step = x < 15 ? 4 : -4;
    r += step, g += step, b += step;
    painter.fillRect(QRect(x, 0, 1, H), QColor(r & 0xFF, g & 0xFF, b & 0xFF));
  }

  // The label reads from bottom to top: its baseline turned by 90 degrees.
  const QFont font = fern::VerticalFont();
  const QFontMetrics metrics(font);
  const int E = metrics.horizontalAdvance(QStringLiteral("Fernlet"));
  const int h = metrics.height();
  painter.save();
  painter.setFont(font);
  painter.setPen(label);
  // Aligned to the bottom of the rectangle (3, 0)-(30, E + 40): the text's cell starts at
  // y = E + 40 - h and runs up from there.
  painter.translate(3, E + 40 - h);
  painter.rotate(-90);
  painter.drawText(QRect(0, 0, E, h), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine,
                   QStringLiteral("Fernlet"));
  painter.restore();

  // Separator from y = 5 to y = E + 35 (the end point itself not drawn).
  painter.fillRect(QRect(120, 5, 1, E + 30), Qt::black);

  // Header band: 196 up to 240, then down to 188.
  int grey = 192;
  for (int y = 0; y < 25; ++y) {
    grey += y < 12 ? 4 : -4;
    painter.fillRect(QRect(30, y, W - 30, 1), QColor(grey, grey, grey));
  }
}
