// A reproducible stand-in for the content of a flash drive, for the benchmarks: prose, source
// code, already-compressed data (photos, archives) and many small files, generated from a seed.
#pragma once

#include <sys/stat.h>

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

}  // namespace fernbench
