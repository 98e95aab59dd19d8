// Stored names: the 3-byte drive root "X:\" followed by the path below the drive root with '\'
// separators, as in sets written on Windows.
#pragma once

#include <string>

namespace fern {

// The text of a stored name as UTF-8. Sets written here hold UTF-8, sets written on Windows hold
// the ANSI code page (Windows-1252 in the west): a name that is valid UTF-8 is kept as it is, any
// other is read as Windows-1252. Decoding a decoded name changes nothing. Names are split into
// folders only after this, so every reader sees the same text.
std::string DecodeStoredName(const std::string& stored);

// Whether bytes are well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool IsValidUtf8(const std::string& bytes);

// relative: the path below the mount root with '/' separators, without a leading '/'.
// Fails (false) for a name part holding a '\', which could not be told apart from a separator.
bool MakeStoredName(char driveLetter, const std::string& relative, std::string& stored);

// The stored name, decoded, less its first three bytes with '\' turned into '/'. Fails for a name that
// could leave the target root: shorter than 4 bytes, an empty, "." or ".." segment, a '/' or NUL.
bool StoredNameToRelative(const std::string& stored, std::string& relative);

// The stored name less its first three bytes (pick lists compare names this way).
std::string StoredNameTail(const std::string& stored);

// Whether two stored names name the same file: their decoded tails, ignoring case and the drive
// letter.
bool SameStoredName(const std::string& a, const std::string& b);

}  // namespace fern
