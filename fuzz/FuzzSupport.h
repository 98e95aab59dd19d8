// What the fuzz targets share: a check that makes libFuzzer keep the input, a scratch work
// folder, snapshots of folder trees, and gzip streams made with zlib's deflate.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <set>
#include <string>

// A failed check aborts: libFuzzer reports it as a crash and saves the input that caused it.
#define FUZZ_CHECK(cond, ...)                                                              \
  do {                                                                                     \
    if (!(cond)) {                                                                         \
      fprintf(stderr, "\nfuzz check failed at %s:%d: %s\n  ", __FILE__, __LINE__, #cond); \
      fprintf(stderr, __VA_ARGS__);                                                        \
      fputc('\n', stderr);                                                                 \
      abort();                                                                             \
    }                                                                                      \
  } while (0)

namespace fuzz {

// A new folder below ${TMPDIR:-/tmp} named after the target, removed at exit. Ends without '/'.
std::string MakeWorkFolder(const char* name);

// Removes a tree without following any link in it; the path itself may be a file.
void RemoveTree(const std::string& path);

bool WriteWholeFile(const std::string& path, const std::string& data);
bool ReadWholeFile(const std::string& path, std::string& data);
// Creates (or truncates) a file with the content and the modification time in seconds.
void PutFile(const std::string& path, const std::string& data, int64_t mtime, mode_t mode = 0644);

// The content as one complete gzip stream (zlib deflate, level 1).
std::string Gzip(const uint8_t* data, size_t size);

// One node of a folder tree as lstat and the content show it.
struct NodeState {
  char type = '?';        // 'f' file, 'd' folder, 'l' link, 'p' FIFO, '?' other
  mode_t mode = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;    // kept for files, and for folders when asked
  uint32_t crc = 0;       // of a file's content
  std::string link;       // a link's target
  bool operator==(const NodeState& o) const {
    return type == o.type && mode == o.mode && size == o.size && mtimeNs == o.mtimeNs && crc == o.crc &&
           link == o.link;
  }
};
// Relative path ("a/b") to its state; the root itself is not listed.
using Snapshot = std::map<std::string, NodeState>;

// skip: relative paths whose subtree is left out. folderTimes: record the mtimes of folders
// (a name created and removed again changes them).
Snapshot TakeSnapshot(const std::string& root, bool folderTimes, const std::set<std::string>& skip = {});
// "" when equal, else the first difference in words.
std::string Difference(const Snapshot& before, const Snapshot& after);

// Whether the bytes are valid UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(const std::string& text);

// The bytes read as Windows-1252, in UTF-8, by the C library's iconv (the five bytes that code
// page leaves undefined stand for the C1 controls of the same value, as Windows has them).
std::string Windows1252ToUtf8(const std::string& bytes);

// A readable form of bytes for failure messages.
std::string Printable(const std::string& bytes);

}  // namespace fuzz
