#include "platform/Tick.h"

#include <atomic>
#include <ctime>

namespace fern {

namespace {
std::atomic<bool> g_pinned{false};
std::atomic<uint32_t> g_pinnedTick{0};
}  // namespace

void PinTickCount(uint32_t value) {
  g_pinnedTick = value;
  g_pinned = true;
}

void UnpinTickCount() { g_pinned = false; }

uint32_t GetTickCount() {
  if (g_pinned) return g_pinnedTick;
  struct timespec ts;
  if (clock_gettime(CLOCK_BOOTTIME, &ts) != 0) clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<uint32_t>(ms);
}

int64_t CurrentTime() { return static_cast<int64_t>(time(nullptr)); }

}  // namespace fern
