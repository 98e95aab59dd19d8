// The viewer dialog driven as a user would: check boxes, command rules, menu, layout, closing.
#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QPushButton>
#include <QStandardItemModel>
#include <QContextMenuEvent>
#include <QKeyEvent>
#include <QToolBar>
#include <QWindow>

#include "ViewerTestSupport.h"
#include "res/Resource.h"
#include "viewer/SetTreeModel.h"
#include "viewer/TreeItem.h"

using namespace viewertest;

namespace {

// E: holding folders A and B with one file each, and a top-level file.
std::vector<Entry> TwoFolders() {
  return {{"E:\\A\\a.txt", "in A"}, {"E:\\B\\b.txt", "in B"}, {"E:\\B\\deep\\c.txt", "deeper"}, {"E:\\top.txt", "t"}};
}

}  // namespace

TEST(ViewerDialog, FolderBoxChecksDownAndUp) {
  TempDir dir;
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, TwoFolders()));
  CViewBackup view;
  OpenAndLoad(view, set, dir.Path() + "/");
  QTreeView* tree = view.Tree();
  QModelIndex top = view.TopItem();
  QModelIndex b = Child(top, "B");
  ASSERT_TRUE((b).isValid());
  tree->expandAll();

  ClickBox(tree, b);
  EXPECT_TRUE(Checked(b));
  EXPECT_TRUE(Checked(Child(b, "b.txt")));
  EXPECT_TRUE(Checked(Child(b, "deep")));
  EXPECT_TRUE(Checked(Child(Child(b, "deep"), "c.txt")));
  EXPECT_TRUE(Checked(top));  // up to the drive
  EXPECT_FALSE(Checked(Child(top, "A")));
  EXPECT_FALSE(Checked(Child(top, "top.txt")));
  EXPECT_TRUE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
  EXPECT_EQ(tree->currentIndex(), b);  // a click selects the row

  // Unchecking the only checked branch unchecks the drive node; Restore goes off.
  ClickBox(tree, b);
  EXPECT_FALSE(Checked(top));
  EXPECT_FALSE(Checked(Child(Child(b, "deep"), "c.txt")));
  EXPECT_FALSE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());

  // A file whose siblings are unchecked checks its folders up to the drive.
  QModelIndex c = Child(Child(b, "deep"), "c.txt");
  ClickBox(tree, c);
  EXPECT_TRUE(Checked(c));
  EXPECT_TRUE(Checked(Child(b, "deep")));
  EXPECT_TRUE(Checked(b));
  EXPECT_TRUE(Checked(top));
  EXPECT_FALSE(Checked(Child(b, "b.txt")));
}

TEST(ViewerDialog, UncheckingOneBranchUnchecksEveryAncestor) {
  TempDir dir;
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, TwoFolders()));
  CViewBackup view;
  OpenAndLoad(view, set, dir.Path() + "/");
  QTreeView* tree = view.Tree();
  tree->expandAll();
  QModelIndex top = view.TopItem();
  QModelIndex a = Child(top, "A");
  QModelIndex b = Child(top, "B");
  ClickBox(tree, Child(a, "a.txt"));
  ClickBox(tree, Child(b, "b.txt"));
  ASSERT_TRUE(Checked(a) && Checked(b) && Checked(top));
  EXPECT_TRUE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());

  // The ancestors all take the state computed for the parent: A and the drive go off although
  // B and its file stay checked.
  ClickBox(tree, Child(a, "a.txt"));
  EXPECT_FALSE(Checked(a));
  EXPECT_FALSE(Checked(top));
  EXPECT_TRUE(Checked(b));
  EXPECT_TRUE(Checked(Child(b, "b.txt")));
  EXPECT_FALSE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());

  ClickBox(tree, Child(a, "a.txt"));
  EXPECT_TRUE(Checked(a));
  EXPECT_TRUE(Checked(top));
  EXPECT_TRUE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
}

TEST(ViewerDialog, OnlyMouseClicksOnTheBoxSpread) {
  TempDir dir;
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, TwoFolders()));
  CViewBackup view;
  OpenAndLoad(view, set, dir.Path() + "/");
  QTreeView* tree = view.Tree();
  QModelIndex top = view.TopItem();
  QModelIndex b = Child(top, "B");

  // A click on the label selects without toggling anything.
  QRect row = tree->visualRect(b);
  Click(tree->viewport(), QPoint(row.right() - 2, row.center().y()));
  EXPECT_EQ(tree->currentIndex(), b);
  EXPECT_FALSE(Checked(b));

  // The keyboard toggles that one node only.
  tree->setFocus();
  Key(tree, Qt::Key_Space);
  EXPECT_TRUE(Checked(b));
  EXPECT_FALSE(Checked(Child(b, "b.txt")));
  EXPECT_FALSE(Checked(top));
  EXPECT_FALSE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
}

