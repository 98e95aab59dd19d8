// Real folders for the entry reader and restore tests: a temporary folder holding the sets, a
// folder standing for the drive, and a private TMPDIR for the scratch folder.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "storage/CompressedFile.h"
#include "storage/SetFormat.h"

namespace restore_test {

inline bool WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(data.data(), static_cast<std::streamsize>(data.size()));
  return static_cast<bool>(out);
}

inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline bool Exists(const std::string& path) {
  struct stat st;
  return lstat(path.c_str(), &st) == 0;
}

inline bool SetMtime(const std::string& path, int64_t seconds) {
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(seconds);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  return utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0;
}

// Every path below folder (relative, '/' separators), folders included, sorted.
inline void ListTree(const std::string& folder, const std::string& prefix, std::vector<std::string>& out) {
  DIR* dir = opendir(folder.c_str());
  if (dir == nullptr) return;
  while (dirent* e = readdir(dir)) {
    std::string name = e->d_name;
    if (name == "." || name == "..") continue;
    out.push_back(prefix + name);
    struct stat st;
    if (lstat((folder + "/" + name).c_str(), &st) == 0 && S_ISDIR(st.st_mode))
      ListTree(folder + "/" + name, prefix + name + "/", out);
  }
  closedir(dir);
  std::sort(out.begin(), out.end());
}

inline std::vector<std::string> Tree(const std::string& folder) {
  std::vector<std::string> out;
  ListTree(folder, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

// Deterministic bytes that deflate only a little.
inline std::string Noise(size_t length, uint32_t seed) {
  std::string s(length, '\0');
  for (size_t i = 0; i < length; ++i) {
    seed = seed * 1103515245u + 12345u;
    s[i] = static_cast<char>(seed >> 16);
  }
  return s;
}

// A set written through the program's own storage layer (CCompressedFile and the header codec).
struct StoredEntry {
  std::string name, data;
  int64_t time;
};
inline bool WriteProjectSet(const std::string& path, const std::vector<StoredEntry>& entries) {
  CCompressedFile file;
  if (!file.Open(path.c_str(), 1)) return false;
  file.SetLevel(9);
  bool ok = true;
  for (const auto& e : entries) {
    fern::EntryHeader header;
    header.nameLength = static_cast<uint32_t>(e.name.size());
    header.dataLength = static_cast<uint32_t>(e.data.size());
    header.time = e.time;
    unsigned char raw[fern::kEntryHeaderSize];
    fern::EncodeEntryHeader(header, raw);
    ok = ok && file.Write(raw, sizeof raw) && file.Write(e.name.data(), static_cast<unsigned>(e.name.size()));
    if (!e.data.empty()) ok = ok && file.Write(e.data.data(), static_cast<unsigned>(e.data.size()));
  }
  return file.Close() && ok;
}

class RestoreFolders : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fern-restore-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base = pattern;
    drive = base + "/drive/";
    temp = base + "/temp";
    ASSERT_EQ(mkdir(drive.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(temp.c_str(), 0700), 0);
    const char* old = getenv("TMPDIR");
    hadTmpdir = old != nullptr;
    if (hadTmpdir) oldTmpdir = old;
    setenv("TMPDIR", temp.c_str(), 1);
  }
  void TearDown() override {
    if (hadTmpdir)
      setenv("TMPDIR", oldTmpdir.c_str(), 1);
    else
      unsetenv("TMPDIR");
    std::string command = "chmod -R u+w '" + base + "' 2>/dev/null; rm -rf '" + base + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << base;
  }
  std::string SetPath(const std::string& name) const { return base + "/" + name; }
  std::string ScratchFile(const std::string& bare) const {
    return temp + "/fernapp-" + std::to_string(getuid()) + "/fernwork/" + bare;
  }

  std::string base, drive, temp, oldTmpdir;
  bool hadTmpdir = false;
};

}  // namespace restore_test
