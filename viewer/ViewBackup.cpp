#include "viewer/ViewBackup.h"

#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QMouseEvent>
#include <QPainter>
#include <QPushButton>
#include <QScreen>
#include <QToolBar>
#include <QItemSelectionModel>
#include <QTreeView>
#include <algorithm>
#include <vector>

#include "dialogs/ShownText.h"
#include "dialogs/GuiThread.h"
#include "dialogs/KeyboardMenu.h"
#include "res/Resource.h"
#include "res/gui/BandPainting.h"
#include "res/gui/DialogUnits.h"
#include "res/gui/ListPictures.h"
#include "storage/SetFormat.h"
#include "viewer/CheckedRestore.h"
#include "viewer/ScratchActions.h"
#include "viewer/SetTreeLoader.h"
#include "viewer/SetTreeModel.h"
#include "viewer/ViewerEngineUI.h"
#include "viewer/ViewerToolBar.h"
#include "viewer/WaitCursor.h"

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
  m_tree->installEventFilter(this);  // the Menu key and Shift+F10
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

  m_wndToolBar = new CViewerToolBar(this);
  for (int id : CViewerToolBar::kCommandIds)
    connect(m_wndToolBar->CommandAction(id), &QAction::triggered, this, [this, id] { OnCommand(id); });

  m_pLoader = std::make_unique<CSetTreeLoader>(*this, *m_pUI, m_bStop,
                                               [this](const CSetTreeBuilder::CEntryBatch& batch) { InsertEntries(batch); });
  m_pScratch = std::make_unique<CScratchActions>(*this, *m_pStatus, *m_pUI, m_bStop);
  m_pRestore = std::make_unique<CCheckedRestore>(*m_pUI, m_bStop);
}

CViewBackup::~CViewBackup() {
  m_bStop = 1;
  m_worker.Join();
  // The rows refer to the nodes: take the tree down first, without signals reaching a
  // half-destroyed dialog.
  if (m_tree != nullptr) {
    m_tree->viewport()->removeEventFilter(this);
    m_tree->removeEventFilter(this);
    m_tree->disconnect(this);
    if (m_tree->selectionModel() != nullptr) m_tree->selectionModel()->disconnect(this);
    delete m_tree;  // and the model with it
    m_tree = nullptr;
    m_pModel = nullptr;
  }
}

void CViewBackup::SetSetAndDrive(const std::string& setPath, const std::string& driveRoot) {
  m_strSetPath = setPath;
  m_strDriveRoot = driveRoot;
  m_bDriveAttached = !driveRoot.empty();
}

QToolBar* CViewBackup::ToolBar() const { return m_wndToolBar; }

QAction* CViewBackup::CommandAction(int id) const { return m_wndToolBar->CommandAction(id); }

CTreeItem* CViewBackup::NodeOf(const QModelIndex& index) {
  if (!index.isValid()) return nullptr;
  return static_cast<CTreeItem*>(index.data(Qt::UserRole).value<void*>());
}

QModelIndex CViewBackup::TopItem() const { return m_pModel->index(0, 0); }

QModelIndex CViewBackup::SelectedItem() const {
  const QModelIndexList selected = m_tree->selectionModel()->selectedIndexes();
  return selected.isEmpty() ? QModelIndex() : selected.first();
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
  for (int id : CViewerToolBar::kCommandIds) CommandAction(id)->setEnabled(false);

  struct stat status {};
  if (!m_strSetPath.empty() && ::stat(m_strSetPath.c_str(), &status) == 0) {
    const std::string bare = fern::BareFileName(m_strSetPath);
    const size_t dash = bare.find('-');
    m_strTitle = (dash == std::string::npos ? std::string() : bare.substr(0, dash)) + " (" +
                 fern::FormatSetDate(static_cast<int64_t>(status.st_mtime)) + ")";
  }
  // No thread: an empty tree, as for a missing set.
  if (!m_worker.Start([this] { LoadThreadProc(this); })) EndLoading();
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
  fern::PaintBand(painter, *this, fern::VerticalFont(), fern::ShownText(m_strTitle));
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
    m_pStatus->setText(fern::ShownText(text));
    m_pStatus->repaint();
  });
}

// ---------------------------------------------------------------------------------------------
// Loading

int CViewBackup::LoadThreadProc(CViewBackup* view) {
  const bool opened = view->m_pLoader->LoadSet(view->m_strSetPath);
  // Queued behind the last batch, so the tree is whole when this runs.
  fern::RunOnGuiThread([view, opened] {
    if (opened) view->m_tree->viewport()->repaint();
    view->m_pStopButton->hide();
  });
  fern::RunOnGuiThread([view] { view->EndLoading(); });
  return 1;
}

