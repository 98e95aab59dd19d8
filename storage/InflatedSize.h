// How many bytes a set holds once inflated, for a progress estimate: a gzip stream keeps that
// length modulo 2^32 in its last four bytes.
#pragma once

#include <cstdint>
#include <string>

namespace fern {

// The inflated length of the set at path: the gzip trailer's length, raised by 4 GiB steps
// while it is clearly less than the file (deflate enlarges data by a fraction of a percent at
// most), or the file's own length when it is no gzip stream. 0 when the file cannot be read.
uint64_t InflatedSizeEstimate(const std::string& path);

}  // namespace fern
