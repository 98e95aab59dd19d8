#include "storage/IncompressibleProbe.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

namespace {

constexpr int64_t kWindow = 32 * 1024;  // how far back deflate's matches reach

uint64_t Load64(const unsigned char* at) {
  uint64_t value;
  memcpy(&value, at, sizeof value);
  return value;
}

// An anchor is a place holding a byte below 4: one place in 64 of data whose bytes are evenly
// spread, and the same places in every copy of the same bytes, wherever the copy stands. Found
// eight bytes at a time: the lowest byte of a word whose top six bits are all zero.
size_t NextAnchor(const unsigned char* bytes, size_t at, size_t end) {
  constexpr uint64_t kOnes = 0x0101010101010101ull, kHigh = 0x8080808080808080ull, kTop6 = 0xFCFCFCFCFCFCFCFCull;
  for (; at + 8 <= end; at += 8) {
    const uint64_t masked = Load64(bytes + at) & kTop6;
    const uint64_t zero = (masked - kOnes) & ~masked & kHigh;
    if (zero == 0) continue;
    size_t place = at;
    if constexpr (std::endian::native == std::endian::little) {
      place += static_cast<size_t>(std::countr_zero(zero) / 8);
    } else {
      while (bytes[place] >= 4) ++place;
    }
    return place + 8 <= end ? place : end;
  }
  return end;
}

// c * log2(c) for the counts a piece of evenly spread bytes has.
struct CLogTable {
  std::array<float, 1024> values{};
  CLogTable() {
    for (unsigned c = 1; c < values.size(); ++c) values[c] = static_cast<float>(c * std::log2(double(c)));
  }
};
const CLogTable kLog;

uint32_t Slot(uint64_t key, unsigned bits) { return static_cast<uint32_t>((key * 0x9E3779B97F4A7C15ull) >> (64 - bits)); }

}  // namespace

bool CIncompressibleProbe::CannotShrink(const unsigned char* before, size_t beforeLength, const unsigned char* data,
                                        size_t length) {
  if (length < kMinLength) return false;
  if (m_keys.empty()) {
    // Made on first use; without the memory the block is simply deflated.
    try {
      m_keys.resize(size_t(1) << kTableBits);
      m_positions.resize(size_t(1) << kTableBits);
      m_stamps.assign(size_t(1) << kTableBits, 0);
    } catch (const std::bad_alloc&) {
      m_keys.clear();
      return false;
    }
  }
  return AllPiecesEven(data, length) && FewRepeats(before, beforeLength, data, length);
}

bool CIncompressibleProbe::AllPiecesEven(const unsigned char* data, size_t length) {
  const size_t pieces = length / kPieceSize;  // a shorter rest joins the last piece
  for (size_t piece = 0; piece < pieces; ++piece) {
    const unsigned char* at = data + piece * kPieceSize;
    const size_t n = piece + 1 == pieces ? length - piece * kPieceSize : kPieceSize;
    // Four tables, so that a run of one byte value does not wait on its own last count.
    uint32_t counts[4][256] = {};
    size_t i = 0;
    for (; i + 4 <= n; i += 4) {
      ++counts[0][at[i]];
      ++counts[1][at[i + 1]];
      ++counts[2][at[i + 2]];
      ++counts[3][at[i + 3]];
    }
    for (; i < n; ++i) ++counts[0][at[i]];
    // entropy = log2(n) - sum(c log2 c) / n
    double sum = 0;
    for (unsigned value = 0; value < 256; ++value) {
      const uint32_t c = counts[0][value] + counts[1][value] + counts[2][value] + counts[3][value];
      sum += c < kLog.values.size() ? double(kLog.values[c]) : c * std::log2(double(c));
    }
    const double entropy = std::log2(double(n)) - sum / double(n);
    if (entropy < kEntropyLimit) return false;
  }
  return true;
}

bool CIncompressibleProbe::FewRepeats(const unsigned char* before, size_t beforeLength, const unsigned char* data,
                                      size_t length) {
  if (++m_nStamp == 0) {  // wrapped: every slot would look current
    std::fill(m_stamps.begin(), m_stamps.end(), 0);
    m_nStamp = 1;
  }
  // The window's bytes before the data: their anchors only, as places a repeat may copy from.
  const size_t skip = beforeLength > size_t(kWindow) ? beforeLength - size_t(kWindow) : 0;
  for (size_t i = NextAnchor(before, skip, beforeLength); i < beforeLength; i = NextAnchor(before, i + 1, beforeLength)) {
    const uint64_t key = Load64(before + i);
    const uint32_t slot = Slot(key, kTableBits);
    m_keys[slot] = key;
    m_positions[slot] = int64_t(i) - int64_t(beforeLength);
    m_stamps[slot] = m_nStamp;
  }
  // The byte at a place counted from the data's start; negative places lie before it.
  auto byteAt = [&](int64_t place) { return place < 0 ? before[int64_t(beforeLength) + place] : data[place]; };
  const size_t enough = length / kRepeatShare;
  size_t repeated = 0;
  for (size_t i = NextAnchor(data, 0, length); i < length; i = NextAnchor(data, i + 1, length)) {
    const uint64_t key = Load64(data + i);
    const uint32_t slot = Slot(key, kTableBits);
    const int64_t from = m_positions[slot];
    if (m_stamps[slot] == m_nStamp && m_keys[slot] == key && int64_t(i) - from <= kWindow) {
      // A repeat: measured to its end, and the search goes on behind it.
      size_t end = i + 8;
      int64_t source = from + 8;
      while (end < length && byteAt(source) == data[end]) {
        ++end;
        ++source;
      }
      repeated += end - i;
      if (repeated >= enough) return false;
      i = end - 1;
      continue;
    }
    m_keys[slot] = key;
    m_positions[slot] = int64_t(i);
    m_stamps[slot] = m_nStamp;
  }
  return true;
}
