// A private file without a name, for lists too long to keep in memory: gone with its last
// descriptor, whatever way the process ends.
#pragma once

#include <string>

namespace fern {

// Creates the folder (0700, with missing parents) when needed and an unnamed file in it,
// open for reading and writing. -1 with errno on failure.
int CreateScratchFile(const std::string& folder);

// Creates a folder and its missing parents, private to the user. False with errno on failure,
// ENOTDIR when something else has the name.
bool MakePrivateFolders(const std::string& folder);

}  // namespace fern
