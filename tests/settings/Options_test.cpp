#include <QApplication>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPushButton>
#include <QSettings>
#include <QTimer>
#include <cstdlib>
#include <gtest/gtest.h>

#include "res/Resource.h"
#include "settings/Options.h"
#include "settings/SettingsStore.h"
#include "settings/UpDown.h"

namespace {

QString ConfigHome() { return QString::fromLocal8Bit(std::getenv("XDG_CONFIG_HOME")); }
QString StoreFile() { return ConfigHome() + QStringLiteral("/KW/fernapp.conf"); }

// The stored value as the file has it, or "missing".
QString Stored(const char* name) {
  QSettings direct(StoreFile(), QSettings::IniFormat);
  QVariant v = direct.value(QStringLiteral("Settings/") + QString::fromLatin1(name));
  return v.isValid() ? v.toString() : QStringLiteral("missing");
}

void Store(int full, int fullDays, int quick, int quickDays, int purgeDays) {
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Enable Full", full));
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Full Days", fullDays));
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Enable Incremental", quick));
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Incremental Days", quickDays));
  ASSERT_TRUE(fern::WriteProfileInt("Settings", "Purge Days", purgeDays));
}

QPushButton* Button(COptions& dialog, int id) {
  return dialog.findChild<QPushButton*>(QString::number(id));
}

void Click(QWidget* widget, QPoint at) {
  QPointF local(at), global(widget->mapToGlobal(at));
  QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton,
                      Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
  QApplication::sendEvent(widget, &release);
}

void Key(QWidget* widget, int key) {
  QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
  QApplication::sendEvent(widget, &press);
}

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override { QFile::remove(StoreFile()); }
  void TearDown() override { QFile::remove(StoreFile()); }
};

TEST_F(OptionsTest, FirstStartProposesSevenOneSixtyAndOkWritesThem) {
  COptions dialog;
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Fernlet Options"));
  EXPECT_EQ(dialog.Edit(IDC_FULL_DAYS)->text(), QStringLiteral("7"));
  EXPECT_EQ(dialog.Edit(IDC_QUICK_DAYS)->text(), QStringLiteral("1"));
  EXPECT_EQ(dialog.Edit(IDC_PURGE_DAYS)->text(), QStringLiteral("60"));
  EXPECT_TRUE(dialog.CheckBox(IDC_ENABLE_FULL)->isChecked());
  EXPECT_TRUE(dialog.CheckBox(IDC_ENABLE_QUICK)->isChecked());
  EXPECT_EQ(dialog.focusWidget(), dialog.CheckBox(IDC_ENABLE_FULL));
  // The controls can be found by their template ids.
  EXPECT_EQ(dialog.findChild<QLineEdit*>(QStringLiteral("1021")), dialog.Edit(IDC_FULL_DAYS));
  EXPECT_EQ(dialog.findChild<QCheckBox*>(QStringLiteral("1019")), dialog.CheckBox(IDC_ENABLE_QUICK));
  EXPECT_NE(dialog.findChild<CUpDown*>(QStringLiteral("1025")), nullptr);
  EXPECT_FALSE(QFile::exists(StoreFile())) << "opening the dialog writes nothing";

  Button(dialog, IDOK)->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(Stored("Full Days"), QStringLiteral("7"));
  EXPECT_EQ(Stored("Incremental Days"), QStringLiteral("1"));
  EXPECT_EQ(Stored("Enable Full"), QStringLiteral("1"));
  EXPECT_EQ(Stored("Enable Incremental"), QStringLiteral("1"));
  EXPECT_EQ(Stored("Purge Days"), QStringLiteral("60"));
}

