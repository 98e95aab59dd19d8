// The runs, the drive and the schedule seen from the main window: real folders as the drive,
// real sets in the backups folder, the worker threads for real.
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QLabel>
#include <QMouseEvent>
#include <QTimer>
#include <QTreeWidget>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>
#include <system_error>
#include <utility>
#include <vector>

#include <QTableWidget>

#include "AppTestUtil.h"
#include "app/fernapp.h"
#include "app/fernappDlg.h"
#include "dialogs/ErrorDlg.h"
#include "tests/dialogs/NoThreadStart.h"
#include "tests/engine/UnmountOnOpen.h"
#include "tests/platform/DriveTestMount.h"
#include "res/Resource.h"
#include "platform/Volume.h"
#include "settings/SettingsStore.h"
#include "viewer/ViewBackup.h"

using namespace apptest;

namespace {

class RunsTest : public CurrentFolderTest {
 protected:
  void SetUp() override {
    CurrentFolderTest::SetUp();
    m_drive = m_folder + "/MYSTICK/";
    std::filesystem::create_directories(m_drive + "docs/deep");
    WriteFile(m_drive + "a.txt", "alpha alpha alpha");
    WriteFile(m_drive + "docs/b.txt", std::string(50000, 'b'));
    WriteFile(m_drive + "docs/deep/c.bin", "c");
    // The label the volume query gives this folder (on a labelled file system, its label).
    ASSERT_TRUE(fern::GetVolumeLabel(m_drive, m_label));
  }

  void Attach(CBackupDlg& dlg, uint32_t mask = 1u << 4) {
    const std::string root = m_drive;
    dlg.SetRootOfLetter([root, this](char letter) {
      m_lettersAsked.insert(letter);
      return letter == 'E' || letter == 'F' ? root : std::string();
    });
    dlg.OnDeviceChange(DBT_DEVICEARRIVAL, mask);
  }

  static QString Text(CBackupDlg& dlg, int id) {
    return qobject_cast<QLabel*>(dlg.Control(id))->text();
  }

  // Runs a command and waits for its worker to end.
  static bool RunCommand(CBackupDlg& dlg, int command) {
    dlg.OnCommand(command);
    return WaitUntil([&] { return !dlg.Runs().Busy(); }, 30000);
  }

  std::string m_drive;
  std::string m_label;
  std::set<char> m_lettersAsked;
};

TEST_F(RunsTest, ArrivalAndRemoval) {
  CBackupDlg dlg(nullptr, false);
  Attach(dlg);
  EXPECT_EQ(dlg.DriveRoot(), m_drive);
  EXPECT_EQ(dlg.DriveName(), m_label);
  EXPECT_EQ(dlg.DriveLetter(), 'E');
  EXPECT_EQ(Text(dlg, IDC_DRIVENAME).toStdString(), m_label);
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Connected!");
  EXPECT_TRUE(Text(dlg, IDC_DRIVEINFO).startsWith("Total: ")) << Text(dlg, IDC_DRIVEINFO).toStdString();
  EXPECT_TRUE(Text(dlg, IDC_DRIVEINFO).contains("Used: "));
  EXPECT_TRUE(Text(dlg, IDC_DRIVEINFO).contains("Free: "));
  EXPECT_TRUE(dlg.Control(IDC_FULLBACKUP)->isEnabled());
  EXPECT_TRUE(dlg.Control(IDC_QUICKBACKUP)->isEnabled());
  EXPECT_FALSE(dlg.Control(IDC_RESTORE)->isEnabled());  // nothing selected

  // F and G at once: the lowest letter wins.
  m_lettersAsked.clear();
  Attach(dlg, (1u << 5) | (1u << 6));
  EXPECT_EQ(m_lettersAsked, (std::set<char>{'F'}));
  EXPECT_EQ(dlg.DriveLetter(), 'F');

  dlg.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, 1u << 9);  // any volume forgets the drive
  EXPECT_EQ(dlg.DriveRoot(), "");
  EXPECT_EQ(dlg.DriveName(), "");
  EXPECT_EQ(Text(dlg, IDC_DRIVENAME), "Not Connected");
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Not Connected");
  EXPECT_FALSE(dlg.Control(IDC_FULLBACKUP)->isEnabled());
  EXPECT_FALSE(dlg.Control(IDC_QUICKBACKUP)->isEnabled());
  EXPECT_TRUE(Text(dlg, IDC_DRIVEINFO).startsWith("Total: "));  // the figures stay, in grey

