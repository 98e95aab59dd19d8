#include "cli/ListOutput.h"

#include <time.h>

#include <cinttypes>
#include <cstdio>

#include "cli/TerminalUI.h"
#include "storage/FixedText.h"

namespace {

// Length of the well-formed UTF-8 sequence starting at text[i] of a lead byte of 0xC2 or more,
// 0 when it is not one.
size_t Utf8SequenceAt(const std::string& text, size_t i) {
  const unsigned char lead = static_cast<unsigned char>(text[i]);
  size_t length = 0;
  unsigned char low = 0x80, high = 0xBF;  // the range of the second byte
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    if (lead == 0xE0) low = 0xA0;   // overlong
    if (lead == 0xED) high = 0x9F;  // surrogates
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    if (lead == 0xF0) low = 0x90;   // overlong
    if (lead == 0xF4) high = 0x8F;  // above U+10FFFF
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    const unsigned char c = static_cast<unsigned char>(text[i + k]);
    if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF)) return 0;
  }
  return length;
}

void AppendEscape(std::string& out, unsigned code) {
  char escape[8];
  snprintf(escape, sizeof escape, "\\u%04x", code);
  out += escape;
}

}  // namespace

std::string JsonString(const std::string& text) {
  std::string out = "\"";
  out.reserve(text.size() + 2);
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      if (c == '"' || c == '\\') {
        out += '\\';
        out += static_cast<char>(c);
      } else if (const char* escape = ShortEscape(c)) {
        out += escape;
      } else if (c < 0x20 || c == 0x7f) {
        AppendEscape(out, c);
      } else {
        out += static_cast<char>(c);
      }
      ++i;
      continue;
    }
    const size_t length = Utf8SequenceAt(text, i);
    if (length == 0) {
      out += "\xEF\xBF\xBD";  // U+FFFD
      ++i;
    } else if (c == 0xC2 && static_cast<unsigned char>(text[i + 1]) <= 0x9F) {
      AppendEscape(out, static_cast<unsigned char>(text[i + 1]));  // a C1 control
      i += 2;
    } else {
      out.append(text, i, length);
      i += length;
    }
  }
  out += '"';
  return out;
}

std::string PlainListLine(const CEntryReader::Entry& entry) {
  return fern::FixedFormat("%" PRIu64 " ", entry.size) + fern::FixedTime("%m/%d/%Y %H:%M:%S", entry.time) + " " +
         PrintableText(entry.name);
}

std::string JsonListLine(const CEntryReader::Entry& entry) {
  std::string mtime = "null";
  const time_t t = static_cast<time_t>(entry.time);
  struct tm utc {};
  // Four-digit years only: ISO 8601 needs an agreement for any other.
  if (gmtime_r(&t, &utc) != nullptr && utc.tm_year >= -1900 && utc.tm_year <= 9999 - 1900)
    mtime = fern::FixedFormat("\"%04d-%02d-%02dT%02d:%02d:%02dZ\"", utc.tm_year + 1900, utc.tm_mon + 1, utc.tm_mday,
                              utc.tm_hour, utc.tm_min, utc.tm_sec);
  return "{\"name\":" + JsonString(entry.name) + fern::FixedFormat(",\"size\":%" PRIu64, entry.size) +
         ",\"mtime\":" + mtime + "}";
}
