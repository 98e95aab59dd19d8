// The viewer's restore writes only to the drive it was opened for: once that drive is no longer
// mounted at its root, the bare mount-point folder (on the PC's own disk) receives nothing, and
// the user is told in one row that the drive was removed.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QLabel>
#include <QTableWidget>

#include "ViewerTestSupport.h"
#include "dialogs/ErrorDlg.h"
#include "res/Resource.h"
#include "tests/dialogs/ModalHelpers.h"

using namespace viewertest;

namespace {

// The rows of the next error list, "name | text" each; the list is closed.
struct ErrorRows {
  std::vector<std::string> rows;
  WhenModal<CErrorDlg> close{[this](CErrorDlg* dialog) {
    for (int r = 0; r < dialog->List()->rowCount(); ++r)
      rows.push_back(dialog->List()->item(r, 0)->text().toStdString() + " | " +
                     dialog->List()->item(r, 1)->text().toStdString());
    dialog->done(0);
  }};
};

const char kDriveRemoved[] = "The drive was removed during the restore. Files not yet restored were not written.";

}  // namespace

TEST(ViewerRestoreDrive, NothingIsWrittenAfterTheDriveWasUnmounted) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  TempDir dir, parent;
  const std::string point = parent / "stick";
  ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
  if (mount("fern-test", point.c_str(), "tmpfs", 0, "size=4m") != 0)
    GTEST_SKIP() << "mount of a tmpfs not allowed here";
  struct Unmount {
    std::string point;
    ~Unmount() { umount2(point.c_str(), MNT_DETACH); }
  } unmount{point};
  const std::string set = dir / "S-1.fcf";
  ASSERT_TRUE(WriteSet(set, {{"E:\\a.txt", "alpha"}, {"E:\\d\\b.txt", "bravo"}}));

  CViewBackup view;
  OpenAndLoad(view, set, point + "/");
  QModelIndex top = view.TopItem();
  view.Tree()->expandAll();
  ClickBox(view.Tree(), Child(top, "a.txt"));
  ASSERT_TRUE(view.CommandAction(ID_RESTORE_CHECKED)->isEnabled());

  // The stick goes; its mount-point folder stays behind.
  ASSERT_EQ(umount2(point.c_str(), MNT_DETACH), 0);
  {
    ErrorRows errors;
    view.CommandAction(ID_RESTORE_CHECKED)->trigger();
    ASSERT_TRUE(WaitIdle(view));
    EXPECT_EQ(errors.rows, std::vector<std::string>{point + " | " + kDriveRemoved});
  }
  EXPECT_EQ(view.StatusLine()->text(), "Done!");
  EXPECT_FALSE(Exists(point + "/a.txt"));
  EXPECT_FALSE(Exists(point + "/d"));

  // Mounted again (another file system at the same folder): still not the drive it was.
  ASSERT_EQ(mount("fern-test", point.c_str(), "tmpfs", 0, "size=4m"), 0);
  ErrorRows errors;
  view.CommandAction(ID_RESTORE_CHECKED)->trigger();
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_EQ(errors.rows, std::vector<std::string>{point + " | " + kDriveRemoved});
  EXPECT_FALSE(Exists(point + "/a.txt"));
}
