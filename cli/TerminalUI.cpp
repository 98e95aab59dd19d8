#include "cli/TerminalUI.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <iostream>

namespace {

uint64_t NowMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

}  // namespace

const char* ShortEscape(unsigned char c) {
  switch (c) {
    case '\n': return "\\n";
    case '\t': return "\\t";
    case '\r': return "\\r";
    default: return nullptr;
  }
}

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
    } else if (const char* escape = ShortEscape(c)) {
      out += escape;
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

void CTerminalUI::StartProgress(uint64_t total) {
  m_bProgressOn = m_bProgressTty;
  m_progress.Start(NowMs(), total);
}

void CTerminalUI::AddBytesDone(uint64_t bytes) {
  if (!m_bProgressOn) return;
  m_progress.Add(bytes);
  const uint64_t now = NowMs();
  if (!m_progress.Due(now)) return;
  fprintf(stderr, "\r\033[K%s", m_progress.Text(now).c_str());
  fflush(stderr);
  m_bLineShown = true;
}

void CTerminalUI::ClearLine() {
  if (!m_bLineShown) return;
  fputs("\r\033[K", stderr);
  m_bLineShown = false;
}

void CTerminalUI::ShowProgress(bool show) {
  if (!show) ClearLine();
}

void CTerminalUI::ShowErrorList(const std::vector<std::string>& fileNames,
                                const std::vector<std::string>& errorTexts) {
  ClearLine();
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
    ClearLine();
    fprintf(stderr, "%s\nExisting file is newer than the file you are restoring. Overwrite? "
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
  ClearLine();
  fprintf(stderr, "%s [y/n]: ", PrintableText(question).c_str());
  std::string line;
  if (!std::getline(std::cin, line)) return false;
  return line == "y" || line == "Y" || line == "yes";
}

void CTerminalUI::ShowMessage(const std::string& text) {
  ClearLine();
  if (m_strSetPath.empty())
    fprintf(stderr, "fernset: %s\n", PrintableText(text).c_str());
  else
    fprintf(stderr, "fernset: %s: %s\n", PrintableText(m_strSetPath).c_str(), PrintableText(text).c_str());
  ++m_nMessages;
}
