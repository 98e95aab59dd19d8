// The CRC-32 of gzip (and of zlib's crc32()), computed with ISA-L's carry-less multiplication
// code at many times zlib's speed. Chains as zlib's does: Crc32(Crc32(0, a), b) is the CRC of a
// followed by b.
#pragma once

#include <cstddef>
#include <cstdint>

namespace fern {

uint32_t Crc32(uint32_t crc, const void* data, size_t length);

}  // namespace fern