  // A letter without a volume: no drive, the name and status keep what they showed.
  Attach(dlg);
  dlg.SetRootOfLetter([](char) { return std::string(); });
  dlg.OnDeviceChange(DBT_DEVICEARRIVAL, 1u << 7);
  EXPECT_EQ(dlg.DriveRoot(), "");
  EXPECT_EQ(Text(dlg, IDC_DRIVENAME).toStdString(), m_label);
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Connected!");
  EXPECT_EQ(Text(dlg, IDC_DRIVEINFO), "Plug in a USB Flash Drive");
  EXPECT_FALSE(dlg.Control(IDC_FULLBACKUP)->isEnabled());
  // A mask naming no drive at all.
  dlg.OnDeviceChange(DBT_DEVICEARRIVAL, 0);
  EXPECT_EQ(dlg.DriveRoot(), "");

  // The removal query (never sent on Linux) grants the removal and disables the backups.
  Attach(dlg);
  EXPECT_TRUE(dlg.OnDeviceChange(DBT_DEVICEQUERYREMOVE, 1u << 4));
  EXPECT_EQ(dlg.DriveRoot(), "");
  EXPECT_FALSE(dlg.Control(IDC_FULLBACKUP)->isEnabled());
}

TEST_F(RunsTest, FullThenQuickThenRestore) {
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  Attach(dlg);
  QTreeWidget* list = dlg.SetList();
  ASSERT_EQ(list->topLevelItemCount(), 0);

  dlg.OnCommand(IDC_FULLBACKUP);
  EXPECT_TRUE(dlg.Runs().Busy());
  EXPECT_FALSE(dlg.Runs().StopRequested());
  EXPECT_FALSE(dlg.Control(IDC_FULLBACKUP)->isEnabled());
  EXPECT_FALSE(dlg.Control(IDC_SCHEDULE)->isEnabled());
  EXPECT_FALSE(list->isEnabled());
  EXPECT_TRUE(dlg.Control(IDC_CANCELRUN)->isVisible());
  EXPECT_TRUE(dlg.IsTimerActive(TIMER_BLINK));
  // A second command while busy only sets the text.
  dlg.OnCommand(IDC_QUICKBACKUP);
  ASSERT_TRUE(WaitUntil([&] { return !dlg.Runs().Busy(); }, 30000));

  ASSERT_EQ(list->topLevelItemCount(), 1);
  QTreeWidgetItem* row = list->topLevelItem(0);
  EXPECT_EQ(row->text(1).toStdString(), m_label);
  EXPECT_TRUE(row->text(2).endsWith(".fcf"));
  EXPECT_TRUE(std::filesystem::exists(row->text(2).toStdString()));
  EXPECT_EQ(row->data(0, Qt::UserRole).toInt(), IMAGE_FULLSET);
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Done!");
  EXPECT_TRUE(dlg.Runs().StopRequested());
  EXPECT_FALSE(dlg.Runs().FullBackup());
  EXPECT_TRUE(dlg.Control(IDC_CANCELRUN)->isHidden());
  EXPECT_TRUE(dlg.Control(IDC_PROGRESS)->isHidden());
  EXPECT_FALSE(dlg.IsTimerActive(TIMER_BLINK));
  EXPECT_TRUE(dlg.IsTimerActive(TIMER_STATUS));
  EXPECT_TRUE(list->isEnabled());
  ASSERT_TRUE(WaitUntil([&] { return Text(dlg, IDC_STATUS) == "Connected"; }, 5000));
  EXPECT_FALSE(dlg.IsTimerActive(TIMER_STATUS));

  // Nothing changed since: no set, no row.
  ASSERT_TRUE(RunCommand(dlg, IDC_QUICKBACKUP));
  EXPECT_EQ(Text(dlg, IDC_STATUS), "No file changes");
  EXPECT_EQ(list->topLevelItemCount(), 1);
  std::vector<std::string> sets;
  for (auto& e : std::filesystem::directory_iterator(Backups())) sets.push_back(e.path().string());
  EXPECT_EQ(sets.size(), 1u);

  // Restore the set after losing two files.
  std::filesystem::remove(m_drive + "a.txt");
  std::filesystem::remove_all(m_drive + "docs");
  list->clearSelection();
  list->topLevelItem(0)->setSelected(true);
  EXPECT_TRUE(dlg.Control(IDC_RESTORE)->isEnabled());
  dlg.OnCommand(IDC_RESTORE);
  EXPECT_TRUE(dlg.Runs().Busy());
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Restoring...");
  ASSERT_TRUE(WaitUntil([&] { return !dlg.Runs().Busy(); }, 30000));
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Done!");
  EXPECT_TRUE(std::filesystem::exists(m_drive + "a.txt"));
  EXPECT_EQ(std::filesystem::file_size(m_drive + "docs/b.txt"), 50000u);
  EXPECT_TRUE(std::filesystem::exists(m_drive + "docs/deep/c.bin"));
  EXPECT_TRUE(Text(dlg, IDC_DRIVEINFO).startsWith("Total: "));
  EXPECT_TRUE(dlg.Control(IDC_CANCELRUN)->isHidden());
  EXPECT_TRUE(dlg.IsTimerActive(TIMER_STATUS));
}

