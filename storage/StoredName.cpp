#include "storage/StoredName.h"

#include "storage/SetFormat.h"

#include <utility>

namespace fern {

namespace {

// Windows-1252 at 0x80..0x9F; the five bytes it leaves undefined stand for the C1 controls of
// the same value, as Windows itself converts them.
const char16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

bool IsValidUtf8(const std::string& bytes) {
  const size_t n = bytes.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char c = static_cast<unsigned char>(bytes[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t length;
    char32_t code;
    char32_t least;
    if (c >= 0xC2 && c <= 0xDF) {
      length = 2, code = c & 0x1F, least = 0x80;
    } else if (c >= 0xE0 && c <= 0xEF) {
      length = 3, code = c & 0x0F, least = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      length = 4, code = c & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (n - i < length) return false;
    for (size_t k = 1; k < length; ++k) {
      const unsigned char f = static_cast<unsigned char>(bytes[i + k]);
      if ((f & 0xC0) != 0x80) return false;
      code = (code << 6) | (f & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return false;
    i += length;
  }
  return true;
}

std::string DecodeStoredName(const std::string& stored) {
  if (IsValidUtf8(stored)) return stored;
  std::string text;
  text.reserve(stored.size() * 2);
  for (char byte : stored) {
    const unsigned char c = static_cast<unsigned char>(byte);
    if (c < 0x80)
      text += byte;
    else if (c < 0xA0)
      AppendUtf8(text, kCp1252High[c - 0x80]);
    else
      AppendUtf8(text, c);  // 0xA0..0xFF are U+00A0..U+00FF
  }
  return text;
}

bool MakeStoredName(char driveLetter, const std::string& relative, std::string& stored) {
  stored.clear();
  if (relative.find('\\') != std::string::npos) return false;
  stored.reserve(relative.size() + 3);
  stored += driveLetter;
  stored += ":\\";
  for (char c : relative) stored += c == '/' ? '\\' : c;
  return true;
}

std::string StoredNameTail(const std::string& stored) {
  return stored.size() <= 3 ? std::string() : stored.substr(3);
}

bool SameStoredName(const std::string& a, const std::string& b) {
  return EqualsIgnoringCase(StoredNameTail(DecodeStoredName(a)), StoredNameTail(DecodeStoredName(b)));
}

bool StoredNameToRelative(const std::string& storedBytes, std::string& relative) {
  relative.clear();
  const std::string stored = DecodeStoredName(storedBytes);
  if (stored.size() < 4) return false;
  // The path starts after three bytes, where a drive root "X:\" ends. A name that has none there
  // may have a character across the cut, and the path would not be UTF-8: it is not taken.
  if ((static_cast<unsigned char>(stored[3]) & 0xC0) == 0x80) return false;
  // Built aside and handed out only whole, so a refused name never leaves half a path behind.
  std::string path;
  path.reserve(stored.size() - 3);
  std::string segment;
  auto segmentOk = [](const std::string& s) { return !s.empty() && s != "." && s != ".."; };
  for (size_t i = 3; i < stored.size(); ++i) {
    char c = stored[i];
    if (c == '/' || c == '\0') return false;
    if (c == '\\') {
      if (!segmentOk(segment)) return false;
      path += segment;
      path += '/';
      segment.clear();
    } else {
      segment += c;
    }
  }
  if (!segmentOk(segment)) return false;
  path += segment;
  relative = std::move(path);
  return true;
}

}  // namespace fern
