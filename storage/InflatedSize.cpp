#include "storage/InflatedSize.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace fern {

namespace {

// Reads exactly length bytes at offset: false when fewer are there or the read fails.
bool ReadAt(int fd, unsigned char* buffer, size_t length, off_t offset) {
  size_t done = 0;
  while (done < length) {
    const ssize_t got = pread(fd, buffer + done, length - done, offset + static_cast<off_t>(done));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    done += static_cast<size_t>(got);
  }
  return true;
}

}  // namespace

uint64_t InflatedSizeEstimate(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return 0;
  uint64_t estimate = 0;
  struct stat st;
  unsigned char magic[2], trailer[4];
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
    const uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    estimate = fileSize;
    // The smallest gzip stream: a 10-byte header, an empty deflate block, 8 bytes of trailer.
    if (fileSize >= 20 && ReadAt(fd, magic, 2, 0) && magic[0] == 0x1f && magic[1] == 0x8b &&
        ReadAt(fd, trailer, 4, st.st_size - 4)) {
      estimate = static_cast<uint64_t>(trailer[0]) | static_cast<uint64_t>(trailer[1]) << 8 |
                 static_cast<uint64_t>(trailer[2]) << 16 | static_cast<uint64_t>(trailer[3]) << 24;
      // Deflate enlarges what does not compress by a little only (stored blocks, the header).
      while (estimate + estimate / 512 + 64 < fileSize) estimate += uint64_t{1} << 32;
    }
  }
  close(fd);
  return estimate;
}

}  // namespace fern
