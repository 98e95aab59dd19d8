// The main window offscreen: its controls, the set list, the questions, the colours, the skin.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>

#include <QAction>
#include <QHeaderView>
#include <QKeyEvent>
#include <QContextMenuEvent>
#include <QCursor>
#include <QMenu>
#include <QPointer>
#include <QTimer>
#include <QWindow>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QTreeWidget>
#include <algorithm>
#include <cstdio>
#include <set>
#include <vector>

#include "AppTestUtil.h"
#include "app/PictureButton.h"
#include "app/fernapp.h"
#include "app/fernappDlg.h"
#include "platform/FileFinder.h"
#include "res/Resource.h"
#include "res/gui/DialogUnits.h"

using namespace apptest;

namespace {

class MainDialogTest : public CurrentFolderTest {
 protected:
  // A set file (or folder) in the backups folder with a given modification time.
  std::string MakeSet(const std::string& name, time_t mtime, bool folder = false) {
    std::filesystem::create_directories(Backups());
    const std::string path = Backups() + "/" + name;
    if (folder) {
      std::filesystem::create_directories(path + "/inside");
      WriteFile(path + "/inside/x", "x");
    } else {
      WriteFile(path, std::string(30, 'z'));
    }
    struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
    EXPECT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    return path;
  }

  static std::string DateText(time_t t) {
    struct tm local;
    localtime_r(&t, &local);
    char text[64];
    std::strftime(text, sizeof text, "%m/%d/%y %H:%M:%S", &local);
    return text;
  }

  // Attaches a fake drive: letter E names the folder.
  void Attach(CBackupDlg& dlg, const std::string& root) {
    dlg.SetRootOfLetter([root](char letter) { return letter == 'E' ? root : std::string(); });
    dlg.OnDeviceChange(DBT_DEVICEARRIVAL, 1u << 4);
  }

  static void SelectRows(CBackupDlg& dlg, std::initializer_list<int> rows) {
    dlg.SetList()->clearSelection();
    for (int r : rows) dlg.SetList()->topLevelItem(r)->setSelected(true);
  }

  static bool Enabled(CBackupDlg& dlg, int id) { return dlg.Control(id)->isEnabled(); }
};

TEST_F(MainDialogTest, ControlsAndInitialState) {
  CBackupDlg dlg(nullptr, false);
  // 187 x 105 dialog units in the template font's base units, 5 x 11 pixels.
  EXPECT_EQ(dlg.size(), QSize(234, 144));
  EXPECT_TRUE(dlg.windowFlags() & Qt::FramelessWindowHint);
  EXPECT_EQ(dlg.windowType(), Qt::Window);  // a task-bar window, not a transient dialog

  struct Expect {
    int id;
    bool enabled;
    const char* tip;
  };
  const Expect buttons[] = {
      {IDC_FULLBACKUP, false, "Full backup now!"},
      {IDC_QUICKBACKUP, false, "Quick backup now!"},
      {IDC_SCHEDULE, true, "Schedule a backup"},
      {IDC_ABOUT, true, "About Fernlet"},
      {IDC_DELETE, false, "Delete the selected backup set(s)"},
      {IDC_RESTORE, false, "Restore the selected backup set(s)"},
      {IDC_VIEW, false, "View the selected backup set(s)"},
      {IDC_MINIMIZE, true, "Minimize to system tray"},
      {IDCANCEL, true, "Close Fernlet"},
  };
  for (const Expect& e : buttons) {
    auto* button = qobject_cast<CPictureButton*>(dlg.Control(e.id));
    ASSERT_NE(button, nullptr) << e.id;
    EXPECT_EQ(button->isEnabled(), e.enabled) << e.id;
    EXPECT_EQ(button->toolTip().toStdString(), e.tip) << e.id;
    EXPECT_EQ(button->size(), QSize(15, 17)) << e.id;
  }
  // The picture follows the state: disabled shows another picture than normal.
  auto* full = qobject_cast<CPictureButton*>(dlg.Control(IDC_FULLBACKUP));
  const QImage disabledPicture = full->CurrentPicture().toImage();
  full->setEnabled(true);
  EXPECT_NE(full->CurrentPicture().toImage(), disabledPicture);
  full->setDown(true);
  const QImage pressedPicture = full->CurrentPicture().toImage();
  full->setDown(false);
  EXPECT_NE(pressedPicture, full->CurrentPicture().toImage());

  EXPECT_EQ(qobject_cast<QLabel*>(dlg.Control(IDC_STATUS))->text(), "Not Connected");
  EXPECT_EQ(qobject_cast<QLabel*>(dlg.Control(IDC_DRIVENAME))->text(), "Not Connected");
  EXPECT_EQ(qobject_cast<QLabel*>(dlg.Control(IDC_DRIVEINFO))->text(),
            "If USB drive is already attached, detach and re-attach it");
  EXPECT_TRUE(dlg.Control(IDC_CANCELRUN)->isHidden());
  EXPECT_TRUE(dlg.Control(IDC_PROGRESS)->isHidden());
  EXPECT_TRUE(dlg.IsTimerActive(TIMER_SCHEDULE));
  EXPECT_FALSE(dlg.IsTimerActive(TIMER_BLINK));
  EXPECT_TRUE(dlg.Runs().StopRequested());
  EXPECT_FALSE(dlg.Runs().Busy());

  QTreeWidget* list = dlg.SetList();
  ASSERT_EQ(list->columnCount(), 3);
  EXPECT_EQ(list->headerItem()->text(0), "Date");
  EXPECT_EQ(list->headerItem()->text(1), "Name");
  EXPECT_EQ(list->headerItem()->text(2), "FileName");
  EXPECT_EQ(list->columnWidth(0), 80);
  EXPECT_EQ(list->columnWidth(1), 80);
  EXPECT_EQ(list->columnWidth(2), 0);
  EXPECT_FALSE(list->header()->sectionsClickable());
  EXPECT_FALSE(list->isSortingEnabled());
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::ExtendedSelection);
  // The backups folder is made when the list is filled.
  EXPECT_TRUE(std::filesystem::is_directory(Backups()));
}

