// A reproducible stand-in for the content of a flash drive, for the benchmarks: prose, source
// code, already-compressed data (photos, archives) and many small files, generated from a seed.
#pragma once

#include <sys/stat.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <string>

namespace fernbench {

class CCorpusRandom {
 public:
  explicit CCorpusRandom(uint64_t seed) : m_state(seed * 0x9E3779B97F4A7C15ull + 0x2545F4914F6CDD1Dull) {}
  uint64_t Next() {
    m_state ^= m_state << 13;
    m_state ^= m_state >> 7;
    m_state ^= m_state << 17;
    return m_state;
  }
  unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }

 private:
  uint64_t m_state;
};

inline bool CorpusWrite(const std::string& path, const std::string& bytes) {
  FILE* file = fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  return fclose(file) == 0 && ok;
}

inline void CorpusProse(CCorpusRandom& rng, size_t length, std::string& out) {
  static const char* const words[] = {
      "the",     "drive",   "backup", "of",       "and",    "a",        "file",    "to",      "in",
      "is",      "that",    "report", "meeting",  "for",    "with",     "project", "on",      "was",
      "budget",  "as",      "it",     "customer", "by",     "be",       "this",    "quarter", "from",
      "at",      "are",     "plan",   "which",    "data",   "we",       "have",    "an",      "not",
      "results", "or",      "team",   "will",     "their",  "schedule", "has",     "more",    "review",
      "system",  "summary", "should", "increase", "office", "travel",   "notes",   "final",   "draft"};
  const unsigned count = sizeof words / sizeof words[0];
  out.clear();
  out.reserve(length + 16);
  unsigned inSentence = 0;
  while (out.size() < length) {
    const char* word = words[rng.Below(count)];
    if (inSentence == 0) {
      out += static_cast<char>(word[0] - 'a' + 'A');
      out += word + 1;
    } else {
      out += word;
    }
    if (++inSentence > 6 + rng.Below(12)) {
      out += rng.Below(8) == 0 ? ".\n\n" : ". ";
      inSentence = 0;
    } else {
      out += rng.Below(14) == 0 ? ", " : " ";
    }
    if (rng.Below(400) == 0) out += std::to_string(rng.Next() % 100000);
  }
  out.resize(length);
}

inline void CorpusSource(CCorpusRandom& rng, size_t length, std::string& out) {
  static const char* const types[] = {"int", "unsigned", "size_t", "double", "bool", "char*", "std::string"};
  static const char* const names[] = {"count", "index", "buffer", "length", "result", "offset", "total",
                                      "value", "entry", "folder", "status", "handle", "name", "error"};
  out.clear();
  out.reserve(length + 256);
  unsigned function = 0;
  while (out.size() < length) {
    out += "// Computes the " + std::string(names[rng.Below(14)]) + " of one " + names[rng.Below(14)] + ".\n";
    out += "static " + std::string(types[rng.Below(7)]) + " Compute" + std::to_string(function++) + "(" +
           types[rng.Below(7)] + " " + names[rng.Below(14)] + ") {\n";
    unsigned lines = 3 + rng.Below(14);
    for (unsigned i = 0; i < lines; ++i) {
      switch (rng.Below(4)) {
        case 0:
          out += "  " + std::string(types[rng.Below(7)]) + " " + names[rng.Below(14)] + " = " +
                 std::to_string(rng.Below(4096)) + ";\n";
          break;
        case 1:
          out += "  if (" + std::string(names[rng.Below(14)]) + " > " + names[rng.Below(14)] + ") return " +
                 std::to_string(rng.Below(10)) + ";\n";
          break;
        case 2:
          out += "  for (size_t i = 0; i < " + std::string(names[rng.Below(14)]) + ".size(); ++i) " +
                 names[rng.Below(14)] + " += i;\n";
          break;
        default:
          out += "  " + std::string(names[rng.Below(14)]) + " = Compute" + std::to_string(rng.Below(function)) +
                 "(" + names[rng.Below(14)] + ");\n";
      }
    }
    out += "  return " + std::string(names[rng.Below(14)]) + ";\n}\n\n";
  }
  out.resize(length);
}

// Data that deflate cannot shrink, as JPEG photos and zip archives are.
inline void CorpusCompressed(CCorpusRandom& rng, size_t length, std::string& out) {
  out.resize(length);
  size_t i = 0;
  for (; i + 8 <= length; i += 8) {
    uint64_t v = rng.Next();
    for (int b = 0; b < 8; ++b) out[i + b] = static_cast<char>(v >> (8 * b));
  }
  for (; i < length; ++i) out[i] = static_cast<char>(rng.Next());
}

