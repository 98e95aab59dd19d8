#include <QFontMetrics>
#include <QLabel>
#include <QPushButton>
#include <gtest/gtest.h>

#include "dialogs/OWPrompt.h"
#include "res/Resource.h"
#include "tests/dialogs/ModalHelpers.h"

namespace {

TEST(OWPromptTest, EachButtonGivesItsAnswer) {
  const struct { int id; int result; } cases[] = {
      {IDC_OW_YES, 2}, {IDC_OW_YESTOALL, 3}, {IDCANCEL, 0}, {IDC_OW_NOTOALL, 1}};
  for (const auto& c : cases) {
    COWPrompt prompt;
    prompt.m_strFileName = "/media/ann/STICK/notes.txt";
    WhenModal<COWPrompt> click([&](COWPrompt* p) { p->Button(c.id)->click(); });
    EXPECT_EQ(prompt.exec(), c.result) << c.id;
    EXPECT_TRUE(click.Seen());
  }
}

TEST(OWPromptTest, EnterTakesTheDefaultYesAndEscapeOrCloseSayNo) {
  {
    COWPrompt prompt;
    QWidget* focused = nullptr;
    bool yesIsDefault = false;
    // Read while the prompt is up: once it closes, the focus leaving an auto-default button
    // may hand the default mark back to the dialog, depending on when the window deactivates.
    WhenModal<COWPrompt> enter([&](COWPrompt* p) {
      focused = p->focusWidget();
      yesIsDefault = p->Button(IDC_OW_YES)->isDefault();
      SendKey(focused, Qt::Key_Return);
    });
    EXPECT_EQ(prompt.exec(), COWPrompt::RESULT_YES);
    EXPECT_EQ(focused, prompt.Button(IDC_OW_YES));
    EXPECT_TRUE(yesIsDefault);
  }
  {
    COWPrompt prompt;
    WhenModal<COWPrompt> escape([](COWPrompt* p) { SendKey(p->focusWidget(), Qt::Key_Escape); });
    EXPECT_EQ(prompt.exec(), COWPrompt::RESULT_NO);
  }
  {
    COWPrompt prompt;
    WhenModal<COWPrompt> close([](COWPrompt* p) { p->close(); });
    EXPECT_EQ(prompt.exec(), COWPrompt::RESULT_NO);
  }
}

TEST(OWPromptTest, ShowsTheNameCentredAndALongPathShortenedInItsMiddle) {
  COWPrompt shortName;
  EXPECT_EQ(shortName.windowTitle(), QStringLiteral("Overwrite?"));
  shortName.m_strFileName = "/media/ann/STICK/a.txt";
  shortName.show();
  EXPECT_EQ(shortName.FileNameLabel()->text(), QStringLiteral("/media/ann/STICK/a.txt"));
  EXPECT_TRUE(shortName.FileNameLabel()->alignment() & Qt::AlignHCenter);
  EXPECT_EQ(shortName.FileNameLabel()->objectName(), QStringLiteral("1028"));

  std::string start = "/media/ann/STICK/";
  std::string end = "/final-report.doc";
  std::string path = start + std::string(40, 'x') + "/" + std::string(40, 'y') + end;
  COWPrompt prompt;
  prompt.m_strFileName = path;
  prompt.show();
  QLabel* label = prompt.FileNameLabel();
  QString shown = label->text();
  EXPECT_TRUE(shown.contains(QChar(0x2026))) << shown.toStdString();
  EXPECT_TRUE(shown.startsWith(QStringLiteral("/media/"))) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith(QStringLiteral(".doc"))) << shown.toStdString();
  EXPECT_LE(QFontMetrics(label->font()).horizontalAdvance(shown), label->width());
  EXPECT_EQ(label->toolTip(), QString::fromStdString(path));
}

TEST(OWPromptTest, AFileNameIsNeverTakenForMarkup) {
  COWPrompt prompt;
  prompt.m_strFileName = "/media/STICK/<b>bold</b>.txt";
  prompt.show();
  EXPECT_EQ(prompt.FileNameLabel()->textFormat(), Qt::PlainText);
  EXPECT_EQ(prompt.FileNameLabel()->text(), QStringLiteral("/media/STICK/<b>bold</b>.txt"));
}

}  // namespace
