#include "cli/TerminalUI.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>

std::string PrintableText(const std::string& text) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    const unsigned char next = i + 1 < text.size() ? static_cast<unsigned char>(text[i + 1]) : 0;
    if (c == 0xc2 && next >= 0x80 && next <= 0x9f) {
      // A C1 control character in UTF-8 (U+0080 to U+009F; U+009B starts a terminal sequence).
      out += "\\u00";
      out += kHex[next >> 4];
      out += kHex[next & 15];
      ++i;
    } else if (c >= 0x20 && c != 0x7f) {
      out += static_cast<char>(c);
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\r') {
      out += "\\r";
    } else {
      out += "\\x";
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
  return out;
}

CTerminalUI::CTerminalUI(OverwriteAnswer forcedOverwriteAnswer)
    : m_nForcedAnswer(forcedOverwriteAnswer), m_bProgressTty(isatty(STDERR_FILENO) == 1) {}

void CTerminalUI::SetStatusText(const std::string& text) { m_strStatus = text; }

void CTerminalUI::SetInfoText(const std::string& text) {
  if (m_bProgressTty) fprintf(stderr, "\r\033[K%s", PrintableText(text).c_str());
}

void CTerminalUI::SetProgressRange(unsigned short maximum) {
  m_nProgressMax = maximum;
  m_nProgress = 0;
}

void CTerminalUI::StepProgress() {
  ++m_nProgress;
  if (m_bProgressTty && m_nProgressMax > 0)
    fprintf(stderr, "\r\033[Kfolders %u of %u", m_nProgress, m_nProgressMax);
}

void CTerminalUI::ShowProgress(bool show) {
  if (!show && m_bProgressTty) fputs("\r\033[K", stderr);
}

void CTerminalUI::ShowErrorList(const std::vector<std::string>& fileNames,
                                const std::vector<std::string>& errorTexts) {
  if (m_bProgressTty) fputs("\r\033[K", stderr);
  for (size_t i = 0; i < fileNames.size(); ++i) {
    fprintf(stderr, "%s: %s\n", PrintableText(fileNames[i]).c_str(),
            i < errorTexts.size() ? PrintableText(errorTexts[i]).c_str() : "");
  }
  m_nErrorRows += fileNames.size();
}

OverwriteAnswer CTerminalUI::AskOverwrite(const std::string& path) {
  if (m_nForcedAnswer != OverwriteAnswer::None) return m_nForcedAnswer;
  // Without a terminal to ask, a newer file on the drive is never overwritten unasked.
  if (isatty(STDIN_FILENO) != 1) return OverwriteAnswer::No;
  for (;;) {
    fprintf(stderr, "\r\033[K%s\nExisting file is newer than the file you are restoring. Overwrite? "
                    "[y]es, yes to [a]ll, [n]o, no to a[l]l: ", PrintableText(path).c_str());
    std::string line;
    if (!std::getline(std::cin, line)) return OverwriteAnswer::No;
    if (line == "y" || line == "Y") return OverwriteAnswer::Yes;
    if (line == "a" || line == "A") return OverwriteAnswer::YesToAll;
    if (line == "n" || line == "N") return OverwriteAnswer::No;
    if (line == "l" || line == "L") return OverwriteAnswer::NoToAll;
  }
}

bool CTerminalUI::AskYesNo(const std::string& question) {
  if (isatty(STDIN_FILENO) != 1) return false;
  fprintf(stderr, "%s [y/n]: ", PrintableText(question).c_str());
  std::string line;
  if (!std::getline(std::cin, line)) return false;
  return line == "y" || line == "Y" || line == "yes";
}

void CTerminalUI::ShowMessage(const std::string& text) {
  if (m_bProgressTty) fputs("\r\033[K", stderr);
  fprintf(stderr, "%s\n", PrintableText(text).c_str());
  ++m_nMessages;
}