TEST_F(RunsTest, RestoreNeedsADrive) {
  CBackupDlg dlg(nullptr, false);
  Attach(dlg);
  ASSERT_TRUE(RunCommand(dlg, IDC_FULLBACKUP));
  dlg.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, 1u << 4);
  // The run's end enables Restore by its looser rule; without a drive it must write nothing.
  dlg.SetList()->topLevelItem(0)->setSelected(true);
  dlg.SetRunning(false);
  dlg.OnCommand(IDC_RESTORE);
  EXPECT_FALSE(dlg.Runs().Busy());
  EXPECT_FALSE(std::filesystem::exists(m_folder + "/a.txt"));
}

// A worker thread that cannot be started ends the run at once: the window is usable again and
// says so, nothing was written, and a restore that never began is no "Done!".
TEST_F(RunsTest, ARunWhoseThreadCannotStartEndsCleanly) {
  CBackupDlg dlg(nullptr, false);
  Attach(dlg);
  ASSERT_TRUE(RunCommand(dlg, IDC_FULLBACKUP));
  ASSERT_EQ(dlg.SetList()->topLevelItemCount(), 1);
  for (int command : {IDC_QUICKBACKUP, IDC_RESTORE}) {
    dlg.SetList()->topLevelItem(0)->setSelected(true);
    dlg.Runs().StopAndWait();  // the ended worker joined now: its stack is not there to reuse
    bool threw = false;
    {
      fern_test::NoThreadStart noThreads;
      if (!noThreads.Active()) GTEST_SKIP() << "the address space cannot be limited here (or the address sanitizer is on)";
      try {
        dlg.OnCommand(command);
      } catch (const std::system_error&) {
        threw = true;
      }
    }
    const bool busy = dlg.Runs().Busy();
    if (busy) dlg.Runs().Finish();  // a run left claimed would keep the window from closing
    ASSERT_FALSE(threw) << command;
    ASSERT_FALSE(busy) << command;
    EXPECT_TRUE(dlg.Runs().StopRequested()) << command;
    EXPECT_EQ(Text(dlg, IDC_STATUS), "Could not start") << command;
    EXPECT_TRUE(dlg.Control(IDC_CANCELRUN)->isHidden()) << command;
    EXPECT_FALSE(dlg.IsTimerActive(TIMER_BLINK)) << command;
    EXPECT_TRUE(dlg.SetList()->isEnabled()) << command;
    EXPECT_TRUE(dlg.Control(IDC_QUICKBACKUP)->isEnabled()) << command;
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(Backups()), {}), 1) << command;
  }
  // Threads again: the next run goes as ever.
  ASSERT_TRUE(RunCommand(dlg, IDC_QUICKBACKUP));
  EXPECT_EQ(Text(dlg, IDC_STATUS), "No file changes");
}