TEST_F(MainDialogTest, PlacedAtTheBottomRightCorner) {
  CBackupDlg dlg(nullptr, false);
  const QRect s = dlg.screen()->geometry();
  EXPECT_EQ(dlg.pos().x(), s.x() + s.width() - dlg.width() - 15);
  EXPECT_EQ(dlg.pos().y(), s.y() + s.height() - dlg.height() - 35);
}

TEST_F(MainDialogTest, LeftTextsEndLeftOfTheSeparator) {
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  // The skin is fixed in pixels: the separator at x = 120 runs between the left-hand texts and
  // the list, and between the left buttons and the set commands.
  for (int id : {IDC_DRIVENAME, IDC_DRIVEINFO, IDC_STATUS})
    EXPECT_LT(dlg.Control(id)->geometry().right(), 120) << id;
  EXPECT_GT(dlg.Control(IDC_LIST_SETS)->geometry().left(), 120);
  EXPECT_LT(dlg.Control(IDC_ABOUT)->geometry().right(), 120);
  EXPECT_GT(dlg.Control(IDC_DELETE)->geometry().left(), 120);
  // The buttons lie inside the 25-pixel header band, the list and the heading below it, and
  // the Close button inside the window.
  for (int id : {IDC_FULLBACKUP, IDC_MINIMIZE, IDCANCEL}) EXPECT_LE(dlg.Control(id)->geometry().bottom(), 24) << id;
  EXPECT_GE(dlg.Control(IDC_LIST_SETS)->geometry().top(), 25);
  EXPECT_LE(dlg.Control(IDCANCEL)->geometry().right(), dlg.width() - 1);

  // An 11-letter volume label is shown whole on one line of the drive name; the figures and
  // the status fit their lines.
  auto fits = [&dlg](int id, const QString& text) {
    auto* label = qobject_cast<QLabel*>(dlg.Control(id));
    const QFontMetrics metrics(label->font());
    return metrics.horizontalAdvance(text) <= label->contentsRect().width() &&
           metrics.height() <= label->contentsRect().height();
  };
  EXPECT_TRUE(fits(IDC_DRIVENAME, QStringLiteral("LEXARMEDIA1")));
  EXPECT_TRUE(fits(IDC_DRIVEINFO, QStringLiteral("Total: 1024.0 MB")));
  EXPECT_TRUE(fits(IDC_STATUS, QStringLiteral("Backing up...")));
  EXPECT_TRUE(fits(IDC_STATUS, QStringLiteral("Not Connected")));

  // Drawn, no pixel of the longest label's text lies right of its control, that is of x = 119.
  auto* name = qobject_cast<QLabel*>(dlg.Control(IDC_DRIVENAME));
  name->setText(QStringLiteral("LEXARMEDIA1"));
  QImage picture(dlg.size(), QImage::Format_RGB32);
  picture.fill(Qt::white);
  dlg.render(&picture);
  const QRect band = name->geometry();
  const QRgb face = picture.pixel(121, band.top() + 2);
  int rightmostInk = -1;
  for (int y = band.top(); y <= band.bottom(); ++y)
    for (int x = band.left(); x < dlg.Control(IDC_LIST_SETS)->geometry().left(); ++x)
      if (x != 120 && picture.pixel(x, y) != face) rightmostInk = std::max(rightmostInk, x);
  EXPECT_GT(rightmostInk, band.left() + 30);  // the label is there
  EXPECT_LT(rightmostInk, 120);
}

