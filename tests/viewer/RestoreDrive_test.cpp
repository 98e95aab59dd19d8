// The viewer's restore writes only to the drive it was opened for: once that drive is no longer
// mounted at its root, the bare mount-point folder (on the PC's own disk) receives nothing.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QLabel>

#include "ViewerTestSupport.h"
#include "res/Resource.h"

using namespace viewertest;

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
  view.CommandAction(ID_RESTORE_CHECKED)->trigger();
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_EQ(view.StatusLine()->text(), "Done!");
  EXPECT_FALSE(Exists(point + "/a.txt"));
  EXPECT_FALSE(Exists(point + "/d"));

  // Mounted again (another file system at the same folder): still not the drive it was.
  ASSERT_EQ(mount("fern-test", point.c_str(), "tmpfs", 0, "size=4m"), 0);
  view.CommandAction(ID_RESTORE_CHECKED)->trigger();
  ASSERT_TRUE(WaitIdle(view));
  EXPECT_FALSE(Exists(point + "/a.txt"));
}
