// A drive for backup tests: a real folder as the drive root, a backups folder, a marks folder,
// and a decoder of the sets the run writes that does not use the program's own reader.
#pragma once

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <zlib.h>

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "engine/BackupRun.h"
#include "tests/engine/RecordingUI.h"

class CBackupTempFolder {
 public:
  CBackupTempFolder() {
    char pattern[] = "/tmp/fern-backup-XXXXXX";
    if (mkdtemp(pattern) != nullptr) m_path = pattern;
  }
  ~CBackupTempFolder() {
    if (m_path.empty()) return;
    std::error_code ec;
    std::filesystem::remove_all(m_path, ec);
  }
  CBackupTempFolder(const CBackupTempFolder&) = delete;
  CBackupTempFolder& operator=(const CBackupTempFolder&) = delete;
  const std::string& path() const { return m_path; }

 private:
  std::string m_path;
};

inline void PutFile(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  out.close();
  ASSERT_TRUE(out.good()) << path;
}

inline std::string GetFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void SetMtime(const std::string& path, int64_t seconds) {
  struct timespec times[2] = {{static_cast<time_t>(seconds), 0}, {static_cast<time_t>(seconds), 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// Bytes that do not compress, reproducible.
inline std::string NoiseBytes(size_t length, uint32_t seed) {
  std::string out(length, '\0');
  uint32_t x = seed * 2654435761u + 1;
  for (size_t i = 0; i < length; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
    out[i] = static_cast<char>(x >> 24);
  }
  return out;
}

// Whole-file gzip decoding with zlib's inflate; false unless one complete, intact stream.
inline bool InflateSet(const std::string& compressed, std::string& out) {
  out.clear();
  z_stream strm{};
  if (inflateInit2(&strm, 16 + MAX_WBITS) != Z_OK) return false;
  strm.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(compressed.data()));
  strm.avail_in = static_cast<uInt>(compressed.size());
  std::vector<char> buffer(65536);
  int result = Z_OK;
  while (result == Z_OK) {
    strm.next_out = reinterpret_cast<Bytef*>(buffer.data());
    strm.avail_out = static_cast<uInt>(buffer.size());
    result = inflate(&strm, Z_NO_FLUSH);
    out.append(buffer.data(), buffer.size() - strm.avail_out);
    if (result == Z_BUF_ERROR && strm.avail_in == 0) break;
  }
  inflateEnd(&strm);
  return result == Z_STREAM_END;
}

struct ParsedEntry {
  uint32_t nameLength = 0;
  uint32_t dataLength = 0;
  int64_t time = 0;
  std::string name;
  std::string data;
};

inline uint64_t LittleEndian(const std::string& bytes, size_t at, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value |= uint64_t(static_cast<unsigned char>(bytes[at + i])) << (8 * i);
  return value;
}

// The entries of a set file, checking that headers and data agree to the last byte.
inline bool ParseSetFile(const std::string& path, std::vector<ParsedEntry>& entries, std::string* raw = nullptr) {
  entries.clear();
  std::string plain;
  if (!InflateSet(GetFile(path), plain)) return false;
  if (raw) *raw = plain;
  size_t at = 0;
  while (at < plain.size()) {
    if (plain.size() - at < 16) return false;
    ParsedEntry e;
    e.nameLength = static_cast<uint32_t>(LittleEndian(plain, at, 4));
    e.dataLength = static_cast<uint32_t>(LittleEndian(plain, at + 4, 4));
    e.time = static_cast<int64_t>(LittleEndian(plain, at + 8, 8));
    at += 16;
    if (plain.size() - at < uint64_t(e.nameLength) + e.dataLength) return false;
    e.name = plain.substr(at, e.nameLength);
    at += e.nameLength;
    e.data = plain.substr(at, e.dataLength);
    at += e.dataLength;
    entries.push_back(std::move(e));
  }
  return true;
}

inline const ParsedEntry* FindEntry(const std::vector<ParsedEntry>& entries, const std::string& name) {
  for (const auto& e : entries)
    if (e.name == name) return &e;
  return nullptr;
}

// One drive with its backups and marks folders; Run performs one whole run with a fresh UI.
struct CBackupBench {
  CBackupTempFolder temp;
  std::string drive, backups, marks;
  std::unique_ptr<CRecordingUI> ui = std::make_unique<CRecordingUI>();
  std::atomic<bool> stop{false};
  std::vector<char> buffer = std::vector<char>(16384);
  std::vector<std::string> errorNames, errorTexts;  // of the last run
  std::string setPath;                              // of the last run
  unsigned entries = 0;                             // of the last run
  unsigned threads = 0;                             // compressing workers; 0: one per core

  CBackupBench() {
    drive = temp.path() + "/drive/";
    backups = temp.path() + "/backups";
    marks = temp.path() + "/marks";
    mkdir(drive.c_str(), 0755);
    mkdir(backups.c_str(), 0755);
  }
  std::string D(const std::string& relative) const { return drive + relative; }

  CBackupRun::Result Run(bool full, std::function<void(const std::string&)> hook = {},
                         const std::string& name = "STICK", char letter = 'E') {
    ui = std::make_unique<CRecordingUI>();
    stop = false;
    CBackupRun run(*ui, stop, buffer.data());
    if (hook) run.SetEntryHook(std::move(hook));
    run.SetCompressionThreads(threads);
    CBackupDrive d;
    d.root = drive;
    d.letter = letter;
    d.name = name;
    CBackupRun::Result result = run.RunBackup(d, full, backups, marks);
    errorNames = run.ErrorFileNames();
    errorTexts = run.ErrorTexts();
    setPath = run.SetPath();
    entries = run.EntriesWritten();
    return result;
  }

  size_t SetsInBackups() const {
    size_t n = 0;
    std::error_code ec;
    for (auto it = std::filesystem::directory_iterator(backups, ec); !ec && it != std::filesystem::directory_iterator();
         it.increment(ec))
      ++n;
    return n;
  }
};
