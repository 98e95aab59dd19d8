#include "dialogs/WidgetEngineUI.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>

#include "dialogs/ShownText.h"
#include "dialogs/DialogFrame.h"
#include "dialogs/ErrorDlg.h"
#include "dialogs/GuiThread.h"
#include "dialogs/OWPrompt.h"

namespace {

// Widgets need a QApplication; without one a prompt cannot be shown and answers as No would.
bool CanShowWidgets() { return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr; }


}  // namespace

void CWidgetEngineUI::ShowErrorList(const std::vector<std::string>& fileNames,
                                    const std::vector<std::string>& errorTexts) {
  if (!CanShowWidgets()) return;
  fern::RunOnGuiThread([&] {
    CErrorDlg dialog(&fileNames, &errorTexts);
    dialog.exec();
  });
}

OverwriteAnswer CWidgetEngineUI::AskOverwrite(const std::string& path) {
  if (!CanShowWidgets()) return OverwriteAnswer::No;
  int answer = COWPrompt::RESULT_NO;
  fern::RunOnGuiThread([&] {
    COWPrompt prompt;
    prompt.m_strFileName = path;
    answer = prompt.exec();
  });
  if (answer < COWPrompt::RESULT_NO || answer > COWPrompt::RESULT_YES_TO_ALL) return OverwriteAnswer::No;
  return static_cast<OverwriteAnswer>(answer);
}

bool CWidgetEngineUI::AskYesNo(const std::string& question) {
  if (!CanShowWidgets()) return false;
  bool yes = false;
  fern::RunOnGuiThread([&] {
    QMessageBox box(QMessageBox::Question, QStringLiteral("Ferncastle"), fern::ShownText(question),
                    QMessageBox::Yes | QMessageBox::No, m_pQuestionOwner);
    box.setTextFormat(Qt::PlainText);  // names in questions are never markup
    box.setDefaultButton(QMessageBox::Yes);
    box.setEscapeButton(QMessageBox::No);
    fern::KeepCaptionWhole(box);
    yes = box.exec() == QMessageBox::Yes;
  });
  return yes;
}

void CWidgetEngineUI::ShowMessage(const std::string& text) {
  if (!CanShowWidgets()) return;
  fern::RunOnGuiThread([&] {
    QMessageBox box(QMessageBox::Warning, QStringLiteral("Ferncastle"), fern::ShownText(text), QMessageBox::Ok,
                    m_pQuestionOwner);
    box.setTextFormat(Qt::PlainText);
    fern::KeepCaptionWhole(box);
    box.exec();
  });
}
