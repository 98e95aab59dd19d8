#include "platform/FileWrite.h"

#include <sys/random.h>
#include <unistd.h>

#include <cerrno>

namespace fern {

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

std::string RandomNameSuffix() {
  static const char kDigits[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char random[6];
  if (getrandom(random, sizeof random, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof random)) {
    // No entropy yet (early boot): names only need to differ, and O_EXCL catches a clash.
    static unsigned counter = 0;
    unsigned seed = static_cast<unsigned>(getpid()) * 2654435761u + ++counter;
    for (auto& r : random) r = static_cast<unsigned char>(seed >>= 3);
  }
  std::string suffix;
  for (unsigned char r : random) suffix += kDigits[r % (sizeof kDigits - 1)];
  return suffix;
}

}  // namespace fern
