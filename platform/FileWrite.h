// Small pieces every writer of files on a drive needs: a write that goes on until every byte is
// out, and the random part of a hidden temporary name.
#pragma once

#include <cstddef>
#include <string>

namespace fern {

// Writes all length bytes, going on after short writes and EINTR. False with errno set (ENOSPC
// for a write that takes nothing).
bool WriteAll(int fd, const char* data, size_t length);

// Six random characters of [a-z0-9]: a name part that fits every file system and is the same
// length whatever it is added to.
std::string RandomNameSuffix();

}  // namespace fern
