#include "storage/FilePieces.h"

#include <atomic>

namespace fern {

namespace {

constexpr char kMark[] = ".fernpiece-";
constexpr char kOf[] = "-of-";
constexpr uint64_t kRealSplitFrom = uint64_t(1) << 32;
// 4 GiB less 64 KiB: whole copy chunks, and room below the 32-bit limit.
constexpr uint32_t kRealPieceSize = 0xFFFF0000u;
std::atomic<uint32_t> g_testPieceSize{0};

// Digits only, at most 10 of them; value through v.
bool ParseNumber(const std::string& text, uint64_t& v) {
  if (text.empty() || text.size() > 10) return false;
  v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  return true;
}

}  // namespace

uint64_t PieceSplitFrom() {
  const uint32_t test = g_testPieceSize.load();
  return test != 0 ? uint64_t(test) + 1 : kRealSplitFrom;
}

uint32_t PieceSize() {
  const uint32_t test = g_testPieceSize.load();
  return test != 0 ? test : kRealPieceSize;
}

void SetPieceSizeForTests(uint32_t size) { g_testPieceSize.store(size); }

uint32_t PieceCount(uint64_t length) {
  const uint64_t size = PieceSize();
  const uint64_t count = length == 0 ? 1 : (length + size - 1) / size;
  return static_cast<uint32_t>(count);
}

std::string PieceName(const std::string& stored, uint32_t k, uint32_t n) {
  const std::string count = std::to_string(n);
  std::string place = std::to_string(k);
  if (place.size() < count.size()) place.insert(0, count.size() - place.size(), '0');
  return stored + kMark + place + kOf + count;
}

bool ParsePieceName(const std::string& stored, std::string& file, uint32_t& k, uint32_t& n) {
  const size_t mark = stored.rfind(kMark);
  if (mark == std::string::npos || mark == 0) return false;
  const std::string rest = stored.substr(mark + sizeof kMark - 1);
  const size_t of = rest.find(kOf);
  if (of == std::string::npos) return false;
  const std::string place = rest.substr(0, of);
  const std::string count = rest.substr(of + sizeof kOf - 1);
  uint64_t kv = 0, nv = 0;
  // Exactly as PieceName writes them: n without a leading zero, k as wide as n, 1 <= k <= n.
  if (!ParseNumber(place, kv) || !ParseNumber(count, nv) || count[0] == '0' || place.size() != count.size())
    return false;
  if (nv > UINT32_MAX || kv == 0 || kv > nv) return false;
  file = stored.substr(0, mark);
  k = static_cast<uint32_t>(kv);
  n = static_cast<uint32_t>(nv);
  return true;
}

bool LooksLikeFirstPiece(const std::string& stored) {
  std::string file;
  uint32_t k = 0, n = 0;
  return ParsePieceName(stored, file, k, n) && k == 1;
}

}  // namespace fern