TEST_F(MainDialogTest, RunsNeverLeaveTheFocusOnMinimizeOrClose) {
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  dlg.activateWindow();
  ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == &dlg; }));
  QWidget* minimize = dlg.Control(IDC_MINIMIZE);
  QWidget* close = dlg.Control(IDCANCEL);
  auto offThem = [&] {
    QWidget* focus = QApplication::focusWidget();
    return focus != minimize && focus != close;
  };

  // The Options button has the focus (as after start); a run disables it.
  dlg.Control(IDC_SCHEDULE)->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(dlg.Control(IDC_SCHEDULE)->hasFocus());
  dlg.SetRunning(true);
  EXPECT_TRUE(offThem());
  EXPECT_FALSE(minimize->hasFocus());
  // The window itself holds it, so a window shown again from the tray during the run does not
  // pick the first enabled control either (the desktop test sees that on a real X server).
  EXPECT_EQ(QApplication::focusWidget(), &dlg);
  EXPECT_EQ(dlg.focusWidget(), &dlg);

  // The Cancel button, focused and then disabled by its confirmation, hands the focus to the
  // window too; so does its hiding at the run's end.
  QWidget* cancel = dlg.Control(IDC_CANCELRUN);
  cancel->setEnabled(true);
  cancel->show();
  cancel->setFocus(Qt::TabFocusReason);
  ASSERT_TRUE(cancel->hasFocus());
  cancel->setEnabled(false);
  EXPECT_TRUE(offThem());
  cancel->setEnabled(true);
  cancel->setFocus(Qt::TabFocusReason);
  dlg.SetRunning(false);
  cancel->hide();
  EXPECT_TRUE(offThem());

  // Tab, the user's own move, still reaches every enabled button.
  dlg.SetRunning(true);
  QKeyEvent tab(QEvent::KeyPress, Qt::Key_Tab, Qt::NoModifier);
  QApplication::sendEvent(&dlg, &tab);
  EXPECT_EQ(QApplication::focusWidget(), minimize);
  dlg.SetRunning(false);
}

TEST_F(MainDialogTest, TrayEventsByKindOfTray) {
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  ASSERT_FALSE(dlg.Tray().TrayActivates());  // no StatusNotifierItem watcher here
  // XEmbed: a left press is reported as Trigger before the double click; only the double click
  // shows the window.
  dlg.OnCommand(IDC_MINIMIZE);  // in the tray (minimised where there is none)
  dlg.hide();
  dlg.Tray().OnTrayActivated(QSystemTrayIcon::Trigger);
  EXPECT_FALSE(dlg.isVisible());
  dlg.Tray().OnTrayActivated(QSystemTrayIcon::Context);
  dlg.Tray().OnTrayActivated(QSystemTrayIcon::MiddleClick);
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_TRUE(dlg.Tray().InTray());
  dlg.Tray().OnTrayActivated(QSystemTrayIcon::DoubleClick);
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_FALSE(dlg.Tray().InTray());
}