TEST(ViewerDialog, RestoreNeedsADriveWhenTheViewerOpened) {
  TempDir dir;
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, TwoFolders()));
  CViewBackup view;
  OpenAndLoad(view, set);  // no drive
  QModelIndex top = view.TopItem();
  ClickBox(view.Tree(), top);
  EXPECT_TRUE(Checked(top));
  EXPECT_TRUE(Checked(Child(Child(top, "B"), "b.txt")));
  EXPECT_FALSE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
}

TEST(ViewerDialog, PreviewRefusesProgramsCopyDoesNot) {
  TempDir dir;
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, {{"E:\\run.EXE", "MZ"}, {"E:\\x.bat", "@echo"}, {"E:\\y.com", "c"},
                             {"E:\\mybat", "m"}, {"E:\\go.cmd", "g"}, {"E:\\dir\\f.txt", "f"}}));
  CViewBackup view;
  OpenAndLoad(view, set);
  QTreeView* tree = view.Tree();
  QModelIndex top = view.TopItem();
  QAction* preview = view.CommandAction(ID_PREVIEW);
  QAction* copy = view.CommandAction(ID_COPY_TO_CLIPBOARD);
  for (const char* label : {"run.EXE", "x.bat", "y.com", "mybat"}) {
    tree->setCurrentIndex(Child(top, label));
    EXPECT_FALSE(preview->isEnabled()) << label;
    EXPECT_TRUE(copy->isEnabled()) << label;
  }
  tree->setCurrentIndex(Child(top, "go.cmd"));
  EXPECT_TRUE(preview->isEnabled());
  EXPECT_TRUE(copy->isEnabled());
  tree->setCurrentIndex(Child(top, "dir"));
  EXPECT_FALSE(preview->isEnabled());
  EXPECT_FALSE(copy->isEnabled());

  // The context menu: a folder grays both, a program only Preview.
  {
    std::unique_ptr<QMenu> menu = view.CreateItemMenu(Child(top, "dir"));
    ASSERT_EQ(menu->actions().size(), 2);
    EXPECT_EQ(menu->actions()[0]->text(), "Preview...");
    EXPECT_EQ(menu->actions()[1]->text(), "Copy To ClipBoard");
    EXPECT_FALSE(menu->actions()[0]->isEnabled());
    EXPECT_FALSE(menu->actions()[1]->isEnabled());
  }
  {
    PopupCatcher popup;
    QModelIndex exe = Child(top, "run.EXE");
    tree->clearSelection();
    const QPoint at = tree->visualRect(exe).center();
    QContextMenuEvent event(QContextMenuEvent::Mouse, at, tree->viewport()->mapToGlobal(at));
    QApplication::sendEvent(tree->viewport(), &event);
    EXPECT_EQ(tree->currentIndex(), exe);  // selected before the menu shows
    ASSERT_EQ(popup.entries.size(), 2u);
    EXPECT_FALSE(popup.entries[0].second);
    EXPECT_TRUE(popup.entries[1].second);
  }
  {
    // Empty space below the last row: no menu.
    PopupCatcher popup;
    const QPoint below(5, tree->viewport()->height() - 2);
    ASSERT_FALSE(tree->indexAt(below).isValid());
    QContextMenuEvent event(QContextMenuEvent::Mouse, below, tree->viewport()->mapToGlobal(below));
    QApplication::sendEvent(tree->viewport(), &event);
    QApplication::processEvents();
    EXPECT_TRUE(popup.entries.empty());
  }
  // No selection, or a row without a node, counts as no file.
  tree->clearSelection();
  EXPECT_FALSE(preview->isEnabled());
  EXPECT_FALSE(copy->isEnabled());
  QStandardItemModel foreign;
  foreign.appendRow(new QStandardItem(QStringLiteral("bare.txt")));
  EXPECT_EQ(CViewBackup::NodeOf(foreign.index(0, 0)), nullptr);
  EXPECT_EQ(CViewBackup::NodeOf(QModelIndex()), nullptr);
}

