// One record of a file's state as the mark records and a backup's list of files to clear keep it
// in their files: a path with the size and modification time its file had. Stored as a fixed
// head (path length, size, seconds, nanoseconds; host byte order, the files never leave this
// PC) followed by the path's bytes.
#pragma once

#include <cstdint>
#include <cstring>
#include <string>

namespace fern {

struct MarkRecord {
  std::string path;
  int64_t size = 0;
  int64_t sec = 0;
  int64_t nsec = 0;
};

constexpr size_t kMarkRecordHeadSize = 4 + 8 + 8 + 8;
// Longer paths are not the kernel's: a record claiming one is damage.
constexpr uint32_t kMarkRecordMaxPath = 65535;

inline void EncodeMarkRecordHead(uint32_t pathLength, int64_t size, int64_t sec, int64_t nsec, char* out) {
  memcpy(out, &pathLength, 4);
  memcpy(out + 4, &size, 8);
  memcpy(out + 12, &sec, 8);
  memcpy(out + 20, &nsec, 8);
}

inline void DecodeMarkRecordHead(const char* in, uint32_t& pathLength, int64_t& size, int64_t& sec, int64_t& nsec) {
  memcpy(&pathLength, in, 4);
  memcpy(&size, in + 4, 8);
  memcpy(&sec, in + 12, 8);
  memcpy(&nsec, in + 20, 8);
}

}  // namespace fern