TEST_F(RunsTest, ScheduledFullBackupOnArrival) {
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Full Days", 1));
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  dlg.OnCommand(IDC_MINIMIZE);  // hidden (or minimised where there is no tray)
  ASSERT_TRUE(dlg.Tray().InTray());
  Attach(dlg);
  EXPECT_TRUE(dlg.Runs().ScheduledRun());
  // The command is posted, so it starts from the event loop.
  ASSERT_TRUE(WaitUntil([&] { return dlg.Runs().Busy(); }, 5000));
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_FALSE(dlg.windowState() & Qt::WindowMinimized);
  ASSERT_TRUE(WaitUntil([&] { return !dlg.Runs().Busy(); }, 30000));
  ASSERT_EQ(dlg.SetList()->topLevelItemCount(), 1);
  EXPECT_TRUE(dlg.SetList()->topLevelItem(0)->text(2).endsWith(".fcf"));
  // It started hidden, so it is hidden again.
  EXPECT_FALSE(dlg.Runs().ScheduledRun());
  EXPECT_TRUE(dlg.Tray().InTray());
  EXPECT_TRUE(!dlg.isVisible() || (dlg.windowState() & Qt::WindowMinimized));

  // Now the drive has a fresh full set: nothing is due at the next arrival.
  Attach(dlg);
  EXPECT_FALSE(dlg.Runs().ScheduledRun());
  Pump(100);
  EXPECT_FALSE(dlg.Runs().Busy());
  EXPECT_EQ(dlg.SetList()->topLevelItemCount(), 1);

  // A negative count is due at every check; started while shown, the window stays shown and
  // the flag may stay set.
  dlg.OnCommand(ID_TRAY_OPEN);
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Full Days", -1));
  WriteFile(m_drive + "new.txt", "new");
  Attach(dlg);
  ASSERT_TRUE(WaitUntil([&] { return dlg.Runs().Busy(); }, 5000));
  ASSERT_TRUE(WaitUntil([&] { return !dlg.Runs().Busy(); }, 30000));
  EXPECT_EQ(dlg.SetList()->topLevelItemCount(), 2);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_FALSE(dlg.windowState() & Qt::WindowMinimized);
  EXPECT_FALSE(dlg.Tray().InTray());
  EXPECT_TRUE(dlg.Runs().ScheduledRun());
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Full Days", 0));
}

// Only a backup the schedule started is told outside the window, with what it stored; a run
// started by hand afterwards is not, even while the schedule's flag stays set.
TEST_F(RunsTest, ScheduledBackupIsToldWithItsOutcome) {
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Full Days", -1));
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  std::vector<std::pair<std::string, bool>> starts;
  std::vector<CBackupOutcome> ends;
  QObject::connect(&dlg.Runs(), &CRunController::ScheduledBackupStarted,
                   [&](const std::string& name, bool full) { starts.emplace_back(name, full); });
  QObject::connect(&dlg.Runs(), &CRunController::ScheduledBackupEnded,
                   [&](const CBackupOutcome& outcome) { ends.push_back(outcome); });
  Attach(dlg);
  ASSERT_TRUE(WaitUntil([&] { return dlg.Runs().Busy(); }, 5000));
  ASSERT_TRUE(WaitUntil([&] { return !dlg.Runs().Busy(); }, 30000));
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0], std::make_pair(m_label, true));
  ASSERT_EQ(ends.size(), 1u);
  EXPECT_EQ(ends[0].driveName, m_label);
  EXPECT_TRUE(ends[0].started);
  EXPECT_FALSE(ends[0].stopped);
  EXPECT_EQ(ends[0].result, CBackupRun::Result::Done);
  EXPECT_EQ(ends[0].entries, 3u);
  EXPECT_TRUE(ends[0].errorNames.empty());
  EXPECT_TRUE(std::filesystem::exists(ends[0].setPath)) << ends[0].setPath;
  // Shown all along, so the flag stays; the next runs are the user's own.
  EXPECT_TRUE(dlg.Runs().ScheduledRun());
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Full Days", 0));
  ASSERT_TRUE(RunCommand(dlg, IDC_FULLBACKUP));
  ASSERT_TRUE(RunCommand(dlg, IDC_QUICKBACKUP));
  EXPECT_EQ(starts.size(), 1u);
  EXPECT_EQ(ends.size(), 1u);
}

