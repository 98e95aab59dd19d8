#include <QFontMetrics>
#include <QHeaderView>
#include <QTableWidget>
#include <gtest/gtest.h>

#include "dialogs/ErrorDlg.h"
#include "tests/dialogs/ModalHelpers.h"

namespace {

int Expected(const QFontMetrics& metrics, const std::vector<std::string>& texts) {
  int width = 80;
  for (const std::string& t : texts)
    width = std::max(width, metrics.horizontalAdvance(QString::fromStdString(t)) + 25);
  return width;
}

TEST(ErrorDlgTest, OneShortFailureKeepsTheEightyPixelColumns) {
  std::vector<std::string> names{"a.txt"}, errors{"No"};
  CErrorDlg dialog(&names, &errors);
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Fernlet Errors"));
  QTableWidget* list = dialog.List();
  ASSERT_EQ(list->rowCount(), 1);
  EXPECT_EQ(list->columnCount(), 2);
  EXPECT_EQ(list->horizontalHeaderItem(0)->text(), QStringLiteral("FileName"));
  EXPECT_EQ(list->horizontalHeaderItem(1)->text(), QStringLiteral("Error"));
  EXPECT_EQ(list->columnWidth(0), 80);
  EXPECT_EQ(list->columnWidth(1), 80);
  EXPECT_TRUE(list->showGrid());
  EXPECT_EQ(list->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(list->selectionMode(), QAbstractItemView::SingleSelection);
  EXPECT_FALSE(list->horizontalHeader()->sectionsClickable());
  EXPECT_EQ(list->objectName(), QStringLiteral("1000"));
}

TEST(ErrorDlgTest, ThousandFailuresAndTheMarkerRowInOrderWithWidestPlusTwentyFive) {
  std::vector<std::string> names, errors;
  for (int i = 0; i < 1000; ++i) {
    names.push_back("E:\\folder\\file" + std::to_string(i) + ".dat");
    errors.push_back("Access to E:\\folder\\file" + std::to_string(i) + ".dat was denied.");
  }
  names[417] = "E:\\" + std::string(150, 'w') + ".txt";  // far wider than the list
  names.push_back("<Exceeded Maximum number of Errors>");
  errors.push_back("<Cancelling operation>");

  CErrorDlg dialog(&names, &errors);
  QTableWidget* list = dialog.List();
  ASSERT_EQ(list->rowCount(), 1001);
  EXPECT_EQ(list->item(0, 0)->text(), QStringLiteral("E:\\folder\\file0.dat"));
  EXPECT_EQ(list->item(999, 1)->text(), QStringLiteral("Access to E:\\folder\\file999.dat was denied."));
  EXPECT_EQ(list->item(1000, 0)->text(), QStringLiteral("<Exceeded Maximum number of Errors>"));
  EXPECT_EQ(list->item(1000, 1)->text(), QStringLiteral("<Cancelling operation>"));

  QFontMetrics metrics(list->font());
  EXPECT_EQ(list->columnWidth(0), Expected(metrics, names));
  EXPECT_EQ(list->columnWidth(1), Expected(metrics, errors));
  EXPECT_GT(list->columnWidth(0), list->viewport()->width());  // the list scrolls sideways

  // Every row shows the error-row picture: a red mark on white.
  for (int row : {0, 500, 1000}) {
    QIcon icon = list->item(row, 0)->icon();
    ASSERT_FALSE(icon.isNull()) << row;
    QImage image = icon.pixmap(16, 16).toImage();
    EXPECT_EQ(image.pixelColor(0, 0), QColor(Qt::white)) << row;
    QColor mark = image.pixelColor(8, 5);
    EXPECT_GT(mark.red(), 150) << row;
    EXPECT_LT(mark.green(), 90) << row;
  }
}

TEST(ErrorDlgTest, MissingListsLeaveItEmpty) {
  std::vector<std::string> names{"a"};
  CErrorDlg noErrors(&names, nullptr);
  EXPECT_EQ(noErrors.List()->rowCount(), 0);
  CErrorDlg none(nullptr, nullptr);
  EXPECT_EQ(none.List()->rowCount(), 0);
  EXPECT_EQ(none.List()->columnWidth(0), 80);
}

TEST(ErrorDlgTest, EnterEscapeAndTheCloseBoxCloseIt) {
  std::vector<std::string> names{"a.txt"}, errors{"failed"};
  for (int way = 0; way < 3; ++way) {
    CErrorDlg dialog(&names, &errors);
    WhenModal<CErrorDlg> act([way](CErrorDlg* d) {
      if (way == 0) SendKey(d->focusWidget() ? d->focusWidget() : d, Qt::Key_Return);
      if (way == 1) SendKey(d->focusWidget() ? d->focusWidget() : d, Qt::Key_Escape);
      if (way == 2) d->close();
    });
    EXPECT_NE(dialog.exec(), WhenModal<CErrorDlg>::kStuck) << way;
    EXPECT_TRUE(act.Seen()) << way;
    EXPECT_FALSE(dialog.isVisible()) << way;
  }
}

}  // namespace
