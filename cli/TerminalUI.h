// The engine's user interface on a terminal: texts and error rows to standard error, the
// overwrite question on the terminal when standard input is one, a progress line when standard
// error is a terminal (never in a pipe or a file).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/ProgressLine.h"
#include "engine/EngineUI.h"

// A name or text as one line of a terminal: control characters (a newline in a file name, an
// escape sequence) are written as \n, \t, \r or \xHH, so one row stays one line and a name
// cannot move the cursor.
std::string PrintableText(const std::string& text);

// The short escape of a newline, tab or carriage return ("\\n", "\\t", "\\r"), the same in a
// terminal line and in JSON; null for any other character.
const char* ShortEscape(unsigned char c);

class CTerminalUI : public IEngineUI {
 public:
  // forcedOverwriteAnswer: None to ask (or answer No without a terminal), else the answer given
  // to every overwrite question (No to All, Yes to All).
  explicit CTerminalUI(OverwriteAnswer forcedOverwriteAnswer = OverwriteAnswer::None);

  // The progress line (bytes done, rate, time left; total: the bytes expected, 0 unknown) is
  // drawn from now on, on a terminal only.
  void StartProgress(uint64_t total);
  // Messages ("error reading") then read "fernset: SET: text".
  void SetSetPath(const std::string& setPath) { m_strSetPath = setPath; }

  void SetStatusText(const std::string& text) override;
  void AddBytesDone(uint64_t bytes) override;
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
  // Clears the progress line, if one is shown, for a line of text.
  void ClearLine();

  OverwriteAnswer m_nForcedAnswer;
  bool m_bProgressTty;
  bool m_bProgressOn = false;
  bool m_bLineShown = false;
  CProgressLine m_progress;
  std::string m_strSetPath;
  size_t m_nErrorRows = 0;
  size_t m_nMessages = 0;
  std::string m_strStatus;
};