TEST_F(OptionsTest, OpeningShowsTheStoredValues) {
  Store(0, 30, 1, -2, 0);
  COptions dialog;
  EXPECT_FALSE(dialog.CheckBox(IDC_ENABLE_FULL)->isChecked());
  EXPECT_TRUE(dialog.CheckBox(IDC_ENABLE_QUICK)->isChecked());
  EXPECT_EQ(dialog.Edit(IDC_FULL_DAYS)->text(), QStringLiteral("30"));
  EXPECT_EQ(dialog.Edit(IDC_QUICK_DAYS)->text(), QStringLiteral("-2"));
  EXPECT_EQ(dialog.Edit(IDC_PURGE_DAYS)->text(), QStringLiteral("0"));
}

TEST_F(OptionsTest, CancelEscapeAndCloseWriteNothing) {
  Store(1, 7, 1, 1, 60);
  for (int way = 0; way < 3; ++way) {
    COptions dialog;
    dialog.show();
    dialog.Edit(IDC_FULL_DAYS)->setText(QStringLiteral("99"));
    dialog.Edit(IDC_PURGE_DAYS)->setText(QStringLiteral("5"));
    dialog.CheckBox(IDC_ENABLE_QUICK)->setChecked(false);
    if (way == 0) Button(dialog, IDCANCEL)->click();
    if (way == 1) Key(&dialog, Qt::Key_Escape);
    if (way == 2) dialog.close();
    EXPECT_EQ(dialog.result(), QDialog::Rejected) << way;
    EXPECT_FALSE(dialog.isVisible()) << way;
    EXPECT_EQ(Stored("Full Days"), QStringLiteral("7")) << way;
    EXPECT_EQ(Stored("Purge Days"), QStringLiteral("60")) << way;
    EXPECT_EQ(Stored("Enable Incremental"), QStringLiteral("1")) << way;
  }
  COptions again;
  EXPECT_EQ(again.Edit(IDC_FULL_DAYS)->text(), QStringLiteral("7"));
}

TEST_F(OptionsTest, TextThatIsNoNumberIsStoredAsZeroAndNumbersAreNotChecked) {
  COptions dialog;
  dialog.Edit(IDC_FULL_DAYS)->setText(QString());
  dialog.Edit(IDC_QUICK_DAYS)->setText(QStringLiteral("often"));
  dialog.Edit(IDC_PURGE_DAYS)->setText(QStringLiteral("4294967296"));
  Button(dialog, IDOK)->click();
  EXPECT_EQ(Stored("Full Days"), QStringLiteral("0"));
  EXPECT_EQ(Stored("Incremental Days"), QStringLiteral("0"));
  EXPECT_EQ(Stored("Purge Days"), QStringLiteral("0"));

  COptions second;
  second.Edit(IDC_FULL_DAYS)->setText(QStringLiteral("500"));
  second.Edit(IDC_QUICK_DAYS)->setText(QStringLiteral("-4"));
  second.Edit(IDC_PURGE_DAYS)->setText(QStringLiteral("12abc"));
  Button(second, IDOK)->click();
  EXPECT_EQ(Stored("Full Days"), QStringLiteral("500"));
  EXPECT_EQ(Stored("Incremental Days"), QStringLiteral("-4"));
  EXPECT_EQ(Stored("Purge Days"), QStringLiteral("0"));

  EXPECT_EQ(COptions::ParseNumber(QStringLiteral("-2147483648")), -2147483648LL);
  EXPECT_EQ(COptions::ParseNumber(QStringLiteral("2147483648")), 0);
  EXPECT_EQ(COptions::ParseNumber(QStringLiteral(" 15 ")), 15);
}

TEST_F(OptionsTest, ClearedFullBoxWritesZeroAndKeepsTheDays) {
  COptions dialog;
  dialog.CheckBox(IDC_ENABLE_FULL)->click();
  EXPECT_FALSE(dialog.CheckBox(IDC_ENABLE_FULL)->isChecked());
  // The boxes do not switch the edits off.
  EXPECT_TRUE(dialog.Edit(IDC_FULL_DAYS)->isEnabled());
  Button(dialog, IDOK)->click();
  EXPECT_EQ(Stored("Enable Full"), QStringLiteral("0"));
  EXPECT_EQ(Stored("Full Days"), QStringLiteral("7"));
  EXPECT_EQ(Stored("Enable Incremental"), QStringLiteral("1"));
}