TEST(ViewerDialog, LayoutFollowsTheWindowSize) {
  CViewBackup view;
  view.show();
  WaitIdle(view);
  for (QSize size : {QSize(500, 400), QSize(640, 300)}) {
    view.resize(size);
    QApplication::processEvents();
    const int w = view.width();
    const int h = view.height();
    EXPECT_EQ(view.Tree()->geometry(), QRect(31, 40, w - 33, h - 60));
    EXPECT_EQ(view.StatusLine()->geometry(), QRect(34, h - 18, 100, 16));
    EXPECT_EQ(view.StopButton()->geometry(), QRect(139, h - 18, 80, 16));
    EXPECT_EQ(view.ToolBar()->geometry(), QRect(31, 0, w - 33, 35));
  }
  EXPECT_EQ(view.windowTitle(), "Fernlet");
  EXPECT_TRUE(view.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(view.windowFlags() & Qt::WindowMinimizeButtonHint);
}

TEST(ViewerDialog, ToolbarHasThreePicturesAndTips) {
  CViewBackup view;
  QToolBar* bar = view.ToolBar();
  ASSERT_EQ(bar->actions().size(), 3);
  EXPECT_EQ(bar->actions()[0]->data().toInt(), ID_RESTORE_CHECKED);
  EXPECT_EQ(bar->actions()[1]->data().toInt(), ID_COPY_TO_CLIPBOARD);
  EXPECT_EQ(bar->actions()[2]->data().toInt(), ID_PREVIEW);
  EXPECT_EQ(view.CommandAction(ID_RESTORE_CHECKED)->toolTip(), "Restore the checked file(s) to the USB Flash drive");
  EXPECT_EQ(view.CommandAction(ID_COPY_TO_CLIPBOARD)->toolTip(),
            "Copy the selected file to the windows clipboard to paste into Windows Explorer");
  EXPECT_EQ(view.CommandAction(ID_PREVIEW)->toolTip(), "Preview the selected file");
  EXPECT_EQ(bar->iconSize(), QSize(39, 24));
  for (QAction* action : bar->actions()) {
    EXPECT_FALSE(action->icon().isNull());
    EXPECT_FALSE(action->isEnabled());
  }
}

TEST(ViewerDialog, EscapeWhileLoadingStopsThenCloses) {
  TempDir dir;
  const std::string set = dir / "BIG-1.fcf";
  std::vector<Entry> entries;
  for (int i = 0; i < 40000; ++i)
    entries.push_back({"E:\\f" + std::to_string(i % 40) + "\\n" + std::to_string(i) + ".txt", "x"});
  ASSERT_TRUE(WriteSet(set, entries));
  CViewBackup view;
  view.SetSetAndDrive(set, "");
  view.show();
  ASSERT_TRUE(view.Busy());
  EXPECT_EQ(view.StatusLine()->text(), "Loading...");
  EXPECT_TRUE(view.StopButton()->isVisible());

  Key(view.Tree(), Qt::Key_Return);  // Enter must not close while the worker runs
  EXPECT_TRUE(view.isVisible());
  Key(view.Tree(), Qt::Key_Escape);
  EXPECT_TRUE(view.isVisible());
  EXPECT_TRUE(view.StopRequested());
  EXPECT_EQ(view.StatusLine()->text(), "Cancelled...");
  EXPECT_FALSE(view.StopButton()->isVisible());

  ASSERT_TRUE(WaitIdle(view));
  EXPECT_TRUE(view.isVisible());
  EXPECT_EQ(view.StatusLine()->text(), "");
  EXPECT_FALSE(view.StopButton()->isVisible());
  QModelIndex top = view.TopItem();
  ASSERT_TRUE((top).isValid());  // at least the first entry's chain
  EXPECT_TRUE((Child(Child(top, "f0"), "n0.txt")).isValid());
  EXPECT_LT(view.NodeCount(), 40000u);  // stopped early

  Key(view.Tree(), Qt::Key_Escape);
  EXPECT_FALSE(view.isVisible());
  EXPECT_EQ(view.result(), QDialog::Rejected);
}

TEST(ViewerDialog, StopButtonAndEnterWhenIdle) {
  TempDir dir;
  const std::string set = dir / "BIG-2.fcf";
  std::vector<Entry> entries;
  for (int i = 0; i < 20000; ++i) entries.push_back({"E:\\n" + std::to_string(i), "y"});
  ASSERT_TRUE(WriteSet(set, entries));
  CViewBackup view;
  view.SetSetAndDrive(set, "");
  view.show();
  view.StopButton()->click();
  EXPECT_EQ(view.StatusLine()->text(), "Cancelled...");
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_TRUE(view.isVisible());
  Key(view.Tree(), Qt::Key_Enter);  // idle: Enter ends the dialog
  EXPECT_FALSE(view.isVisible());
  EXPECT_EQ(view.result(), QDialog::Accepted);
}

TEST(ViewerDialog, BoxesCheckedWhileLoadingCountAtTheEnd) {
  TempDir dir;
  const std::string set = dir / "BIG-3.fcf";
  std::vector<Entry> entries;
  for (int i = 0; i < 30000; ++i) entries.push_back({"E:\\d\\n" + std::to_string(i), "z"});
  ASSERT_TRUE(WriteSet(set, entries));
  CViewBackup view;
  view.SetSetAndDrive(set, dir.Path() + "/");
  view.show();
  // Wait for the first nodes, then check the drive while the rest still comes in.
  while (view.Busy() && view.Model()->rowCount() == 0) QApplication::processEvents(QEventLoop::AllEvents, 5);
  QModelIndex top = view.TopItem();
  ASSERT_TRUE((top).isValid());
  view.Model()->setData(top, Qt::Checked, Qt::CheckStateRole);
  const bool stillLoading = view.Busy();  // only the GUI thread clears it
  view.OnCheckChanged(top);
  if (stillLoading) {
    EXPECT_FALSE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
  }
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_TRUE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());
  // The tree is sorted at the end: labels ascend without regard to case.
  QModelIndex d = Child(top, "d");
  ASSERT_TRUE((d).isValid());
  const QAbstractItemModel* model = view.Model();
  ASSERT_EQ(model->rowCount(d), 30000);
  for (int i = 1; i < model->rowCount(d); ++i)
    ASSERT_LT(CSetTreeBuilder::CompareItems(*CViewBackup::NodeOf(model->index(i - 1, 0, d)),
                                        *CViewBackup::NodeOf(model->index(i, 0, d))),
              0);
}

