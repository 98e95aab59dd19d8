// The set viewer: one backup set shown as a check-box folder tree, loaded by a worker while the
// user watches it grow, with Restore (checked files to the drive), Copy (a file to the
// clipboard) and Preview (open a file) on the selected or checked nodes. The dialog holds the
// widgets and the commands; the builder, the loader, the scratch actions and the restore do
// the work.
#pragma once

#include <QDialog>
#include <atomic>
#include <memory>
#include <string>

#include "dialogs/WorkerThread.h"
#include "platform/DriveRoot.h"
#include "viewer/SetTreeBuilder.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QToolBar;
class QModelIndex;
class QTreeView;
class CCheckedRestore;
class CScratchActions;
class CSetTreeLoader;
class CSetTreeModel;
class CViewerEngineUI;
class CViewerToolBar;

class CViewBackup : public QDialog {
  Q_OBJECT
 public:
  explicit CViewBackup(QWidget* parent = nullptr);
  ~CViewBackup() override;
  CViewBackup(const CViewBackup&) = delete;
  CViewBackup& operator=(const CViewBackup&) = delete;

  // Called by the opener before exec(): the full path of the set file, and the mount point of
  // the attached drive, ending in '/' ("" when none).
  void SetSetAndDrive(const std::string& setPath, const std::string& driveRoot);
  const std::string& SetPath() const { return m_strSetPath; }
  const std::string& DriveRoot() const { return m_strDriveRoot; }
  bool DriveAttached() const { return m_bDriveAttached; }
  // The band text, made when the dialog starts.
  const std::string& Title() const { return m_strTitle; }
  // Whether an operation (loading, restoring, extracting) runs; whether a stop is requested
  // (always so while nothing runs).
  bool Busy() const { return m_bBusy != 0; }
  bool StopRequested() const { return m_bStop != 0; }

  // The nodes of the tree, in creation order.
  size_t NodeCount() const { return m_builder.NodeCount(); }
  const CTreeItem& Node(size_t number) const { return m_builder.Node(number); }

  // Commands by number: ID_RESTORE_CHECKED, ID_COPY_TO_CLIPBOARD, ID_PREVIEW.
  void OnCommand(int id);

  // The widgets, by role (tests drive them).
  QTreeView* Tree() const { return m_tree; }
  CSetTreeModel* Model() const { return m_pModel; }
  QToolBar* ToolBar() const;
  QLabel* StatusLine() const { return m_pStatus; }
  QPushButton* StopButton() const { return m_pStopButton; }
  QAction* CommandAction(int id) const;

  // The node a tree item carries, or null (an item without data carries no node).
  static CTreeItem* NodeOf(const QModelIndex& index);
  // The first row of the top level, or an invalid index.
  QModelIndex TopItem() const;
  // The selected row, or an invalid index.
  QModelIndex SelectedItem() const;

  // The pop-up of menu 133 for an item, its entries enabled by the Preview and Copy rules.
  std::unique_ptr<QMenu> CreateItemMenu(const QModelIndex& item);
  // The check-box rules for a changed box, then the Restore rule.
  void OnCheckChanged(const QModelIndex& item);
  void RepositionControls();

 protected:
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void paintEvent(QPaintEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 public slots:
  void accept() override;  // Enter: ignored while an operation runs
  void reject() override;  // Escape, close box, stop button: OnCancel
  void done(int result) override;  // never while a worker uses the dialog

 private:
  // Dialog start: toolbar, status, title, and the loading worker.
  void OnInitDialog();
  void OnCancel();

  // Loading.
  static int LoadThreadProc(CViewBackup* view);
  // GUI thread: a batch of entries into the tree.
  void InsertEntries(const CSetTreeBuilder::CEntryBatch& batch);
  void EndLoading();

  // Command rules.
  void UpdateRestoreCommand();
  void OnTreeSelChanged();
  bool PreviewAllowed(const QModelIndex& item) const;
  bool CopyAllowed(const QModelIndex& item) const;
  void OnTreeRClick(const QPoint& pos);
  // Menu 133 of item at globalPos, its choice carried out.
  void ShowItemMenu(const QModelIndex& item, const QPoint& globalPos);
  void OnTreeRelease(const QPoint& pos);

  // File actions.
  void OnRestoreChecked();
  static int RestoreCheckedThreadProc(CViewBackup* view);
  void OnCopyToClipboard();
  void OnPreview();

  void SetStatusText(const std::string& text);  // from any thread

  friend class CViewerEngineUI;

  std::string m_strSetPath;
  std::string m_strTitle;
  std::string m_strDriveRoot;
  std::atomic<int> m_bBusy{0};
  std::atomic<int> m_bStop{1};
  bool m_bDriveAttached = false;
  fern::CDriveIdentity m_driveAtOpen;  // the drive at m_strDriveRoot when the dialog started

  CViewerToolBar* m_wndToolBar = nullptr;
  QTreeView* m_tree = nullptr;
  CSetTreeModel* m_pModel = nullptr;
  QLabel* m_pStatus = nullptr;
  QPushButton* m_pStopButton = nullptr;
  std::unique_ptr<CViewerEngineUI> m_pUI;
  CWorkerThread m_worker;
  bool m_bStarted = false;

  CSetTreeBuilder m_builder;  // the tree's nodes, built on the GUI thread alone
  std::unique_ptr<CSetTreeLoader> m_pLoader;
  std::unique_ptr<CScratchActions> m_pScratch;
  std::unique_ptr<CCheckedRestore> m_pRestore;
};
