// A set under construction. It lies in the backups folder under a hidden name of its own that no
// set pattern finds ("*.fc*" never matches it, whatever the label), and takes its set name only
// once it is complete and flushed. The run that writes it holds a lock on it, so a run starting
// meanwhile tells a leftover of an interrupted run from a set still being written.
#pragma once

#include <string>

namespace fern {

// The start of every partial set's name.
inline const char* PartialSetPrefix() { return ".fernset-partial-"; }

// Creates a new, empty partial set in folder, readable and writable by its owner only whatever
// the umask, and locks it. Returns the descriptor that holds the lock (keep it open until the
// set has its name or is removed) and the file's path; -1 with errno on failure.
int CreatePartialSet(const std::string& folder, std::string& path);

// Removes the partial sets in folder that no run holds locked: what interrupted runs left. Never
// touches another name, a link or a folder. Returns the number removed.
unsigned RemoveLeftoverPartialSets(const std::string& folder);

}  // namespace fern
