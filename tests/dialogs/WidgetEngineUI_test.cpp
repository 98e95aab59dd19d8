#include <QEventLoop>
#include <QFontMetrics>
#include <QMessageBox>
#include <QPushButton>
#include <QTableWidget>
#include <QThread>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

#include "dialogs/ErrorDlg.h"
#include "dialogs/OWPrompt.h"
#include "dialogs/WidgetEngineUI.h"
#include "res/Resource.h"
#include "tests/dialogs/ModalHelpers.h"

namespace {

// The status line belongs to each window; the shared part is what is tested here.
class TestUI : public CWidgetEngineUI {
 public:
  using CWidgetEngineUI::CWidgetEngineUI;
  void SetStatusText(const std::string&) override {}
};

// Runs work on a worker thread, as the engine does, while the GUI thread keeps its loop going.
template <class Work>
void OnWorker(Work work) {
  QEventLoop loop;
  std::atomic<bool> onGuiThread{true};
  std::thread worker([&] {
    onGuiThread = QThread::currentThread() == QCoreApplication::instance()->thread();
    work();
    QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
  });
  loop.exec();
  worker.join();
  EXPECT_FALSE(onGuiThread);
}

TEST(WidgetEngineUITest, AnOverwriteQuestionFromAWorkerReturnsTheAnswer) {
  TestUI ui;
  OverwriteAnswer answer = OverwriteAnswer::None;
  std::string shownName;
  bool guiThread = false;
  WhenModal<COWPrompt> click([&](COWPrompt* prompt) {
    guiThread = QThread::currentThread() == prompt->thread();
    shownName = prompt->m_strFileName;
    EXPECT_EQ(prompt->parentWidget(), nullptr);
    prompt->Button(IDC_OW_YESTOALL)->click();
  });
  OnWorker([&] { answer = ui.AskOverwrite("/media/STICK/x.txt"); });
  EXPECT_EQ(answer, OverwriteAnswer::YesToAll);
  EXPECT_EQ(shownName, "/media/STICK/x.txt");
  EXPECT_TRUE(guiThread);
}

TEST(WidgetEngineUITest, QuestionsAreYesNoCaptionedFerncastle) {
  QWidget owner;
  TestUI ui(&owner);
  for (bool sayYes : {true, false}) {
    bool answer = !sayYes;
    QString caption, text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* parent = nullptr;
    WhenModal<QMessageBox> reply([&](QMessageBox* box) {
      caption = box->windowTitle();
      text = box->text();
      icon = box->icon();
      parent = box->parentWidget();
      EXPECT_NE(box->button(QMessageBox::No), nullptr);
      box->button(sayYes ? QMessageBox::Yes : QMessageBox::No)->click();
    });
    OnWorker([&] { answer = ui.AskYesNo("Are you sure you want to close Fernlet?"); });
    EXPECT_EQ(answer, sayYes);
    EXPECT_EQ(caption, QStringLiteral("Ferncastle"));
    EXPECT_EQ(text, QStringLiteral("Are you sure you want to close Fernlet?"));
    EXPECT_EQ(icon, QMessageBox::Question);
    EXPECT_EQ(parent, &owner);
  }
}

TEST(WidgetEngineUITest, MessagesAndTheErrorListWaitForTheUser) {
  TestUI ui;
  QString text;
  WhenModal<QMessageBox> ok([&](QMessageBox* box) {
    text = box->text();
    EXPECT_EQ(box->windowTitle(), QStringLiteral("Ferncastle"));
    // A box sized to "error reading" alone leaves the title bar too little room: window managers
    // then cut the caption to "Fe...tle". Its width must hold the caption in a title font (taken
    // here as bold and half as large again) beside the frame's icon and three buttons.
    QFont title = box->font();
    title.setBold(true);
    title.setPointSizeF(title.pointSizeF() * 1.5);
    EXPECT_GE(box->width(), QFontMetrics(title).horizontalAdvance(box->windowTitle()) + 4 * 24)
        << "the message box is " << box->width() << " px wide";
    box->button(QMessageBox::Ok)->click();
  });
  OnWorker([&] { ui.ShowMessage("error reading"); });
  EXPECT_EQ(text, QStringLiteral("error reading"));

  std::vector<std::string> names{"E:\\a.txt", "E:\\b.txt"}, errors{"one", "two"};
  int rows = -1;
  WhenModal<CErrorDlg> close([&](CErrorDlg* dialog) {
    rows = dialog->List()->rowCount();
    dialog->close();
  });
  OnWorker([&] { ui.ShowErrorList(names, errors); });
  EXPECT_EQ(rows, 2);
}

TEST(WidgetEngineUITest, OnTheGuiThreadItselfThePromptRunsDirectly) {
  TestUI ui;
  WhenModal<COWPrompt> no([](COWPrompt* prompt) { prompt->Button(IDC_OW_NOTOALL)->click(); });
  EXPECT_EQ(ui.AskOverwrite("/media/STICK/y.txt"), OverwriteAnswer::NoToAll);
}

}  // namespace
