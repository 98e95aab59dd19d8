#include "platform/Tick.h"

#include <ctime>

namespace fern {

uint32_t GetTickCount() {
  struct timespec ts;
  if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

int64_t CurrentTime() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace fern