void CViewBackup::InsertEntries(const CSetTreeBuilder::CEntryBatch& batch) {
  m_builder.AddBatch(batch);
  // The first level below the drive is always open; deeper folders stay closed.
  if (m_builder.ShowPending(*m_pModel) && !m_tree->isExpanded(TopItem())) m_tree->expand(TopItem());
}

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
  const bool topChecked = CSetTreeModel::IsChecked(TopItem());
  CommandAction(ID_RESTORE_CHECKED)->setEnabled(!m_bBusy && topChecked && m_bDriveAttached);
}

bool CViewBackup::PreviewAllowed(const QModelIndex& item) const {
  const CTreeItem* node = NodeOf(item);
  return node != nullptr && !node->m_bFolder && !CScratchActions::IsProgramLabel(node->m_strText) && !m_bBusy;
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
  if (m_tree != nullptr && watched == m_tree && fern::IsKeyboardMenuRequest(event)) {
    const QModelIndex item = SelectedItem();
    if (item.isValid()) ShowItemMenu(item, fern::MenuPointOfRow(*m_tree, item));
    return true;
  }
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
  const bool before = CSetTreeModel::IsChecked(item);
  const QPersistentModelIndex clicked(item);
  QMetaObject::invokeMethod(
      this,
      [this, clicked, before] {
        if (m_tree != nullptr && clicked.isValid() && CSetTreeModel::IsChecked(clicked) != before) OnCheckChanged(clicked);
      },
      Qt::QueuedConnection);
}

void CViewBackup::OnCheckChanged(const QModelIndex& item) {
  if (!item.isValid()) return;
  m_pModel->SpreadCheck(item);
  UpdateRestoreCommand();
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
  ShowItemMenu(item, m_tree->viewport()->mapToGlobal(pos));
}

void CViewBackup::ShowItemMenu(const QModelIndex& item, const QPoint& globalPos) {
  std::unique_ptr<QMenu> menu = CreateItemMenu(item);
  activateWindow();
  QAction* chosen = menu->exec(globalPos);
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
  if (!m_worker.Start([this] { RestoreCheckedThreadProc(this); })) {
    m_bBusy = 0;
    m_bStop = 1;
    m_pStatus->setText(QStringLiteral("Done!"));
  }
}

int CViewBackup::RestoreCheckedThreadProc(CViewBackup* view) {
  std::vector<std::string> pickList;
  fern::RunOnGuiThread([view, &pickList] {
    if (view->TopItem().isValid()) view->m_pModel->CollectCheckedFiles(view->TopItem(), pickList);
  });
  view->m_pRestore->RestoreCheckedFiles(view->m_strSetPath, view->m_strDriveRoot,
                                        view->m_driveAtOpen.valid ? &view->m_driveAtOpen : nullptr, pickList);
  fern::RunOnGuiThread([view] {
    view->m_bBusy = 0;
    view->m_bStop = 1;
    view->m_pStatus->setText(QStringLiteral("Done!"));
  });
  return 1;
}

// ---------------------------------------------------------------------------------------------
// Copy and Preview

void CViewBackup::OnCopyToClipboard() {
  if (m_bBusy) return;
  CWaitCursor wait;
  const CTreeItem* node = NodeOf(SelectedItem());
  if (node == nullptr || node->m_bFolder) return;
  m_bBusy = 1;
  m_bStop = 0;
  std::vector<std::string> pickList{node->m_strName};
  if (m_pScratch->ExtractToScratch(m_strSetPath, pickList)) CScratchActions::PutOnClipboard(pickList[0]);
  m_bBusy = 0;
  m_bStop = 1;
}

void CViewBackup::OnPreview() {
  if (m_bBusy) return;
  CWaitCursor wait;
  SetStatusText("Opening...");
  const CTreeItem* node = NodeOf(SelectedItem());
  if (node != nullptr && !node->m_bFolder && !CScratchActions::IsProgramLabel(node->m_strText)) {
    m_bBusy = 1;
    m_bStop = 0;
    std::vector<std::string> pickList{node->m_strName};
    if (m_pScratch->ExtractToScratch(m_strSetPath, pickList)) m_pScratch->OpenScratchFile(pickList[0]);
    m_bBusy = 0;
    m_bStop = 1;
  }
  SetStatusText("");
}
