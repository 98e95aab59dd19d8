// The engine's user interface on a terminal: texts and error rows to standard error, the
// overwrite question on the terminal when standard input is one.
#pragma once

#include <string>
#include <vector>

#include "engine/EngineUI.h"

// A name or text as one line of a terminal: control characters (a newline in a file name, an
// escape sequence) are written as \n, \t, \r or \xHH, so one row stays one line and a name
// cannot move the cursor.
std::string PrintableText(const std::string& text);

class CTerminalUI : public IEngineUI {
 public:
  // forcedOverwriteAnswer: None to ask (or answer No without a terminal), else the answer given
  // to every overwrite question (No to All, Yes to All).
  explicit CTerminalUI(OverwriteAnswer forcedOverwriteAnswer = OverwriteAnswer::None);

  void SetStatusText(const std::string& text) override;
  void SetInfoText(const std::string& text) override;
  void SetProgressRange(unsigned short maximum) override;
  void StepProgress() override;
  void ShowProgress(bool show) override;
  void ShowErrorList(const std::vector<std::string>& fileNames,
                     const std::vector<std::string>& errorTexts) override;
  OverwriteAnswer AskOverwrite(const std::string& path) override;
  bool AskYesNo(const std::string& question) override;
  void ShowMessage(const std::string& text) override;

  // Error rows shown so far (decides the exit status), messages such as "error reading".
  size_t ErrorRows() const { return m_nErrorRows; }
  size_t Messages() const { return m_nMessages; }
  const std::string& LastStatus() const { return m_strStatus; }

 private:
  OverwriteAnswer m_nForcedAnswer;
  bool m_bProgressTty;
  unsigned m_nProgressMax = 0;
  unsigned m_nProgress = 0;
  size_t m_nErrorRows = 0;
  size_t m_nMessages = 0;
  std::string m_strStatus;
};