TEST_F(OptionsTest, UpArrowLowersDownArrowRaisesWithinZeroToHundred) {
  COptions dialog;
  dialog.show();
  CUpDown* full = dialog.UpDown(IDC_FULL_SPIN);
  QLineEdit* edit = dialog.Edit(IDC_FULL_DAYS);
  ASSERT_NE(full, nullptr);
  EXPECT_EQ(full->Buddy(), edit);
  // It sits at the right edge of its edit.
  EXPECT_EQ(full->geometry().left(), edit->geometry().right() + 1);
  EXPECT_EQ(full->geometry().top(), edit->geometry().top());

  Click(full, full->UpArrowRect().center());
  EXPECT_EQ(edit->text(), QStringLiteral("6"));
  Click(full, full->DownArrowRect().center());
  Click(full, full->DownArrowRect().center());
  EXPECT_EQ(edit->text(), QStringLiteral("8"));
  Key(edit, Qt::Key_Up);
  EXPECT_EQ(edit->text(), QStringLiteral("7"));
  Key(edit, Qt::Key_Down);
  EXPECT_EQ(edit->text(), QStringLiteral("8"));

  edit->setText(QStringLiteral("0"));
  Click(full, full->UpArrowRect().center());
  EXPECT_EQ(edit->text(), QStringLiteral("0"));
  edit->setText(QStringLiteral("100"));
  Click(full, full->DownArrowRect().center());
  EXPECT_EQ(edit->text(), QStringLiteral("100"));
  // A typed number outside the range is left to the user; the arrows go on from the
  // control's own last position.
  edit->setText(QStringLiteral("500"));
  Click(full, full->UpArrowRect().center());
  EXPECT_EQ(edit->text(), QStringLiteral("99"));
  edit->setText(QStringLiteral("never"));
  Click(full, full->DownArrowRect().center());
  EXPECT_EQ(edit->text(), QStringLiteral("100"));

  CUpDown* quick = dialog.UpDown(IDC_QUICK_SPIN);
  ASSERT_NE(quick, nullptr);
  EXPECT_EQ(quick->Buddy(), dialog.Edit(IDC_QUICK_DAYS));
  Click(quick, quick->DownArrowRect().center());
  EXPECT_EQ(dialog.Edit(IDC_QUICK_DAYS)->text(), QStringLiteral("2"));
  EXPECT_EQ(dialog.UpDown(IDC_FULL_DAYS), nullptr);
}

TEST_F(OptionsTest, AFailedWriteIsSaidAndTheDialogStaysOpen) {
  QString kwFolder = ConfigHome() + QStringLiteral("/KW");
  QString moved = ConfigHome() + QStringLiteral("/KW.saved");
  if (QFile::exists(kwFolder)) {
    ASSERT_TRUE(QDir().rename(kwFolder, moved));
  }
  {
    QFile blocker(kwFolder);
    ASSERT_TRUE(blocker.open(QIODevice::WriteOnly));
  }
  COptions dialog;
  dialog.show();
  QString shown;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
      shown = box->text();
      box->button(QMessageBox::Ok)->click();
    }
  });
  poll.start(10);
  Button(dialog, IDOK)->click();
  poll.stop();
  EXPECT_EQ(shown, QStringLiteral("The settings could not be saved."));
  EXPECT_TRUE(dialog.isVisible());
  EXPECT_NE(dialog.result(), QDialog::Accepted);

  ASSERT_TRUE(QFile::remove(kwFolder));
  if (QFile::exists(moved)) {
    ASSERT_TRUE(QDir().rename(moved, kwFolder));
  }
  Button(dialog, IDOK)->click();
  EXPECT_EQ(dialog.result(), QDialog::Accepted);
  EXPECT_EQ(Stored("Purge Days"), QStringLiteral("60"));
}

}  // namespace
