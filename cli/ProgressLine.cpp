#include "cli/ProgressLine.h"

#include "storage/FixedText.h"

void CProgressLine::Start(uint64_t now, uint64_t total) {
  m_nStart = now;
  m_nTotal = total;
  m_nDone = 0;
  m_bDrawn = false;
}

bool CProgressLine::Due(uint64_t now) {
  if (m_bDrawn && now - m_nLastDrawn < kIntervalMs) return false;
  m_bDrawn = true;
  m_nLastDrawn = now;
  return true;
}

std::string CProgressLine::Bytes(uint64_t bytes) {
  if (bytes < 1000) return fern::FixedFormat("%u B", static_cast<unsigned>(bytes));
  static const char* const kUnits[] = {"kB", "MB", "GB", "TB", "PB"};
  double value = static_cast<double>(bytes) / 1000;
  int unit = 0;
  while (value >= 999.95 && unit < 4) {
    value /= 1000;
    ++unit;
  }
  return fern::FixedFormat("%.1f %s", value, kUnits[unit]);
}

std::string CProgressLine::Text(uint64_t now) const {
  std::string text = Bytes(m_nDone);
  // An estimate that the run has outgrown says nothing any more.
  const bool total = m_nTotal > m_nDone;
  if (total) text += " of " + Bytes(m_nTotal);
  const uint64_t elapsed = now - m_nStart;
  if (elapsed >= 1000 && m_nDone > 0) {
    const double rate = static_cast<double>(m_nDone) * 1000 / static_cast<double>(elapsed);
    text += ", " + Bytes(static_cast<uint64_t>(rate)) + "/s";
    if (total) {
      const uint64_t left = static_cast<uint64_t>(static_cast<double>(m_nTotal - m_nDone) / rate + 0.5);
      text += left >= 3600 ? fern::FixedFormat(", %u:%02u:%02u left", static_cast<unsigned>(left / 3600),
                                               static_cast<unsigned>(left / 60 % 60), static_cast<unsigned>(left % 60))
                           : fern::FixedFormat(", %u:%02u left", static_cast<unsigned>(left / 60),
                                               static_cast<unsigned>(left % 60));
    }
  }
  return text;
}
