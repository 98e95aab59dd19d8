// The settings store: integers of the section "Settings" under organisation "KW" and the
// application name (~/.config/KW/fernapp.conf). Every reader asks the store afresh.
#pragma once

namespace fern {

// The stored value, or defaultValue when it is missing or not an integer.
int GetProfileInt(const char* section, const char* valueName, int defaultValue);
// False when the store could not be written.
bool WriteProfileInt(const char* section, const char* valueName, int value);

}  // namespace fern
