// The parts of the engine's user interface that every window shares: the error list, the
// overwrite prompt, questions and messages, each shown modally on the GUI thread (with no
// parent window, as dialogs of the worker) while the calling worker waits.
#pragma once

#include <string>
#include <vector>

#include "engine/EngineUI.h"

class QWidget;

class CWidgetEngineUI : public IEngineUI {
 public:
  // questionOwner: the window that owns Yes/No questions and messages (may be null).
  explicit CWidgetEngineUI(QWidget* questionOwner = nullptr) : m_pQuestionOwner(questionOwner) {}

  void ShowErrorList(const std::vector<std::string>& fileNames,
                     const std::vector<std::string>& errorTexts) override;  // CErrorDlg
  OverwriteAnswer AskOverwrite(const std::string& path) override;                       // COWPrompt
  bool AskYesNo(const std::string& question) override;  // "Ferncastle", Yes/No, question icon
  void ShowMessage(const std::string& text) override;   // "Ferncastle", OK ("error reading")

 protected:
  QWidget* m_pQuestionOwner;
};