TEST_F(MainDialogTest, FillSetListFromTheFolder) {
  const time_t t0 = 1133000000;  // a few fixed times, one apart
  MakeSet("MYSTICK-951.fcf", t0);
  MakeSet("MYSTICK-987.fci", t0 + 60);
  MakeSet("OTHER-5.FCI", t0 + 120);
  MakeSet("NODASH.fcf", t0 + 180);
  MakeSet("FOLDER-9.fcf", t0 + 240, true);
  MakeSet("MY-STICK-3.fcf", t0 + 300);
  WriteFile(Backups() + "/notes.txt", "not a set");

  // The folder's own order, as the file system lists it.
  std::vector<fern::CFindData> found;
  ASSERT_TRUE(fern::FindFiles(Backups(), "*.fc*", found));
  ASSERT_EQ(found.size(), 6u);

  CBackupDlg dlg(nullptr, false);
  QTreeWidget* list = dlg.SetList();
  ASSERT_EQ(list->topLevelItemCount(), 6);
  for (size_t i = 0; i < found.size(); ++i) {
    // Every row went to the top: the last one found is the first row.
    QTreeWidgetItem* row = list->topLevelItem(static_cast<int>(found.size() - 1 - i));
    const std::string name = found[i].name;
    EXPECT_EQ(row->text(2).toStdString(), Backups() + "/" + name);
    EXPECT_EQ(row->text(0).toStdString(), DateText(static_cast<time_t>(found[i].mtime))) << name;
    std::string expectedName;
    int expectedImage = IMAGE_FULLSET;
    if (name == "MYSTICK-951.fcf") expectedName = "MYSTICK";
    if (name == "MYSTICK-987.fci") expectedName = "MYSTICK", expectedImage = IMAGE_QUICKSET;
    if (name == "OTHER-5.FCI") expectedName = "OTHER", expectedImage = IMAGE_QUICKSET;
    if (name == "FOLDER-9.fcf") expectedName = "FOLDER";
    if (name == "MY-STICK-3.fcf") expectedName = "MY";
    EXPECT_EQ(row->text(1).toStdString(), expectedName) << name;
    EXPECT_EQ(row->data(0, Qt::UserRole).toInt(), expectedImage) << name;
    EXPECT_FALSE(row->icon(0).isNull()) << name;
  }
  EXPECT_EQ(DateText(t0), DateText(t0));  // the form itself: two digits each
  EXPECT_EQ(DateText(t0).size(), 17u);
}

TEST_F(MainDialogTest, SelectionRulesAndSetRunning) {
  MakeSet("A-1.fcf", 1133000000);
  MakeSet("A-2.fcf", 1133000100);
  CBackupDlg dlg(nullptr, false);
  ASSERT_EQ(dlg.SetList()->topLevelItemCount(), 2);

  SelectRows(dlg, {});
  EXPECT_FALSE(Enabled(dlg, IDC_DELETE));
  EXPECT_FALSE(Enabled(dlg, IDC_RESTORE));
  EXPECT_FALSE(Enabled(dlg, IDC_VIEW));

  SelectRows(dlg, {0});
  EXPECT_TRUE(Enabled(dlg, IDC_DELETE));
  EXPECT_FALSE(Enabled(dlg, IDC_RESTORE));  // no drive
  EXPECT_TRUE(Enabled(dlg, IDC_VIEW));

  SelectRows(dlg, {0, 1});
  EXPECT_TRUE(Enabled(dlg, IDC_DELETE));
  EXPECT_FALSE(Enabled(dlg, IDC_VIEW));  // only one set can be viewed

  // The looser rule at the end of a run: all three with any selection, drive or not.
  dlg.SetRunning(true);
  EXPECT_FALSE(Enabled(dlg, IDC_DELETE));
  EXPECT_FALSE(Enabled(dlg, IDC_FULLBACKUP));
  EXPECT_FALSE(Enabled(dlg, IDC_SCHEDULE));
  EXPECT_FALSE(Enabled(dlg, IDC_ABOUT));
  EXPECT_FALSE(dlg.SetList()->isEnabled());
  EXPECT_TRUE(Enabled(dlg, IDC_MINIMIZE));
  EXPECT_TRUE(Enabled(dlg, IDCANCEL));
  dlg.SetRunning(false);
  EXPECT_TRUE(dlg.SetList()->isEnabled());
  EXPECT_TRUE(Enabled(dlg, IDC_DELETE));
  EXPECT_TRUE(Enabled(dlg, IDC_RESTORE));
  EXPECT_TRUE(Enabled(dlg, IDC_VIEW));
  EXPECT_TRUE(Enabled(dlg, IDC_FULLBACKUP));

  // While busy, a change of selection disables the set commands.
  ASSERT_TRUE(dlg.Runs().Begin());
  SelectRows(dlg, {1});
  EXPECT_FALSE(Enabled(dlg, IDC_DELETE));
  EXPECT_FALSE(Enabled(dlg, IDC_VIEW));
  dlg.Runs().Finish();

  // With a drive, Restore follows the selection.
  Attach(dlg, m_folder + "/");
  SelectRows(dlg, {0});
  EXPECT_TRUE(Enabled(dlg, IDC_RESTORE));
}