TEST_F(RunsTest, NothingStoredStartsNothing) {
  CBackupDlg dlg(nullptr, false);
  Attach(dlg);
  EXPECT_FALSE(dlg.Runs().ScheduledRun());
  Pump(100);
  EXPECT_FALSE(dlg.Runs().Busy());
  // The hourly tick: no run, and the scratch folder's files go.
  dlg.OnTimer(TIMER_SCHEDULE);
  Pump(50);
  EXPECT_FALSE(dlg.Runs().Busy());
  EXPECT_EQ(dlg.SetList()->topLevelItemCount(), 0);
}

// The viewer opens on the topmost selected row, by the button or a double-click, and gets the
// drive as it is now.
TEST_F(RunsTest, ViewOpensTheTopmostSelectedSet) {
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  Attach(dlg);
  ASSERT_TRUE(RunCommand(dlg, IDC_FULLBACKUP));
  WriteFile(m_drive + "new.txt", "new");
  ASSERT_TRUE(RunCommand(dlg, IDC_QUICKBACKUP));
  QTreeWidget* list = dlg.SetList();
  ASSERT_EQ(list->topLevelItemCount(), 2);
  const std::string quickSet = CSetListView::RowPath(list->topLevelItem(0));
  const std::string fullSet = CSetListView::RowPath(list->topLevelItem(1));

  struct Seen {
    std::string setPath, driveRoot;
    bool attached = false;
    bool parentless = false;
  };
  auto watch = [](Seen& seen) {
    return [&seen](QWidget* modal) {
      if (auto* viewer = qobject_cast<CViewBackup*>(modal)) {
        seen.setPath = viewer->SetPath();
        seen.driveRoot = viewer->DriveRoot();
        seen.attached = viewer->DriveAttached();
        seen.parentless = viewer->parentWidget() == nullptr;
        // While it loads the set, Cancel only stops the loading: close it once that is over.
        auto timer = new QTimer(viewer);
        QObject::connect(timer, &QTimer::timeout, viewer, [viewer] { viewer->reject(); });
        timer->start(20);
      }
    };
  };
  auto doubleClick = [list] {
    const QPoint at = list->visualItemRect(list->topLevelItem(1)).center();
    QMouseEvent event(QEvent::MouseButtonDblClick, at, list->viewport()->mapToGlobal(at),
                      Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(list->viewport(), &event);
  };

  // The button, with one row selected.
  list->clearSelection();
  list->topLevelItem(1)->setSelected(true);
  ASSERT_TRUE(dlg.Control(IDC_VIEW)->isEnabled());
  Seen byButton;
  auto first = AnswerNextModal(QMessageBox::Cancel, watch(byButton));
  dlg.OnCommand(IDC_VIEW);
  ASSERT_TRUE(first->seen);
  EXPECT_EQ(first->className, "CViewBackup");
  EXPECT_EQ(byButton.setPath, fullSet);
  EXPECT_EQ(byButton.driveRoot, m_drive);
  EXPECT_TRUE(byButton.attached);
  EXPECT_TRUE(byButton.parentless);

  // A double-click with both rows selected (View itself disabled) opens the top one, and a
  // removed drive goes to the viewer as none.
  dlg.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, 1u << 4);
  list->topLevelItem(0)->setSelected(true);
  EXPECT_FALSE(dlg.Control(IDC_VIEW)->isEnabled());
  Seen byDoubleClick;
  auto second = AnswerNextModal(QMessageBox::Cancel, watch(byDoubleClick));
  doubleClick();
  ASSERT_TRUE(WaitUntil([&] { return second->seen; }, 5000));
  Pump(50);
  EXPECT_EQ(byDoubleClick.setPath, quickSet);
  EXPECT_EQ(byDoubleClick.driveRoot, "");
  EXPECT_FALSE(byDoubleClick.attached);

  // Nothing selected: a double-click opens nothing.
  list->clearSelection();
  doubleClick();
  Pump(200);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  list->clearSelection();
}

