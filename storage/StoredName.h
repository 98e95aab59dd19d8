// Stored names: the 3-byte drive root "X:\" followed by the path below the drive root with '\'
// separators, as in sets written on Windows.
#pragma once

#include <string>

namespace fern {

// relative: the path below the mount root with '/' separators, without a leading '/'.
// Fails (false) for a name part holding a '\', which could not be told apart from a separator.
bool MakeStoredName(char driveLetter, const std::string& relative, std::string& stored);

// The stored name less its first three bytes with '\' turned into '/'. Fails for a name that
// could leave the target root: shorter than 4 bytes, an empty, "." or ".." segment, a '/' or NUL.
bool StoredNameToRelative(const std::string& stored, std::string& relative);

// The stored name less its first three bytes (pick lists compare names this way).
std::string StoredNameTail(const std::string& stored);

// Whether two stored names name the same file: their tails, ignoring case and the drive letter.
bool SameStoredName(const std::string& a, const std::string& b);

}  // namespace fern