TEST_F(MainDialogTest, ContextMenuGraying) {
  MakeSet("A-1.fcf", 1133000000);
  MakeSet("A-2.fci", 1133000100);
  CBackupDlg dlg(nullptr, false);
  auto states = [&dlg] {
    std::unique_ptr<QMenu> menu(dlg.BuildSetMenu());
    std::vector<std::pair<std::string, bool>> items;
    for (QAction* a : menu->actions()) items.emplace_back(a->text().toStdString(), a->isEnabled());
    return items;
  };
  using Items = std::vector<std::pair<std::string, bool>>;
  SelectRows(dlg, {});
  EXPECT_EQ(states(), (Items{{"Restore...", false}, {"Delete...", false}, {"View...", false}}));
  SelectRows(dlg, {1});
  EXPECT_EQ(states(), (Items{{"Restore...", false}, {"Delete...", true}, {"View...", true}}));
  SelectRows(dlg, {0, 1});
  EXPECT_EQ(states(), (Items{{"Restore...", false}, {"Delete...", true}, {"View...", false}}));
  Attach(dlg, m_folder + "/");
  EXPECT_EQ(states(), (Items{{"Restore...", true}, {"Delete...", true}, {"View...", false}}));
  SelectRows(dlg, {});
  EXPECT_EQ(states(), (Items{{"Restore...", false}, {"Delete...", false}, {"View...", false}}));
}

TEST_F(MainDialogTest, DeleteKeepsTheRowsThatCannotBeDeleted) {
  const std::string first = MakeSet("A-1.fcf", 1133000000);
  const std::string middle = MakeSet("A-2.fcf", 1133000100, true);  // a folder: unlink fails
  const std::string last = MakeSet("A-3.fcf", 1133000200);
  const std::string other = MakeSet("B-4.fcf", 1133000300);
  CBackupDlg dlg(nullptr, false);
  QTreeWidget* list = dlg.SetList();
  ASSERT_EQ(list->topLevelItemCount(), 4);
  auto rowOf = [list](const std::string& path) {
    for (int i = 0; i < list->topLevelItemCount(); ++i)
      if (list->topLevelItem(i)->text(2).toStdString() == path) return list->topLevelItem(i);
    return static_cast<QTreeWidgetItem*>(nullptr);
  };
  list->clearSelection();
  for (const std::string& p : {first, middle, last}) rowOf(p)->setSelected(true);

  // No keeps everything.
  auto no = AnswerNextModal(QMessageBox::No);
  dlg.OnCommand(IDC_DELETE);
  ASSERT_TRUE(no->seen);
  EXPECT_EQ(no->text, "Are you sure you want to delete the selected backup set(s)?");
  EXPECT_EQ(list->topLevelItemCount(), 4);
  EXPECT_TRUE(std::filesystem::exists(first));

  auto yes = AnswerNextModal(QMessageBox::Yes);
  dlg.OnCommand(IDC_DELETE);
  ASSERT_TRUE(yes->seen);
  EXPECT_FALSE(std::filesystem::exists(first));
  EXPECT_FALSE(std::filesystem::exists(last));
  EXPECT_TRUE(std::filesystem::exists(middle));
  EXPECT_TRUE(std::filesystem::exists(other));
  ASSERT_EQ(list->topLevelItemCount(), 2);
  ASSERT_NE(rowOf(middle), nullptr);
  EXPECT_TRUE(rowOf(middle)->isSelected());
  ASSERT_NE(rowOf(other), nullptr);
  EXPECT_FALSE(rowOf(other)->isSelected());
}

TEST_F(MainDialogTest, NamesThatAreNotUtf8) {
  const std::string odd = MakeSet("ST\xe9K-1.fcf", 1133000000);
  CBackupDlg dlg(nullptr, false);
  ASSERT_EQ(dlg.SetList()->topLevelItemCount(), 1);
  QTreeWidgetItem* row = dlg.SetList()->topLevelItem(0);
  EXPECT_EQ(CSetListView::RowPath(row), odd);
  EXPECT_EQ(CSetListView::RowDriveName(row), "ST\xe9K");
  row->setSelected(true);
  auto yes = AnswerNextModal(QMessageBox::Yes);
  dlg.OnCommand(IDC_DELETE);
  ASSERT_TRUE(yes->seen);
  EXPECT_FALSE(std::filesystem::exists(odd));
  EXPECT_EQ(dlg.SetList()->topLevelItemCount(), 0);
}

