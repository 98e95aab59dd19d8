// The progress line of fernset on a terminal: bytes done, the rate and the time left, redrawn
// a few times a second at most however many small files go by.
#pragma once

#include <cstdint>
#include <string>

class CProgressLine {
 public:
  static constexpr uint64_t kIntervalMs = 250;

  // now: milliseconds of a steady clock; total: the bytes expected (an estimate; 0 unknown).
  void Start(uint64_t now, uint64_t total);
  void Add(uint64_t bytes) { m_nDone += bytes; }
  // Whether the line is to be drawn again now; true at most once per interval.
  bool Due(uint64_t now);
  // "12.5 MB of 1.3 GB, 4.2 MB/s, 5:02 left"; the rate and time left once a second has passed
  // and data moved, "of ..." and the time left while the estimate still exceeds what is done.
  std::string Text(uint64_t now) const;
  uint64_t Done() const { return m_nDone; }

  // "999 B", "1.5 kB", "12.5 MB", "1.3 GB" (powers of 1000, the "C" locale).
  static std::string Bytes(uint64_t bytes);

 private:
  uint64_t m_nStart = 0;
  uint64_t m_nLastDrawn = 0;
  bool m_bDrawn = false;
  uint64_t m_nTotal = 0;
  uint64_t m_nDone = 0;
};
