#include "viewer/ViewBackup.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QCursor>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDesktopServices>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QMimeDatabase>
#include <QMouseEvent>
#include <QPainter>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QToolBar>
#include <QItemSelectionModel>
#include <QTreeView>
#include <QUrl>
#include <algorithm>
#include <cerrno>
#include <chrono>

#include "dialogs/DialogFrame.h"
#include "dialogs/GuiThread.h"
#include "engine/EntryReader.h"
#include "engine/RestoreRun.h"
#include "res/Resource.h"
#include "res/StringTable.h"
#include "res/gui/DialogUnits.h"
#include "res/gui/ListPictures.h"
#include "res/gui/Pictures.h"
#include "storage/CompressedFile.h"
#include "storage/ReadAheadFile.h"
#include "storage/SetFormat.h"
#include "viewer/SetTreeModel.h"
#include "viewer/ViewerEngineUI.h"

namespace {

// Entries are handed to the GUI thread in batches of at most this many, and at least this
// often, so the tree grows visibly while the GUI thread is called far less often than once per
// entry.
constexpr size_t kBatchEntries = 16384;
constexpr int64_t kBatchMs = 50;

constexpr int kCommandIds[3] = {ID_RESTORE_CHECKED, ID_COPY_TO_CLIPBOARD, ID_PREVIEW};

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

QString Text(const std::string& text) { return QFile::decodeName(QByteArray::fromStdString(text)); }

int Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

// The wait cursor while a handler runs.
class CWaitCursor {
 public:
  CWaitCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
  ~CWaitCursor() { QApplication::restoreOverrideCursor(); }
  CWaitCursor(const CWaitCursor&) = delete;
  CWaitCursor& operator=(const CWaitCursor&) = delete;
};

}  // namespace

CViewBackup::CViewBackup(QWidget* parent)
    : QDialog(parent), m_pUI(std::make_unique<CViewerEngineUI>(*this)) {
  setObjectName(QStringLiteral("CViewBackup"));
  setWindowTitle(QStringLiteral("Fernlet"));
  setWindowFlags(Qt::Dialog | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                 Qt::WindowMinMaxButtonsHint | Qt::WindowCloseButtonHint);
  const QFont dialogFont = fern::DialogFont("MS Shell Dlg", 8);
  setFont(dialogFont);
  resize(fern::DluToPixels(dialogFont, 250, 205));

  m_tree = new QTreeView(this);
  m_tree->setObjectName(QStringLiteral("tree1002"));
  m_pModel = new CSetTreeModel(m_tree);
  m_tree->setModel(m_pModel);
  m_tree->setHeaderHidden(true);
  m_tree->setUniformRowHeights(true);
  m_tree->setSelectionMode(QAbstractItemView::SingleSelection);
  m_tree->setRootIsDecorated(true);
  m_tree->setIconSize(QSize(16, 16));
  m_tree->setMouseTracking(true);
  m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
  m_tree->viewport()->installEventFilter(this);
  connect(m_tree->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] { OnTreeSelChanged(); });
  connect(m_tree, &QTreeView::doubleClicked, this, [this] { OnPreview(); });
  connect(m_tree, &QTreeView::customContextMenuRequested, this,
          [this](const QPoint& pos) { OnTreeRClick(pos); });

  m_pStatus = new QLabel(QStringLiteral("Static"), this);
  m_pStatus->setObjectName(QStringLiteral("static1003"));
  m_pStatus->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

  m_pStopButton = new QPushButton(QStringLiteral("&Stop Loading"), this);
  m_pStopButton->setObjectName(QStringLiteral("button2"));
  // Enter must not press it: the dialog decides what Enter does.
  m_pStopButton->setAutoDefault(false);
  m_pStopButton->setDefault(false);
  connect(m_pStopButton, &QPushButton::clicked, this, [this] { OnCancel(); });

  m_wndToolBar = new QToolBar(this);
  m_wndToolBar->setObjectName(QStringLiteral("toolbar130"));
  m_wndToolBar->setMovable(false);
  m_wndToolBar->setFloatable(false);
  m_wndToolBar->setIconSize(QSize(39, 24));
  m_wndToolBar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  m_wndToolBar->setContentsMargins(5, 0, 0, 0);
  const QPixmap strip = fern::LoadBitmapRes(IDB_VIEWTOOLBAR);
  for (int i = 0; i < 3; ++i) {
    const int id = kCommandIds[i];
    const std::string resource = fern::LoadString(id);
    const size_t newline = resource.find('\n');
    std::string tip = newline == std::string::npos ? std::string() : resource.substr(newline + 1);
    if (tip.size() > 79) tip.resize(79);
    QIcon icon;
    if (!strip.isNull()) icon = QIcon(strip.copy(i * 39, 0, 39, 24));
    QAction* action = m_wndToolBar->addAction(icon, Text(resource.substr(0, newline)));
    action->setData(id);
    action->setToolTip(Text(tip));
    action->setEnabled(false);
    connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
  }
}

