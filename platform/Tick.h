// Milliseconds since the system started, as an unsigned 32-bit count that wraps.
#pragma once

#include <cstdint>

namespace fern {

uint32_t GetTickCount();
// For tests: GetTickCount answers value from now on, as when two runs start in one millisecond;
// UnpinTickCount returns to the clock.
void PinTickCount(uint32_t value);
void UnpinTickCount();
// Seconds since 1970-01-01 00:00:00 UTC.
int64_t CurrentTime();

}  // namespace fern
