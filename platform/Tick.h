// Milliseconds since the system started, as an unsigned 32-bit count that wraps.
#pragma once

#include <cstdint>

namespace fern {

uint32_t GetTickCount();
// Seconds since 1970-01-01 00:00:00 UTC.
int64_t CurrentTime();

}  // namespace fern