CViewBackup::~CViewBackup() {
  m_bStop = 1;
  JoinWorker();
  // The rows refer to the nodes: take the tree down first, without signals reaching a
  // half-destroyed dialog.
  if (m_tree != nullptr) {
    m_tree->viewport()->removeEventFilter(this);
    m_tree->disconnect(this);
    if (m_tree->selectionModel() != nullptr) m_tree->selectionModel()->disconnect(this);
    delete m_tree;  // and the model with it
    m_tree = nullptr;
    m_pModel = nullptr;
  }
  m_items.clear();
}

QAction* CViewBackup::CommandAction(int id) const {
  for (QAction* action : m_wndToolBar->actions())
    if (action->data().toInt() == id) return action;
  return nullptr;
}

CTreeItem* CViewBackup::NodeOf(const QModelIndex& index) {
  if (!index.isValid()) return nullptr;
  return static_cast<CTreeItem*>(index.data(Qt::UserRole).value<void*>());
}

QModelIndex CViewBackup::TopItem() const { return m_pModel->index(0, 0); }

QModelIndex CViewBackup::SelectedItem() const {
  const QModelIndexList selected = m_tree->selectionModel()->selectedIndexes();
  return selected.isEmpty() ? QModelIndex() : selected.first();
}

bool CViewBackup::IsChecked(const QModelIndex& item) {
  return item.isValid() && item.data(Qt::CheckStateRole).toInt() == Qt::Checked;
}

int CViewBackup::CompareItems(const CTreeItem& a, const CTreeItem& b) {
  if (a.m_bFolder && !b.m_bFolder) return -1;
  if (b.m_bFolder && !a.m_bFolder) return 1;
  const std::string& x = a.m_strText;
  const std::string& y = b.m_strText;
  const size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    const int d = Lower(static_cast<unsigned char>(x[i])) - Lower(static_cast<unsigned char>(y[i]));
    if (d != 0) return d;
  }
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  // Labels that differ only in case: capitals first, so that the order never depends on
  // which of the two was read first.
  const int c = x.compare(y);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

bool CViewBackup::IsProgramLabel(const std::string& label) {
  std::string tail = label.size() > 3 ? label.substr(label.size() - 3) : label;
  for (char& c : tail) c = static_cast<char>(Lower(static_cast<unsigned char>(c)));
  return tail == "exe" || tail == "bat" || tail == "com";
}

// ---------------------------------------------------------------------------------------------
// Dialog start, layout, painting

void CViewBackup::showEvent(QShowEvent* event) {
  if (!m_bStarted) {
    m_bStarted = true;
    OnInitDialog();
  }
  QDialog::showEvent(event);
}

void CViewBackup::OnInitDialog() {
  // Restores go only to the drive that was attached when the viewer opened.
  fern::IdentifyFolder(m_strDriveRoot, m_driveAtOpen);
  if (QScreen* screen = QGuiApplication::primaryScreen())
    move(screen->geometry().center() - QPoint(width() / 2, height() / 2));

  m_bBusy = 1;
  m_bStop = 0;
  m_pStatus->setText(QStringLiteral("Loading..."));
  RepositionControls();
  for (int id : kCommandIds) CommandAction(id)->setEnabled(false);

  struct stat status {};
  if (!m_strSetPath.empty() && ::stat(m_strSetPath.c_str(), &status) == 0) {
    const std::string bare = fern::BareFileName(m_strSetPath);
    const size_t dash = bare.find('-');
    m_strTitle = (dash == std::string::npos ? std::string() : bare.substr(0, dash)) + " (" +
                 fern::FormatSetDate(static_cast<int64_t>(status.st_mtime)) + ")";
  }
  StartWorker(&CViewBackup::LoadThreadProc);
  if (!m_worker.joinable()) EndLoading();  // no thread: an empty tree, as for a missing set
}

