// The file error texts (string resources 61856 to 61873) chosen from an errno value.
#pragma once

#include <string>

namespace fern {

// The string id for an errno value: 0 gives "No error occurred.", an unmapped one the
// unknown-error text.
int FileErrorStringId(int error);

// The text for an errno value with %1 replaced by the path, at most 511 characters.
std::string FormatFileError(int error, const std::string& path);

// The text of a given string id with %1 replaced by the path, at most 511 characters.
std::string FormatFileErrorId(int stringId, const std::string& path);

}  // namespace fern