// A stick pulled during a Full Backup: the set of what was stored stays listed, the error list
// says the drive was removed, and the status says "Not Connected" and keeps saying it after the
// two seconds in which it would turn to "Connected".
TEST_F(RunsTest, ADrivePulledMidBackupLeavesNotConnected) {
  fern::CTestMount stick;
  std::string why;
  const std::string point = "/media/FERNLOST" + std::to_string(::getpid());
  if (!stick.Mount(point, "size=16m", why)) GTEST_SKIP() << why;
  // One file in each folder fixes the walk's order: first.txt, then pull.bin, whose open pulls
  // the stick (it is still read whole), then deeper/, which is gone.
  WriteFile(point + "/first.txt", "stored first");
  std::filesystem::create_directories(point + "/more/deeper");
  WriteFile(point + "/more/pull.bin", std::string(300000, 'p'));
  for (int i = 0; i < 10; ++i) WriteFile(point + "/more/deeper/d" + std::to_string(i), "never reached");
  CUnmountOnOpen pull;
  if (!pull.Start(point, point + "/more/pull.bin", why)) GTEST_SKIP() << why;

  m_drive = point + "/";
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  Attach(dlg);
  ASSERT_EQ(dlg.DriveRoot(), m_drive);
  QStringList shownNames, shownTexts;
  auto errors = AnswerNextModal(QMessageBox::Ok, [&](QWidget* modal) {
    if (auto* list = qobject_cast<CErrorDlg*>(modal)) {
      for (int row = 0; row < list->List()->rowCount(); ++row) {
        shownNames << list->List()->item(row, 0)->text();
        shownTexts << list->List()->item(row, 1)->text();
      }
    }
  });
  dlg.OnCommand(IDC_FULLBACKUP);
  ASSERT_TRUE(WaitUntil([&] { return !dlg.Runs().Busy(); }, 30000));
  EXPECT_TRUE(pull.Fired());
  ASSERT_TRUE(errors->seen);
  EXPECT_EQ(errors->className, "CErrorDlg");

  ASSERT_EQ(dlg.SetList()->topLevelItemCount(), 1);
  const std::string set = CSetListView::RowPath(dlg.SetList()->topLevelItem(0));
  EXPECT_GT(std::filesystem::file_size(set), 24u);
  EXPECT_EQ(shownNames, QStringList{QString::fromStdString(set)});
  EXPECT_EQ(shownTexts, QStringList{QStringLiteral(
                            "The drive was removed during the backup. The backup set is incomplete: it holds "
                            "only the files stored before the drive was removed.")});
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Not Connected");
  EXPECT_EQ(Text(dlg, IDC_DRIVENAME), "Not Connected");
  EXPECT_EQ(dlg.DriveRoot(), "");
  EXPECT_FALSE(dlg.Control(IDC_FULLBACKUP)->isEnabled());
  EXPECT_FALSE(dlg.Control(IDC_QUICKBACKUP)->isEnabled());
  Pump(2500);
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Not Connected");
  // The drive watcher tells the removal after the run did: nothing changes.
  dlg.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, 1u << 4);
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Not Connected");
  EXPECT_FALSE(dlg.Control(IDC_FULLBACKUP)->isEnabled());
}