TEST_F(MainDialogTest, EnterIgnoredEscapeAsks) {
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }));

  QKeyEvent enter(QEvent::KeyPress, Qt::Key_Return, Qt::NoModifier);
  QApplication::sendEvent(&dlg, &enter);
  Pump(50);
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  EXPECT_TRUE(dlg.isVisible());

  auto no = AnswerNextModal(QMessageBox::No);
  QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(&dlg, &escape);
  ASSERT_TRUE(no->seen);
  EXPECT_EQ(no->text, "Are you sure you want to close Fernlet?");
  EXPECT_TRUE(dlg.isVisible());

  // The Close button asks the same; Yes ends the dialog.
  auto yes = AnswerNextModal(QMessageBox::Yes);
  qobject_cast<QAbstractButton*>(dlg.Control(IDCANCEL))->click();
  ASSERT_TRUE(yes->seen);
  EXPECT_EQ(yes->text, "Are you sure you want to close Fernlet?");
  EXPECT_FALSE(dlg.isVisible());
  EXPECT_EQ(dlg.result(), QDialog::Rejected);
}

TEST_F(MainDialogTest, CloseWhileBusyOnlyStops) {
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  ASSERT_TRUE(dlg.Runs().Begin());

  auto no = AnswerNextModal(QMessageBox::No);
  dlg.OnCommand(IDCANCEL);
  ASSERT_TRUE(no->seen);
  EXPECT_EQ(no->text, "Backup is active! Are you sure you want to cancel it?");
  EXPECT_FALSE(dlg.Runs().StopRequested());

  auto yes = AnswerNextModal(QMessageBox::Yes);
  dlg.close();  // the window manager's close goes the same way
  ASSERT_TRUE(yes->seen);
  EXPECT_EQ(yes->text, "Backup is active! Are you sure you want to cancel it?");
  EXPECT_TRUE(dlg.Runs().StopRequested());
  EXPECT_TRUE(dlg.isVisible());

  // The Cancel button: Yes stops and disables it.
  dlg.Runs().Finish();
  ASSERT_TRUE(dlg.Runs().Begin());
  dlg.Control(IDC_CANCELRUN)->setEnabled(true);
  dlg.Control(IDC_CANCELRUN)->show();
  auto cancelNo = AnswerNextModal(QMessageBox::No);
  dlg.OnCommand(IDC_CANCELRUN);
  ASSERT_TRUE(cancelNo->seen);
  EXPECT_EQ(cancelNo->text, "Are you sure you want to cancel the backup?");
  EXPECT_FALSE(dlg.Runs().StopRequested());
  EXPECT_TRUE(dlg.Control(IDC_CANCELRUN)->isEnabled());
  auto cancelYes = AnswerNextModal(QMessageBox::Yes);
  dlg.OnCommand(IDC_CANCELRUN);
  ASSERT_TRUE(cancelYes->seen);
  EXPECT_TRUE(dlg.Runs().StopRequested());
  EXPECT_FALSE(dlg.Control(IDC_CANCELRUN)->isEnabled());
  EXPECT_TRUE(dlg.Control(IDC_CANCELRUN)->isVisible());
  dlg.Runs().Finish();
}

// Whether an image holds a pixel near the status line's dark blue.
bool HasBluePixel(const QImage& image) {
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.blue() > 150 && c.red() < 80 && c.green() < 80) return true;
    }
  return false;
}

TEST_F(MainDialogTest, BlinkAndColourRules) {
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  const QColor grey(128, 128, 128);
  EXPECT_EQ(dlg.ControlTextColour(IDC_DRIVENAME), grey);
  EXPECT_EQ(dlg.ControlTextColour(IDC_DRIVEINFO), grey);
  EXPECT_EQ(dlg.ControlTextColour(IDC_STATUS), QColor(0, 0, 192));

  QWidget* status = dlg.Control(IDC_STATUS);
  EXPECT_TRUE(HasBluePixel(status->grab().toImage()));

  // A run: the status text vanishes on every other tick of the blink timer.
  ASSERT_TRUE(dlg.Runs().Begin());
  EXPECT_TRUE(dlg.Runs().BlinkOn());
  EXPECT_EQ(dlg.ControlTextColour(IDC_STATUS), QColor(0, 0, 192));
  dlg.OnTimer(TIMER_BLINK);
  EXPECT_FALSE(dlg.Runs().BlinkOn());
  EXPECT_EQ(dlg.ControlTextColour(IDC_STATUS), dlg.palette().color(QPalette::Button));
  EXPECT_FALSE(HasBluePixel(status->grab().toImage()));
  dlg.OnTimer(TIMER_BLINK);
  EXPECT_TRUE(dlg.Runs().BlinkOn());
  EXPECT_TRUE(HasBluePixel(status->grab().toImage()));
  dlg.OnTimer(TIMER_BLINK);
  // Between runs it is steady blue whatever the phase.
  dlg.Runs().Finish();
  EXPECT_EQ(dlg.ControlTextColour(IDC_STATUS), QColor(0, 0, 192));

  // A drive turns the name and the figures black.
  dlg.SetRootOfLetter([this](char) { return m_folder + "/"; });
  dlg.OnDeviceChange(DBT_DEVICEARRIVAL, 1u << 4);
  EXPECT_EQ(dlg.ControlTextColour(IDC_DRIVENAME), QColor(Qt::black));
  EXPECT_EQ(dlg.ControlTextColour(IDC_DRIVEINFO), QColor(Qt::black));
  dlg.OnDeviceChange(DBT_DEVICEREMOVECOMPLETE, 1u << 4);
  EXPECT_EQ(dlg.ControlTextColour(IDC_DRIVENAME), grey);

  // The status timer fires once and stops itself; with the drive gone (removed within the two
  // seconds after a run) it leaves "Not Connected" standing.
  dlg.SetTimer(TIMER_STATUS, 20);
  ASSERT_TRUE(WaitUntil([&] { return !dlg.IsTimerActive(TIMER_STATUS); }, 3000));
  EXPECT_EQ(qobject_cast<QLabel*>(status)->text(), "Not Connected");
  dlg.OnDeviceChange(DBT_DEVICEARRIVAL, 1u << 4);
  dlg.SetTimer(TIMER_STATUS, 20);
  ASSERT_TRUE(WaitUntil([&] { return qobject_cast<QLabel*>(status)->text() == "Connected"; }, 3000));
  EXPECT_FALSE(dlg.IsTimerActive(TIMER_STATUS));
}