// The keyboard reaches menu 133 and the toolbar. Keys go to the dialog's window as the platform
// delivers them: the Menu key as a context menu event of the keyboard, Shift+F10 as a key.
TEST(ViewerDialog, MenuKeyShiftF10AndTabFromTheKeyboard) {
  TempDir dir;
  const std::string set = dir / "S-1.fcf";
  std::vector<Entry> entries;
  for (int i = 0; i < 40; ++i) entries.push_back({"E:\\f" + std::to_string(100 + i) + ".txt", "x"});
  entries.push_back({"E:\\run.exe", "MZ"});
  ASSERT_TRUE(WriteSet(set, entries));
  CViewBackup view;
  OpenAndLoad(view, set);
  view.activateWindow();
  QTreeView* tree = view.Tree();
  tree->setFocus();
  ASSERT_TRUE(WaitIdle(view));
  ASSERT_EQ(QApplication::focusWidget(), tree);
  QWindow* window = view.windowHandle();
  ASSERT_NE(window, nullptr);

  // Far below the top: the menu opens at the row, scrolled into view, whatever the mouse does.
  const QModelIndex program = Child(view.TopItem(), "run.exe");
  tree->setCurrentIndex(program);
  tree->scrollToTop();
  auto expected = [&] {
    const QRect row = tree->visualRect(program);
    return tree->viewport()->mapToGlobal(QPoint(row.left() + row.height(), row.bottom()));
  };
  {
    PopupCatcher popup;
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(1, 1), view.mapToGlobal(QPoint(1, 1)));
    QApplication::sendEvent(window, &menuKey);
    ASSERT_EQ(popup.entries.size(), 2u) << "the Menu key opened no menu";
    EXPECT_EQ(popup.entries[0], (std::pair<std::string, bool>{"Preview...", false}));
    EXPECT_EQ(popup.entries[1], (std::pair<std::string, bool>{"Copy To ClipBoard", true}));
    EXPECT_TRUE(tree->viewport()->rect().contains(tree->visualRect(program).center()));
    EXPECT_EQ(popup.where, expected());
  }
  const QModelIndex text = Child(view.TopItem(), "f101.txt");
  tree->setCurrentIndex(text);
  {
    PopupCatcher popup;
    QKeyEvent press(QEvent::KeyPress, Qt::Key_F10, Qt::ShiftModifier);
    QApplication::sendEvent(window, &press);
    ASSERT_EQ(popup.entries.size(), 2u) << "Shift+F10 opened no menu";
    EXPECT_TRUE(popup.entries[0].second);
    const QRect row = tree->visualRect(text);
    EXPECT_EQ(popup.where, tree->viewport()->mapToGlobal(QPoint(row.left() + row.height(), row.bottom())));
  }
  EXPECT_EQ(tree->currentIndex(), text);

  // Tab leaves the tree for the toolbar's enabled buttons, Shift+Tab comes back.
  ASSERT_TRUE(view.CommandAction(ID_PREVIEW)->isEnabled());
  QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
  QApplication::sendEvent(window, &tab);
  QWidget* focus = QApplication::focusWidget();
  ASSERT_NE(focus, nullptr);
  EXPECT_EQ(focus->parentWidget(), view.ToolBar()) << focus->metaObject()->className();
  QKeyEvent backTab(QEvent::KeyPress, Qt::Key_Backtab, Qt::ShiftModifier);
  QApplication::sendEvent(window, &backTab);
  EXPECT_EQ(QApplication::focusWidget(), tree);
}
