#include "storage/Crc32.h"

#include <isa-l/crc.h>

namespace fern {

uint32_t Crc32(uint32_t crc, const void* data, size_t length) {
  return crc32_gzip_refl(crc, static_cast<const unsigned char*>(data), length);
}

}  // namespace fern