TEST_F(RunsTest, ADrivePulledMidRestoreSaysSoAndNotDone) {
  fern::CTestMount stick;
  std::string why;
  const std::string point = "/media/FERNGONE" + std::to_string(::getpid());
  if (!stick.Mount(point, "size=16m", why)) GTEST_SKIP() << why;
  m_drive = point + "/";
  // A set of three files; the stick's own a.txt is newer, so the restore asks about it first,
  // and the stick is pulled while the question is up.
  WriteFile(m_drive + "a.txt", "set a");
  WriteFile(m_drive + "b.txt", "set b");
  WriteFile(m_drive + "c.txt", "set c");
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  Attach(dlg);
  ASSERT_TRUE(RunCommand(dlg, IDC_FULLBACKUP));
  ASSERT_EQ(dlg.SetList()->topLevelItemCount(), 1);
  std::filesystem::remove(m_drive + "b.txt");
  std::filesystem::remove(m_drive + "c.txt");
  WriteFile(m_drive + "a.txt", "newer a on the stick");
  const struct timespec later[2] = {{0, UTIME_OMIT}, {time(nullptr) + 3600, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (m_drive + "a.txt").c_str(), later, 0), 0);

  QStringList shownNames, shownTexts;
  std::shared_ptr<ModalAnswer> errors;
  auto prompt = AnswerNextModal(QMessageBox::No, [&](QWidget*) {
    ASSERT_EQ(::umount2(point.c_str(), MNT_DETACH), 0) << strerror(errno);
    errors = AnswerNextModal(QMessageBox::Ok, [&](QWidget* modal) {
      if (auto* list = qobject_cast<CErrorDlg*>(modal)) {
        for (int row = 0; row < list->List()->rowCount(); ++row) {
          shownNames << list->List()->item(row, 0)->text();
          shownTexts << list->List()->item(row, 1)->text();
        }
      }
    });
  });
  dlg.SetList()->topLevelItem(0)->setSelected(true);
  dlg.OnCommand(IDC_RESTORE);
  ASSERT_TRUE(WaitUntil([&] { return !dlg.Runs().Busy(); }, 30000));
  ASSERT_TRUE(prompt->seen);
  EXPECT_EQ(prompt->className, "COWPrompt");
  ASSERT_TRUE(errors && errors->seen);
  EXPECT_EQ(shownNames, QStringList{QString::fromStdString(point)});
  EXPECT_EQ(shownTexts, QStringList{QStringLiteral(
                            "The drive was removed during the restore. Files not yet restored were not written.")});
  // Nothing landed in the bare mount-point folder, and the window does not say "Done!".
  EXPECT_FALSE(std::filesystem::exists(m_drive + "b.txt"));
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Not Connected");
  EXPECT_EQ(dlg.DriveRoot(), "");
  Pump(2500);
  EXPECT_EQ(Text(dlg, IDC_STATUS), "Not Connected");
}

// The real watcher: a tmpfs mounted under /media is noticed, and its unmounting too.
TEST_F(RunsTest, RealWatcherSeesATmpfs) {
  const std::string mountPoint = "/media/FERNT" + std::to_string(::getpid());
  std::error_code ec;
  std::filesystem::create_directories(mountPoint, ec);
  if (ec) GTEST_SKIP() << "cannot create " << mountPoint << ": " << ec.message();
  if (::mount("fernt", mountPoint.c_str(), "tmpfs", 0, "size=4m") != 0) {
    const int error = errno;
    std::filesystem::remove(mountPoint, ec);
    GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(error);
  }
  ASSERT_EQ(::umount(mountPoint.c_str()), 0);  // mounted again below, once the watcher runs
  {
    CBackupDlg dlg(nullptr, true);
    Pump(200);
    ASSERT_EQ(::mount("fernt", mountPoint.c_str(), "tmpfs", 0, "size=4m"), 0);
    WriteFile(mountPoint + "/hello.txt", "hello");
    // Another volume mounted meanwhile would be a drive too: wait for this one.
    const bool arrived = WaitUntil(
        [&] { return Text(dlg, IDC_STATUS) == "Connected!" && dlg.DriveRoot() == mountPoint + "/"; },
        5000);
    const std::string root = dlg.DriveRoot();
    const std::string name = Text(dlg, IDC_DRIVENAME).toStdString();
    const bool enabled = dlg.Control(IDC_FULLBACKUP)->isEnabled();
    ::umount(mountPoint.c_str());
    const bool removed = WaitUntil([&] { return Text(dlg, IDC_STATUS) == "Not Connected"; }, 5000);
    EXPECT_TRUE(arrived);
    EXPECT_EQ(root, mountPoint + "/");
    EXPECT_EQ(name, "FERNT" + std::to_string(::getpid()));
    EXPECT_TRUE(enabled);
    EXPECT_TRUE(removed);
    EXPECT_EQ(dlg.DriveRoot(), "");
  }
  std::filesystem::remove(mountPoint, ec);
}

}  // namespace

