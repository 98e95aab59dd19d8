// The set viewer: one backup set shown as a check-box folder tree, loaded by a worker while the
// user watches it grow, with Restore (checked files to the drive), Copy (a file to the
// clipboard) and Preview (open a file) on the selected or checked nodes.
#pragma once

#include <QDialog>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/EngineUI.h"
#include "platform/DriveRoot.h"
#include "viewer/TreeIndex.h"
#include "viewer/TreeItem.h"

class QAction;
class QLabel;
class QMenu;
class QPushButton;
class QToolBar;
class QModelIndex;
class QTreeView;
class CSetTreeModel;
class CViewerEngineUI;

class CViewBackup : public QDialog {
  Q_OBJECT
 public:
  explicit CViewBackup(QWidget* parent = nullptr);
  ~CViewBackup() override;
  CViewBackup(const CViewBackup&) = delete;
  CViewBackup& operator=(const CViewBackup&) = delete;

  // Set by the opener before exec().
  std::string m_strSetPath;     // full path of the set file
  std::string m_strTitle;       // band text, made when the dialog starts
  std::string m_strDriveRoot;   // mount point of the attached drive, ending in '/'; "" when none
  std::atomic<int> m_bBusy{0};  // an operation (loading, restoring, extracting) runs
  std::atomic<int> m_bStop{1};  // stop request; 1 whenever nothing runs
  bool m_bDriveAttached = false;
  fern::CDriveIdentity m_driveAtOpen;  // the drive at m_strDriveRoot when the dialog started
  std::vector<std::unique_ptr<CTreeItem>> m_items;  // every node, in creation order

  // Commands by number: ID_RESTORE_CHECKED, ID_COPY_TO_CLIPBOARD, ID_PREVIEW.
  void OnCommand(int id);

  // The widgets, by role (tests drive them).
  QTreeView* Tree() const { return m_tree; }
  CSetTreeModel* Model() const { return m_pModel; }
  QToolBar* ToolBar() const { return m_wndToolBar; }
  QLabel* StatusLine() const { return m_pStatus; }
  QPushButton* StopButton() const { return m_pStopButton; }
  QAction* CommandAction(int id) const;

  // The node a tree item carries, or null (an item without data carries no node).
  static CTreeItem* NodeOf(const QModelIndex& index);
  // The first row of the top level, or an invalid index.
  QModelIndex TopItem() const;
  // The selected row, or an invalid index.
  QModelIndex SelectedItem() const;

  // Sibling order: folders first, then labels without regard to case, then byte order.
  static int CompareItems(const CTreeItem& a, const CTreeItem& b);
  // Whether a label's last three characters, lower-cased, name a program (exe, bat, com).
  static bool IsProgramLabel(const std::string& label);

  // The pop-up of menu 133 for an item, its entries enabled by the Preview and Copy rules.
  std::unique_ptr<QMenu> CreateItemMenu(const QModelIndex& item);
  // The check-box rules: every descendant takes the item's state, every ancestor the state
  // computed for the parent; then the Restore rule.
  void OnCheckChanged(const QModelIndex& item);
  void SetSubtreeCheck(const QModelIndex& item, int state);
  // Whether a row's box is checked.
  static bool IsChecked(const QModelIndex& item);
  void RepositionControls();

  // Message for a failure to open a file of that errno value; "Error opening!" for others.
  static std::string OpenErrorText(int error);

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
  void LoadSet();
  void AddEntry(const std::string& name, uint32_t size, int64_t time);
  // The number of parent's child (parent -1: the top level) labelled label exactly, or -1.
  int FindChildItem(int parent, std::string_view label) const;
  // Worker: hands the entries read since the last hand-over to the GUI thread, which adds them
  // to the tree while the worker reads on. Waits only while the GUI thread has not yet
  // finished the batch before the previous one.
  void HandOverEntries();
  void EndLoading();

  // Command rules.
  void UpdateRestoreCommand();
  void OnTreeSelChanged();
  bool PreviewAllowed(const QModelIndex& item) const;
  bool CopyAllowed(const QModelIndex& item) const;
  void OnTreeRClick(const QPoint& pos);
  void OnTreeRelease(const QPoint& pos);

  // File actions.
  void OnRestoreChecked();
  static int RestoreCheckedThreadProc(CViewBackup* view);
  void RestoreCheckedFiles();
  void CollectCheckedFiles(const QModelIndex& item, std::vector<std::string>& list);
  void OnCopyToClipboard();
  void OnPreview();
  // True when every element was picked and its scratch copy written completely.
  bool ExtractToScratch(std::vector<std::string>& pickList);
  void OpenScratchFile(const std::string& path);
  static bool HasDefaultApplication(const std::string& path);
  static bool OpenWithChooser(const std::string& path);

  void SetStatusText(const std::string& text);  // from any thread
  void JoinWorker();
  static void LowerThreadPriority();
  void StartWorker(int (*proc)(CViewBackup*));

  friend class CViewerEngineUI;

  QToolBar* m_wndToolBar = nullptr;
  QTreeView* m_tree = nullptr;
  CSetTreeModel* m_pModel = nullptr;
  QLabel* m_pStatus = nullptr;
  QPushButton* m_pStopButton = nullptr;
  std::unique_ptr<CViewerEngineUI> m_pUI;
  std::thread m_worker;
  std::atomic<bool> m_bWorkerDone{true};  // set by the worker as its very last step
  bool m_bStarted = false;
  // The answer "to All" of the overwrite prompt, remembered across the entries of one restore.
  OverwriteAnswer m_nOverwriteAnswer = OverwriteAnswer::None;

  // Entries read by the worker and not yet in the tree: their stored names one after the
  // other, with the piece of each and its size and time.
  struct CEntryBatch {
    struct CEntry {
      size_t offset;
      size_t length;
      uint32_t size;
      int64_t time;
    };
    std::string names;
    std::vector<CEntry> entries;
  };
  // GUI thread: adds a batch's entries and shows their nodes.
  void InsertEntries(const CEntryBatch& batch);

  // Loading: the worker's batch being filled, handed over whole so that the GUI thread is
  // called far less often than once an entry. The tree is built on the GUI thread alone: its
  // index of the nodes by number (m_items order); the folder chain of the previous entry,
  // which the next one usually shares; the nodes of a batch that the tree does not show yet.
  CEntryBatch m_batch;
  int64_t m_nLastFlushMs = 0;
  CTreeIndex m_index;
  std::string m_strLastName;
  std::vector<std::pair<size_t, int>> m_lastChain;  // backslash position, folder node
  std::vector<std::pair<int, int>> m_pending;       // parent (-1: top), node
  // Batches handed over and not yet inserted.
  std::mutex m_batchMutex;
  std::condition_variable m_cvBatch;
  int m_nBatchesOut = 0;
};
