#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include "dialogs/AboutDlg.h"
#include "tests/dialogs/ModalHelpers.h"

namespace {

TEST(AboutDlgTest, ShowsNameVersionAndIconAndOkOrEscapeClose) {
  CAboutDlg about;
  EXPECT_EQ(about.windowTitle(), QStringLiteral("About Ferncastle"));
  bool named = false, pictured = false;
  for (QLabel* label : about.findChildren<QLabel*>()) {
    if (label->text() == QStringLiteral("Ferncastle Ver. 1.0")) named = true;
    if (!label->pixmap().isNull()) pictured = label->pixmap().width() == 32;
  }
  EXPECT_TRUE(named);
  EXPECT_TRUE(pictured);
  auto* ok = about.findChild<QPushButton*>(QStringLiteral("1"));
  ASSERT_NE(ok, nullptr);
  EXPECT_EQ(ok->text(), QStringLiteral("&OK"));
  EXPECT_TRUE(ok->isDefault());

  WhenModal<CAboutDlg> press([](CAboutDlg* d) {
    d->findChild<QPushButton*>(QStringLiteral("1"))->click();
  });
  EXPECT_EQ(about.exec(), QDialog::Accepted);

  CAboutDlg again;
  WhenModal<CAboutDlg> escape([](CAboutDlg* d) { SendKey(d, Qt::Key_Escape); });
  EXPECT_EQ(again.exec(), QDialog::Rejected);
}

}  // namespace