namespace {

// Started as a desktop starts it: the current folder is the home, whose "backups" folder holds
// the user's own files (FreeCAD's .FCStd and .FCBak, an old set of an earlier version). With
// "Full Days" 1 and no set of the drive, mounting it is enough: a Full Backup starts by itself,
// its set lies in the per-user data folder and appears in the list, and the purge that ran at
// the arrival left every file of the home's "backups" as it was.
TEST_F(RunsTest, RealMountStartsTheScheduledBackup) {
  const std::string label = "FERNS" + std::to_string(::getpid());
  const std::string mountPoint = "/media/" + label;
  std::error_code ec;
  std::filesystem::create_directories(mountPoint, ec);
  if (ec) GTEST_SKIP() << "cannot create " << mountPoint << ": " << ec.message();

  const std::string home = m_folder + "/home";
  const std::string homeBackups = home + "/backups";
  std::filesystem::create_directories(homeBackups);
  const time_t old = ::time(nullptr) - 100 * 86400;
  const std::vector<std::pair<std::string, std::string>> usersFiles = {
      {"x.FCStd", "a CAD model"}, {"bracket.FCBak", "its backup"}, {label + "-5.fcf", "an old set"}};
  for (const auto& [name, bytes] : usersFiles) {
    WriteFile(homeBackups + "/" + name, bytes);
    struct timespec times[2] = {{old, 0}, {old, 0}};
    ASSERT_EQ(::utimensat(AT_FDCWD, (homeBackups + "/" + name).c_str(), times, 0), 0);
  }
  const char* oldHome = ::getenv("HOME");
  const std::string savedHome = oldHome != nullptr ? oldHome : "";
  ASSERT_EQ(::setenv("HOME", home.c_str(), 1), 0);
  ASSERT_EQ(::unsetenv("XDG_DATA_HOME"), 0);  // put back by the fixture
  ASSERT_EQ(::chdir(home.c_str()), 0);
  const int oldPurge = fern::GetProfileInt("Settings", "Purge Days", 60);
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Purge Days", 60));
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Full Days", 1));
  bool mounted = false, listed = false;
  std::string setPath;
  int mountError = 0;
  {
    CBackupDlg dlg(nullptr, true);
    Pump(200);
    mounted = ::mount("ferns", mountPoint.c_str(), "tmpfs", 0, "size=4m") == 0;
    mountError = errno;
    if (mounted) {
      WriteFile(mountPoint + "/report.txt", std::string(3000, 'r'));
      listed = WaitUntil([&] { return dlg.SetList()->topLevelItemCount() == 1 && !dlg.Runs().Busy(); }, 15000);
      ::umount(mountPoint.c_str());
      if (listed) {
        QTreeWidgetItem* row = dlg.SetList()->topLevelItem(0);
        EXPECT_EQ(row->text(1).toStdString(), label);
        EXPECT_TRUE(row->text(2).endsWith(".fcf"));
        setPath = CSetListView::RowPath(row);
      }
      EXPECT_TRUE(WaitUntil([&] { return dlg.DriveRoot().empty(); }, 5000));
    }
  }
  if (oldHome != nullptr) ::setenv("HOME", savedHome.c_str(), 1); else ::unsetenv("HOME");
  EXPECT_TRUE(fern::WriteProfileInt("Settings", "Full Days", 0));
  EXPECT_TRUE(fern::WriteProfileInt("Settings", "Purge Days", oldPurge));
  std::filesystem::remove(mountPoint, ec);
  if (!mounted) GTEST_SKIP() << "cannot mount a tmpfs: " << std::strerror(mountError);

  ASSERT_TRUE(listed);
  const std::string dataBackups = home + "/.local/share/ferncastle/backups";
  EXPECT_EQ(setPath.rfind(dataBackups + "/" + label + "-", 0), 0u) << setPath;
  EXPECT_GT(std::filesystem::file_size(setPath), 24u);
  struct stat st;
  ASSERT_EQ(::stat(dataBackups.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  for (const auto& [name, bytes] : usersFiles) {
    std::ifstream in(homeBackups + "/" + name, std::ios::binary);
    const std::string now((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(now, bytes) << name << " is the user's and stays";
  }
  size_t inHomeBackups = 0;
  for (const auto& e : std::filesystem::directory_iterator(homeBackups)) { (void)e; ++inHomeBackups; }
  EXPECT_EQ(inHomeBackups, usersFiles.size()) << "no set was written below the current folder";
}

}  // namespace