// The dialog's own painting, without its controls.
QImage Skin(CBackupDlg& dlg) {
  QImage image(dlg.size(), QImage::Format_RGB32);
  image.fill(Qt::magenta);
  dlg.render(&image, QPoint(), QRegion(), QWidget::DrawWindowBackground);
  return image;
}

TEST_F(MainDialogTest, SkinPixels) {
  CBackupDlg dlg(nullptr, false);
  QPalette palette = dlg.palette();
  palette.setColor(QPalette::Active, QPalette::Highlight, QColor(10, 120, 200));
  palette.setColor(QPalette::Button, QColor(212, 208, 200));
  dlg.setPalette(palette);
  const QImage skin = Skin(dlg);
  const int W = skin.width(), H = skin.height();
  auto at = [&skin](int x, int y) { return skin.pixelColor(x, y); };

  // The band: caption + 4 at column 0, + 60 at 14 (blue 260 wraps to 4), the caption at 29.
  EXPECT_EQ(at(0, H - 1), QColor(14, 124, 204));
  EXPECT_EQ(at(14, H - 1), QColor(70, 180, 4));
  EXPECT_EQ(at(29, H - 1), QColor(10, 120, 200));
  EXPECT_EQ(at(0, 0), QColor(14, 124, 204));

  // The header band from x = 30: 196 at row 0, 240 at row 11, 188 at row 24.
  EXPECT_EQ(at(30, 0), QColor(196, 196, 196));
  EXPECT_EQ(at(W - 1, 11), QColor(240, 240, 240));
  EXPECT_EQ(at(120, 24), QColor(188, 188, 188));  // covers the separator's top
  EXPECT_EQ(at(30, 25), QColor(212, 208, 200));   // button face below it

  // The separator at x = 120 to y = E + 35, not drawn at its end point.
  const QFontMetrics metrics(fern::VerticalFont());
  const int E = metrics.horizontalAdvance(QStringLiteral("Fernlet"));
  EXPECT_EQ(at(120, 25), QColor(Qt::black));
  EXPECT_EQ(at(120, E + 34), QColor(Qt::black));
  EXPECT_EQ(at(120, E + 35), QColor(212, 208, 200));
  EXPECT_EQ(at(121, 30), QColor(212, 208, 200));

  // The label in the caption colour less 50 (10 - 50 wraps to 216), inside the band, above
  // the bottom of its rectangle and at most E pixels long.
  const QColor label(216, 70, 150);
  int top = H, bottom = -1;
  for (int y = 0; y < H; ++y)
    for (int x = 0; x < 30; ++x)
      if (at(x, y) == label) top = std::min(top, y), bottom = std::max(bottom, y);
  ASSERT_GE(bottom, 0) << "no pixel in the label colour";
  EXPECT_GE(top, 0);
  EXPECT_LE(bottom, E + 40);
  EXPECT_LE(bottom - top, E);
  EXPECT_GT(bottom - top, E / 2);  // it reads along the band, not across
}