void CViewBackup::StartWorker(int (*proc)(CViewBackup*)) {
  JoinWorker();
  m_bWorkerDone = false;
  try {
    m_worker = std::thread([this, proc] {
      proc(this);
      m_bWorkerDone = true;
    });
  } catch (const std::system_error&) {
    // Left unjoinable: the caller ends the operation itself.
  }
}

void CViewBackup::JoinWorker() {
  if (!m_worker.joinable()) return;
  // The worker's steps on the tree run on this thread: let them through before waiting.
  while (!m_bWorkerDone) {
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    if (!m_bWorkerDone) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  m_worker.join();
}

void CViewBackup::LowerThreadPriority() {
  // The stand-in for a below-normal thread priority: five steps nicer than now.
  const pid_t tid = static_cast<pid_t>(::syscall(SYS_gettid));
  errno = 0;
  const int current = ::getpriority(PRIO_PROCESS, static_cast<id_t>(tid));
  if (current == -1 && errno != 0) return;
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), current + 5);
}

void CViewBackup::resizeEvent(QResizeEvent* event) {
  QDialog::resizeEvent(event);
  RepositionControls();
}

void CViewBackup::RepositionControls() {
  if (m_tree == nullptr) return;
  const int w = width();
  const int h = height();
  auto place = [](QWidget* widget, int left, int top, int right, int bottom) {
    widget->setGeometry(left, top, std::max(0, right - left), std::max(0, bottom - top));
    widget->update();
  };
  place(m_tree, 31, 40, w - 2, h - 20);
  place(m_pStatus, 34, h - 18, 134, h - 2);
  place(m_pStopButton, 139, h - 18, 219, h - 2);
  place(m_wndToolBar, 31, 0, w - 2, 35);
}

void CViewBackup::paintEvent(QPaintEvent* /*event*/) {
  QPainter painter(this);
  const int h = height();
  const QColor caption = palette().color(QPalette::Active, QPalette::Highlight);
  int r = caption.red();
  int g = caption.green();
  int b = caption.blue();
  const QColor textColour((r - 50) & 0xFF, (g - 50) & 0xFF, (b - 50) & 0xFF);
  painter.fillRect(rect(), palette().color(QPalette::Button));
  // The band brightens towards its middle and darkens back; a component that would leave the
  // range stays at its end, so a light caption colour gives a pale band, not a stripe.
  for (int x = 0; x < 30; ++x) {
    const int step = x < 15 ? 4 : -4;
    r += step;
    g += step;
    b += step;
    painter.setPen(QPen(QColor(std::clamp(r, 0, 255), std::clamp(g, 0, 255), std::clamp(b, 0, 255)), 1));
    painter.drawLine(x, 0, x, h);
  }
  if (m_strTitle.empty()) return;
  const QString title = Text(m_strTitle);
  painter.setFont(fern::VerticalFont());
  const QFontMetrics metrics(fern::VerticalFont());
  const int extent = metrics.horizontalAdvance(title);
  // Turned by 90 degrees, reading upwards: the text ends 40 pixels below the top, the tops of
  // its letters face the left edge, 3 pixels in.
  painter.setPen(textColour);
  painter.translate(3, extent + 40 - metrics.height());
  painter.rotate(-90);
  painter.drawText(QPoint(0, metrics.ascent()), title);
}

// ---------------------------------------------------------------------------------------------
// Closing and stopping

