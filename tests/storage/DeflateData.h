// Data of the kinds a drive holds for the writer's tests: noise (photos, video), real deflate
// streams (archives, compressed documents), plain text, and what zlib's level 9 makes of it.
#pragma once

#include <zlib.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

inline std::string Noise(size_t length, uint32_t seed) {
  std::mt19937 rng(seed);
  std::string data(length, '\0');
  for (char& c : data) c = static_cast<char>(rng());
  return data;
}

// Text with numbers in it, as documents and source code are; compresses about four to one.
inline std::string PlainText(size_t length, uint32_t seed) {
  static const char* const words[] = {"budget", "the", "report", "of", "travel", "plan", "and", "meeting",
                                      "return", "value", "index", "for", "(", ");", "{", "}\n"};
  std::mt19937 rng(seed);
  std::string text;
  while (text.size() < length) {
    text += words[rng() % 16];
    text += rng() % 9 == 0 ? std::to_string(rng() % 100000) + "\n" : " ";
  }
  text.resize(length);
  return text;
}

// A real gzip stream (as a .gz document or a package holds) of about length bytes.
inline std::string GzippedText(size_t length, uint32_t seed) {
  const std::string text = PlainText(length * 4, seed);
  z_stream strm{};
  if (deflateInit2(&strm, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return std::string();
  std::string out(deflateBound(&strm, static_cast<uLong>(text.size())), '\0');
  strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(text.data()));
  strm.avail_in = static_cast<uInt>(text.size());
  strm.next_out = reinterpret_cast<Bytef*>(out.data());
  strm.avail_out = static_cast<uInt>(out.size());
  const int result = deflate(&strm, Z_FINISH);
  out.resize(out.size() - strm.avail_out);
  deflateEnd(&strm);
  if (result != Z_STREAM_END) return std::string();
  out.resize(std::min(out.size(), length));
  return out;
}

// The bytes zlib's level 9 makes of data after the dictionary before, as one block of the
// parallel writer (raw deflate, flushed to a byte boundary).
inline size_t Level9Size(const std::string& before, const std::string& data) {
  z_stream strm{};
  if (deflateInit2(&strm, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return 0;
  if (!before.empty())
    deflateSetDictionary(&strm, reinterpret_cast<const Bytef*>(before.data()), static_cast<uInt>(before.size()));
  std::vector<unsigned char> out(deflateBound(&strm, static_cast<uLong>(data.size())) + 16);
  strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  strm.avail_in = static_cast<uInt>(data.size());
  strm.next_out = out.data();
  strm.avail_out = static_cast<uInt>(out.size());
  deflate(&strm, Z_SYNC_FLUSH);
  const size_t size = out.size() - strm.avail_out;
  deflateEnd(&strm);
  return size;
}