TEST_F(MainDialogTest, TrayAndWindowMenu) {
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  ASSERT_TRUE(WaitUntil([&] { return dlg.isVisible(); }));
  // Offscreen there is no tray: the window minimises rather than vanish for good.
  dlg.OnCommand(IDC_MINIMIZE);
  EXPECT_TRUE(dlg.Tray().InTray());
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    EXPECT_TRUE(dlg.isVisible());
    EXPECT_TRUE(dlg.windowState() & Qt::WindowMinimized);
  } else {
    EXPECT_FALSE(dlg.isVisible());
  }
  dlg.OnCommand(ID_TRAY_OPEN);
  EXPECT_FALSE(dlg.Tray().InTray());
  EXPECT_TRUE(dlg.isVisible());
  EXPECT_FALSE(dlg.windowState() & Qt::WindowMinimized);

  std::unique_ptr<QMenu> menu(dlg.BuildWindowMenu());
  std::vector<std::pair<std::string, int>> items;
  for (QAction* a : menu->actions())
    if (!a->isSeparator()) items.emplace_back(a->text().toStdString(), a->data().toInt());
  EXPECT_EQ(items, (std::vector<std::pair<std::string, int>>{{"Close", 2}, {"&About fernapp...", 16}}));

  // About from the window menu and from its button, Options from its button: each modal.
  for (int command : {IDM_ABOUTBOX, IDC_ABOUT}) {
    auto about = AnswerNextModal(QMessageBox::Ok);
    dlg.OnCommand(command);
    ASSERT_TRUE(about->seen);
    EXPECT_EQ(about->className, "CAboutDlg");
  }
  auto options = AnswerNextModal(QMessageBox::Cancel);
  dlg.OnCommand(IDC_SCHEDULE);
  ASSERT_TRUE(options->seen);
  EXPECT_EQ(options->className, "COptions");
}

}  // namespace

// The Menu key (a context menu event of the keyboard, as the platform delivers it) and Shift+F10
// open the set menu at the selected row, wherever the mouse pointer is.
TEST_F(MainDialogTest, SetMenuFromTheKeyboardOpensAtTheSelectedRow) {
  MakeSet("A-1.fcf", 1133000000);
  MakeSet("A-2.fci", 1133000100);
  MakeSet("A-3.fci", 1133000200);
  CBackupDlg dlg(nullptr, false);
  dlg.show();
  dlg.move(0, 0);  // so that the menu fits on the screen where it is asked to open
  dlg.activateWindow();
  QTreeWidget* list = dlg.SetList();
  list->setFocus();
  ASSERT_TRUE(WaitUntil([list] { return QApplication::focusWidget() == list; }));
  QCursor::setPos(dlg.mapToGlobal(QPoint(5, 5)));
  QTreeWidgetItem* row = list->topLevelItem(2);
  list->setCurrentItem(row);
  ASSERT_TRUE(row->isSelected());

  struct Opened {
    std::vector<std::string> texts;
    QPoint where;
  };
  auto catchMenu = [](Opened& opened) {
    auto* timer = new QTimer;
    QObject::connect(timer, &QTimer::timeout, [timer, &opened] {
      if (auto* menu = qobject_cast<QMenu*>(QApplication::activePopupWidget())) {
        for (QAction* a : menu->actions()) opened.texts.push_back(a->text().toStdString());
        opened.where = menu->pos();
        menu->close();
        timer->deleteLater();
      }
    });
    timer->start(20);
    return timer;
  };
  auto expected = [list, row] {
    const QRect rect = list->visualItemRect(row);
    return list->viewport()->mapToGlobal(QPoint(rect.left() + rect.height(), rect.bottom()));
  };
  const std::vector<std::string> setMenu{"Restore...", "Delete...", "View..."};
  {
    Opened opened;
    QPointer<QTimer> timer = catchMenu(opened);
    QContextMenuEvent menuKey(QContextMenuEvent::Keyboard, QPoint(5, 5), dlg.mapToGlobal(QPoint(5, 5)));
    QApplication::sendEvent(dlg.windowHandle(), &menuKey);
    delete timer.data();
    EXPECT_EQ(opened.texts, setMenu) << "the Menu key opened no set menu";
    EXPECT_EQ(opened.where, expected());
  }
  {
    Opened opened;
    QPointer<QTimer> timer = catchMenu(opened);
    QKeyEvent press(QEvent::KeyPress, Qt::Key_F10, Qt::ShiftModifier);
    QApplication::sendEvent(dlg.windowHandle(), &press);
    delete timer.data();
    EXPECT_EQ(opened.texts, setMenu) << "Shift+F10 opened no set menu";
    EXPECT_EQ(opened.where, expected());
  }
}