void CViewBackup::keyPressEvent(QKeyEvent* event) {
  if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) &&
      (event->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier) {
    accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void CViewBackup::accept() {
  // Ignored while an operation runs: the worker uses the dialog, its tree and its nodes.
  if (m_bBusy) return;
  QDialog::accept();
}

void CViewBackup::reject() { OnCancel(); }

void CViewBackup::done(int result) {
  if (m_bBusy) return;
  QDialog::done(result);
}

void CViewBackup::OnCancel() {
  if (!m_bBusy) {
    QDialog::reject();
    return;
  }
  m_bStop = 1;
  m_pStatus->setText(QStringLiteral("Cancelled..."));
  m_pStopButton->hide();
}

void CViewBackup::SetStatusText(const std::string& text) {
  fern::RunOnGuiThread([this, &text] {
    m_pStatus->setText(Text(text));
    m_pStatus->repaint();
  });
}

// ---------------------------------------------------------------------------------------------
// Loading

int CViewBackup::LoadThreadProc(CViewBackup* view) {
  LowerThreadPriority();
  view->LoadSet();
  fern::RunOnGuiThread([view] { view->EndLoading(); });
  return 1;
}

void CViewBackup::LoadSet() {
  CCompressedFile set;
  const bool opened = set.Open(m_strSetPath.c_str(), 2);
  if (opened) {
    std::vector<char> copyBuffer(fern::kCopyChunk);  // this transfer's own
    OverwriteAnswer overwriteAnswer = OverwriteAnswer::None;  // nothing is written: never asked
    CEntryReader reader(*m_pUI, copyBuffer.data(), overwriteAnswer);
    std::string name;
    uint32_t size = 0;
    int64_t time = 0;
    m_nLastFlushMs = NowMs();
    while (reader.ExtractEntry(set, name, size, time, std::string(), nullptr, nullptr)) {
      // Added to the tree by the GUI thread, with the rest of its batch.
      m_batch.entries.push_back({m_batch.names.size(), name.size(), size, time});
      m_batch.names.append(name);
      if (m_batch.entries.size() >= kBatchEntries || NowMs() - m_nLastFlushMs >= kBatchMs) HandOverEntries();
      if (m_bStop) break;
    }
    set.Close();
  }
  HandOverEntries();
  // Queued behind the last batch, so the tree is whole when this runs.
  fern::RunOnGuiThread([this, opened] {
    if (opened) m_tree->viewport()->repaint();
    m_pStopButton->hide();
  });
}

void CViewBackup::HandOverEntries() {
  if (m_batch.entries.empty()) return;
  auto batch = std::make_shared<CEntryBatch>(std::move(m_batch));
  m_batch = CEntryBatch();
  {
    std::unique_lock<std::mutex> lock(m_batchMutex);
    m_cvBatch.wait(lock, [this] { return m_nBatchesOut < 2; });
    ++m_nBatchesOut;
  }
  // Not waited for: the worker reads the next batch meanwhile. Every later call the worker
  // carries to the GUI thread is queued behind this one.
  QMetaObject::invokeMethod(this, [this, batch] { InsertEntries(*batch); }, Qt::QueuedConnection);
  m_nLastFlushMs = NowMs();
}

void CViewBackup::InsertEntries(const CEntryBatch& batch) {
  std::string name;
  for (const CEntryBatch::CEntry& entry : batch.entries) {
    name.assign(batch.names, entry.offset, entry.length);
    AddEntry(name, entry.size, entry.time);
  }
  // The tree takes the batch's nodes in one go.
  m_pModel->AddNodes(m_pending, m_items);
  // The first level below the drive is always open; deeper folders stay closed.
  const QModelIndex top = TopItem();
  if (top.isValid() && !m_tree->isExpanded(top)) {
    const int topNumber = static_cast<int>(top.internalId());
    for (const auto& entry : m_pending) {
      if (entry.first == topNumber) {
        m_tree->expand(top);
        break;
      }
    }
  }
  m_pending.clear();

  {
    std::lock_guard<std::mutex> lock(m_batchMutex);
    --m_nBatchesOut;
  }
  m_cvBatch.notify_one();
}

void CViewBackup::AddEntry(const std::string& name, uint32_t size, int64_t time) {
  const size_t n = name.size();
  if (n == 0) return;
  // Entries of one folder follow each other: the folders this name shares with the previous
  // one (the same bytes up to and including a backslash) are the same nodes, found again
  // without a lookup.
  const size_t common = static_cast<size_t>(
      std::mismatch(name.begin(), name.end(), m_strLastName.begin(), m_strLastName.end()).first - name.begin());
  size_t reused = 0;
  while (reused < m_lastChain.size() && m_lastChain[reused].first < common && m_lastChain[reused].first < n - 1)
    ++reused;
  m_lastChain.resize(reused);
  int parent = reused > 0 ? m_lastChain.back().second : -1;
  const size_t start = reused > 0 ? m_lastChain.back().first + 1 : 0;

  size_t segmentStart = start;
  for (size_t i = start; i < n; ++i) {
    if (name[i] != '\\' && i != n - 1) continue;
    // The segment ends here; the last byte belongs to the last segment.
    const std::string_view segment(name.data() + segmentStart, i - segmentStart + (i == n - 1 ? 1 : 0));
    segmentStart = i + 1;
    int found = FindChildItem(parent, segment);
    if (found < 0) {
      auto node = std::make_unique<CTreeItem>();
      node->m_strName = name;
      node->m_dwSize = size;
      node->m_time = time;
      node->m_strText = segment;
      node->m_bFolder = i < n - 1 ? 1 : 0;
      found = static_cast<int>(m_items.size());
      m_items.push_back(std::move(node));
      m_index.Add(parent, m_items.back()->m_strText, found);
      m_pending.emplace_back(parent, found);
    }
    parent = found;
    if (i < n - 1) m_lastChain.emplace_back(i, found);
  }
  m_strLastName.assign(name);
}

int CViewBackup::FindChildItem(int parent, std::string_view label) const { return m_index.Find(parent, label); }

void CViewBackup::EndLoading() {
  m_bBusy = 0;
  m_bStop = 1;
  m_pStatus->setText(QString());
  m_pStopButton->hide();
  UpdateRestoreCommand();
  // The selection rule runs again, now that nothing is busy.
  const QPersistentModelIndex remembered(SelectedItem());
  if (TopItem().isValid()) m_tree->setCurrentIndex(TopItem());
  if (remembered.isValid()) {
    m_tree->setCurrentIndex(remembered);
  } else {
    m_tree->clearSelection();
  }
  OnTreeSelChanged();
}

// ---------------------------------------------------------------------------------------------
// Command rules, check boxes, context menu

void CViewBackup::OnCommand(int id) {
  switch (id) {
    case ID_RESTORE_CHECKED: OnRestoreChecked(); break;
    case ID_COPY_TO_CLIPBOARD: OnCopyToClipboard(); break;
    case ID_PREVIEW: OnPreview(); break;
    default: break;
  }
}

void CViewBackup::UpdateRestoreCommand() {
  const bool topChecked = IsChecked(TopItem());
  CommandAction(ID_RESTORE_CHECKED)->setEnabled(!m_bBusy && topChecked && m_bDriveAttached);
}

bool CViewBackup::PreviewAllowed(const QModelIndex& item) const {
  const CTreeItem* node = NodeOf(item);
  return node != nullptr && !node->m_bFolder && !IsProgramLabel(node->m_strText) && !m_bBusy;
}

bool CViewBackup::CopyAllowed(const QModelIndex& item) const {
  const CTreeItem* node = NodeOf(item);
  return node != nullptr && !node->m_bFolder && !m_bBusy;
}

void CViewBackup::OnTreeSelChanged() {
  const QModelIndex item = SelectedItem();
  CommandAction(ID_PREVIEW)->setEnabled(PreviewAllowed(item));
  CommandAction(ID_COPY_TO_CLIPBOARD)->setEnabled(CopyAllowed(item));
}

bool CViewBackup::eventFilter(QObject* watched, QEvent* event) {
  if (m_tree != nullptr && watched == m_tree->viewport() && event->type() == QEvent::MouseButtonRelease) {
    auto* mouse = static_cast<QMouseEvent*>(event);
    if (mouse->button() == Qt::LeftButton) OnTreeRelease(mouse->position().toPoint());
  }
  return QDialog::eventFilter(watched, event);
}

void CViewBackup::OnTreeRelease(const QPoint& pos) {
  const QModelIndex item = m_tree->indexAt(pos);
  if (!item.isValid()) return;
  if (m_tree->currentIndex() != item) m_tree->setCurrentIndex(item);
  // The tree toggles a box when this release reaches it; a box whose state then differs was
  // hit exactly, and only such a click spreads to the rest of the tree.
  const bool before = IsChecked(item);
  const QPersistentModelIndex clicked(item);
  QMetaObject::invokeMethod(
      this,
      [this, clicked, before] {
        if (m_tree != nullptr && clicked.isValid() && IsChecked(clicked) != before) OnCheckChanged(clicked);
      },
      Qt::QueuedConnection);
}

void CViewBackup::OnCheckChanged(const QModelIndex& item) {
  if (!item.isValid()) return;
  const int state = IsChecked(item) ? Qt::Checked : Qt::Unchecked;
  if (m_pModel->rowCount(item) > 0) SetSubtreeCheck(item, state);
  const QModelIndex parent = item.parent();
  if (parent.isValid()) {
    bool anyChecked = false;
    const int count = m_pModel->rowCount(parent);
    for (int i = 0; i < count && !anyChecked; ++i) anyChecked = IsChecked(m_pModel->index(i, 0, parent));
    for (QModelIndex up = parent; up.isValid(); up = up.parent())
      m_pModel->setData(up, anyChecked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
  }
  UpdateRestoreCommand();
}

void CViewBackup::SetSubtreeCheck(const QModelIndex& item, int state) {
  const int count = m_pModel->rowCount(item);
  for (int i = 0; i < count; ++i) {
    const QModelIndex child = m_pModel->index(i, 0, item);
    m_pModel->setData(child, state, Qt::CheckStateRole);
    if (m_pModel->rowCount(child) > 0) SetSubtreeCheck(child, state);
  }
}

std::unique_ptr<QMenu> CViewBackup::CreateItemMenu(const QModelIndex& item) {
  auto menu = std::make_unique<QMenu>(this);
  QAction* preview = menu->addAction(QStringLiteral("Preview..."));
  preview->setData(ID_PREVIEW);
  preview->setEnabled(PreviewAllowed(item));
  QAction* copy = menu->addAction(QStringLiteral("Copy To ClipBoard"));
  copy->setData(ID_COPY_TO_CLIPBOARD);
  copy->setEnabled(CopyAllowed(item));
  return menu;
}

void CViewBackup::OnTreeRClick(const QPoint& pos) {
  const QModelIndex item = m_tree->indexAt(pos);
  if (!item.isValid()) return;
  m_tree->setCurrentIndex(item);
  std::unique_ptr<QMenu> menu = CreateItemMenu(item);
  activateWindow();
  QAction* chosen = menu->exec(m_tree->viewport()->mapToGlobal(pos));
  if (chosen != nullptr) OnCommand(chosen->data().toInt());
}

// ---------------------------------------------------------------------------------------------
// Restore of the checked files

void CViewBackup::OnRestoreChecked() {
  if (m_bBusy) return;
  // Without a drive root nothing may be written: the files would land beside the scratch copies.
  if (m_strDriveRoot.empty()) return;
  CWaitCursor wait;
  m_pStatus->setText(QStringLiteral("Restoring..."));
  m_bBusy = 1;
  m_bStop = 0;
  StartWorker(&CViewBackup::RestoreCheckedThreadProc);
  if (!m_worker.joinable()) {
    m_bBusy = 0;
    m_bStop = 1;
    m_pStatus->setText(QStringLiteral("Done!"));
  }
}

int CViewBackup::RestoreCheckedThreadProc(CViewBackup* view) {
  LowerThreadPriority();
  view->RestoreCheckedFiles();
  fern::RunOnGuiThread([view] {
    view->m_bBusy = 0;
    view->m_bStop = 1;
    view->m_pStatus->setText(QStringLiteral("Done!"));
  });
  return 1;
}

void CViewBackup::RestoreCheckedFiles() {
  std::vector<std::string> pickList;
  fern::RunOnGuiThread([this, &pickList] {
    if (TopItem().isValid()) CollectCheckedFiles(TopItem(), pickList);
  });
  m_nOverwriteAnswer = OverwriteAnswer::None;
  if (pickList.empty()) return;  // nothing picked: reading the set would write nothing

  std::string target = m_strDriveRoot;
  if (target.back() != '/') target += '/';
  std::vector<std::string> fileNames;
  std::vector<std::string> errorTexts;
  CCompressedFile set;
  std::vector<char> copyBuffer(fern::kCopyChunk);  // this transfer's own
  CEntryReader reader(*m_pUI, copyBuffer.data(), m_nOverwriteAnswer);
  // Only onto the drive the viewer was opened for, while it is still mounted there; the whole
  // set is checked by a pass of its own before anything on it is replaced.
  if (reader.SetDrive(target, m_driveAtOpen.valid ? &m_driveAtOpen : nullptr) &&
      reader.StartVerify(m_strSetPath, [this] { return m_bStop != 0; }) &&
      set.Open(m_strSetPath.c_str(), 2)) {
    CReadAheadFile ahead(set);  // inflating overlaps writing the files
    std::string name;
    std::string errorText;
    std::string lastWhole;
    uint32_t size = 0;
    int64_t time = 0;
    while (!m_bStop && reader.ExtractEntry(ahead, name, size, time, target, &pickList, &errorText)) {
      lastWhole = name;
      if (!errorText.empty()) {
        fileNames.push_back(name);
        errorTexts.push_back(errorText);
      }
      if (m_bStop) break;
    }
    reader.FinishRestore(ahead, fileNames, errorTexts);
    if (!reader.DriveLost() && reader.SetDamaged())
      CRestoreRun::AddDamagedSetRow(m_strSetPath, lastWhole, fileNames, errorTexts);
    ahead.Close();
  } else if (reader.DriveLost()) {
    CEntryReader::NoteDriveRemoved(target, fileNames, errorTexts);
  }
  if (!fileNames.empty()) m_pUI->ShowErrorList(fileNames, errorTexts);
}

void CViewBackup::CollectCheckedFiles(const QModelIndex& item, std::vector<std::string>& list) {
  const int count = m_pModel->rowCount(item);
  for (int i = 0; i < count; ++i) {
    const QModelIndex child = m_pModel->index(i, 0, item);
    if (!IsChecked(child)) continue;
    if (m_pModel->rowCount(child) > 0) {
      CollectCheckedFiles(child, list);
    } else if (const CTreeItem* node = NodeOf(child)) {
      list.push_back(node->m_strName);
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Copy and Preview

bool CViewBackup::ExtractToScratch(std::vector<std::string>& pickList) {
  CCompressedFile set;
  if (!set.Open(m_strSetPath.c_str(), 2)) return false;
  const QString saved = m_pStatus->text();
  SetStatusText("Extracting Files...");

  std::vector<char> copyBuffer(fern::kCopyChunk);  // this transfer's own
  OverwriteAnswer overwriteAnswer = OverwriteAnswer::None;  // nothing goes to the drive: never asked
  CEntryReader reader(*m_pUI, copyBuffer.data(), overwriteAnswer);
  std::vector<std::string> before = pickList;
  std::vector<bool> written(pickList.size(), false);
  std::string name;
  std::string errorText;
  uint32_t size = 0;
  int64_t time = 0;
  for (;;) {
    const bool more = reader.ExtractEntry(set, name, size, time, std::string(), &pickList, &errorText);
    // An element replaced by this call names a scratch copy that is good only when the entry's
    // data was read whole and written without error.
    for (size_t i = 0; i < pickList.size(); ++i) {
      if (pickList[i] == before[i]) continue;
      written[i] = more && errorText.empty() && !pickList[i].empty();
      if (!written[i] && !pickList[i].empty()) ::unlink(pickList[i].c_str());
      before[i] = pickList[i];
    }
    if (!more || m_bStop) break;
  }
  m_pStatus->setText(saved);
  set.Close();
  return !written.empty() && std::all_of(written.begin(), written.end(), [](bool w) { return w; });
}

void CViewBackup::OnCopyToClipboard() {
  if (m_bBusy) return;
  CWaitCursor wait;
  const CTreeItem* node = NodeOf(SelectedItem());
  if (node == nullptr || node->m_bFolder) return;
  m_bBusy = 1;
  m_bStop = 0;
  std::vector<std::string> pickList{node->m_strName};
  if (ExtractToScratch(pickList)) {
    const QString path = Text(pickList[0]);
    const QUrl url = QUrl::fromLocalFile(path);
    auto* data = new QMimeData;
    data->setUrls({url});                                                     // text/uri-list
    data->setData(QStringLiteral("x-special/gnome-copied-files"), "copy\n" + url.toEncoded());
    data->setText(path);                                                      // text/plain
    if (QClipboard* clipboard = QGuiApplication::clipboard())
      clipboard->setMimeData(data);
    else
      delete data;
  }
  m_bBusy = 0;
  m_bStop = 1;
}

void CViewBackup::OnPreview() {
  if (m_bBusy) return;
  CWaitCursor wait;
  SetStatusText("Opening...");
  const CTreeItem* node = NodeOf(SelectedItem());
  if (node != nullptr && !node->m_bFolder && !IsProgramLabel(node->m_strText)) {
    m_bBusy = 1;
    m_bStop = 0;
    std::vector<std::string> pickList{node->m_strName};
    if (ExtractToScratch(pickList)) OpenScratchFile(pickList[0]);
    m_bBusy = 0;
    m_bStop = 1;
  }
  SetStatusText("");
}

std::string CViewBackup::OpenErrorText(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
    case EAGAIN: return "The operating system is out of memory or resources.";
    case ENOENT: return "The specified file was not found.";
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG: return "The specified path was not found.";
    case EACCES:
    case EPERM: return "The operating system denied access to the specified file.";
    case ENOMEM: return "There was not enough memory to complete the operation.";
    case ENOEXEC: return "The .exe file is invalid (non-Microsoft Win32\u00ae .exe or error in .exe image).";
    case ETXTBSY: return "A sharing violation occurred.";
    case ELIBACC: return "The specified dynamic-link library (DLL) was not found.";
    default: return "Error opening!";
  }
}

bool CViewBackup::HasDefaultApplication(const std::string& path) {
  const QString type = QMimeDatabase().mimeTypeForFile(Text(path)).name();
  QProcess query;
  query.start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"), type});
  if (!query.waitForStarted(5000)) return false;  // no xdg-mime: no association known
  if (!query.waitForFinished(10000)) {
    query.kill();
    query.waitForFinished(1000);
    return false;
  }
  return query.exitStatus() == QProcess::NormalExit && query.exitCode() == 0 &&
         !query.readAllStandardOutput().trimmed().isEmpty();
}

bool CViewBackup::OpenWithChooser(const std::string& path) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const QDBusUnixFileDescriptor descriptor(fd);  // keeps a duplicate
  ::close(fd);
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
      QStringLiteral("org.freedesktop.portal.OpenURI"), QStringLiteral("OpenFile"));
  QVariantMap options;
  options.insert(QStringLiteral("ask"), true);
  call << QString() << QVariant::fromValue(descriptor) << options;
  const QDBusMessage reply = bus.call(call, QDBus::Block, 15000);
  return reply.type() == QDBusMessage::ReplyMessage;
}

void CViewBackup::OpenScratchFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) return;
  CWaitCursor wait;
  std::string message;
  if (!HasDefaultApplication(path)) {
    // No program for the type: the desktop's Open With chooser. Where no portal answers, the
    // user would otherwise see nothing happen at all.
    if (!OpenWithChooser(path)) message = "Error opening!";
  } else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(Text(path)))) {
    message = ::access(path.c_str(), R_OK) == 0 ? "Error opening!" : OpenErrorText(errno);
  }
  if (message.empty()) return;
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Ferncastle"), QString::fromUtf8(message.c_str()),
                  QMessageBox::Ok, this);
  fern::KeepCaptionWhole(box);
  box.exec();
}