// Fills folder (which must exist) with about totalBytes of files: 35% prose, 25% source code,
// 30% already-compressed data and 10% small files of 200 bytes to 4 KiB in many folders.
// The same seed gives the same bytes. Returns the bytes written, 0 on a failure.
inline uint64_t GenerateCorpus(const std::string& folder, uint64_t totalBytes, uint64_t seed) {
  CCorpusRandom rng(seed);
  std::string data;
  uint64_t written = 0;
  auto part = [&](const std::string& sub, uint64_t budget, size_t minSize, size_t maxSize, int kind,
                  unsigned filesPerFolder) -> bool {
    const std::string base = folder + "/" + sub;
    if (mkdir(base.c_str(), 0755) != 0) return false;
    uint64_t done = 0;
    unsigned n = 0;
    std::string current;
    while (done < budget) {
      if (n % filesPerFolder == 0) {
        current = base + "/d" + std::to_string(n / filesPerFolder);
        if (mkdir(current.c_str(), 0755) != 0) return false;
      }
      size_t size = minSize + static_cast<size_t>(rng.Next() % (maxSize - minSize + 1));
      if (size > budget - done) size = static_cast<size_t>(budget - done);
      const char* extension = ".txt";
      if (kind == 0) {
        CorpusProse(rng, size, data);
      } else if (kind == 1) {
        CorpusSource(rng, size, data);
        extension = ".cpp";
      } else if (kind == 2) {
        CorpusCompressed(rng, size, data);
        extension = ".jpg";
      } else if (rng.Below(2) == 0) {
        CorpusProse(rng, size, data);
      } else {
        CorpusSource(rng, size, data);
        extension = ".h";
      }
      if (!CorpusWrite(current + "/f" + std::to_string(n) + extension, data)) return false;
      done += size;
      ++n;
    }
    written += done;
    return true;
  };
  if (!part("documents", totalBytes * 35 / 100, 64 << 10, 2 << 20, 0, 40)) return 0;
  if (!part("source", totalBytes * 25 / 100, 2 << 10, 200 << 10, 1, 60)) return 0;
  if (!part("photos", totalBytes * 30 / 100, 512 << 10, 6 << 20, 2, 50)) return 0;
  if (!part("small", totalBytes - totalBytes * 90 / 100, 200, 4096, 3, 100)) return 0;
  return written;
}

// Text deflated into a gzip stream of about length bytes, as a compressed document or an
// archive holds. Empty on a failure.
inline std::string CorpusGzipped(CCorpusRandom& rng, size_t length, std::string& text) {
  if (rng.Below(2) == 0) {
    CorpusProse(rng, length * 4, text);
  } else {
    CorpusSource(rng, length * 5, text);
  }
  std::string out;
  z_stream strm{};
  if (deflateInit2(&strm, 6, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK) return out;
  out.resize(deflateBound(&strm, static_cast<uLong>(text.size())));
  strm.next_in = reinterpret_cast<Bytef*>(text.data());
  strm.avail_in = static_cast<uInt>(text.size());
  strm.next_out = reinterpret_cast<Bytef*>(out.data());
  strm.avail_out = static_cast<uInt>(out.size());
  const bool ok = deflate(&strm, Z_FINISH) == Z_STREAM_END;
  out.resize(ok ? out.size() - strm.avail_out : 0);
  deflateEnd(&strm);
  return out;
}

// Fills folder (which must exist) with about totalBytes of files that are compressed already,
// as a stick of photos, videos, music and archives holds, 50 to a folder: of 100 files about
// 18 noise of 512 KiB to 8 MiB (photos, videos; three quarters of the bytes), 20 gzip streams
// of text of about 64 KiB to 2 MiB (compressed documents, archives; a fifth) and 62 small
// noise files of 2 to 64 KiB (thumbnails).
// The same seed gives the same bytes. Returns the bytes written, 0 on a failure.
inline uint64_t GenerateIncompressibleCorpus(const std::string& folder, uint64_t totalBytes, uint64_t seed) {
  CCorpusRandom rng(seed);
  std::string data, text, current;
  uint64_t written = 0;
  for (unsigned n = 0; written < totalBytes; ++n) {
    if (n % 50 == 0) {
      current = folder + "/m" + std::to_string(n / 50);
      if (mkdir(current.c_str(), 0755) != 0) return 0;
    }
    const unsigned kind = rng.Below(100);
    const char* extension = ".jpg";
    if (kind < 18) {
      CorpusCompressed(rng, (512u << 10) + rng.Below((15u << 19)), data);
    } else if (kind < 38) {
      data = CorpusGzipped(rng, (64u << 10) + rng.Below(1984u << 10), text);
      if (data.empty()) return 0;
      extension = ".gz";
    } else {
      CorpusCompressed(rng, (2u << 10) + rng.Below(62u << 10), data);
      extension = ".png";
    }
    if (!CorpusWrite(current + "/f" + std::to_string(n) + extension, data)) return 0;
    written += data.size();
  }
  return written;
}

}  // namespace fernbench
