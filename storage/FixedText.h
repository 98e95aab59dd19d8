// Texts of the program that hold a number or a date are fixed texts: they read the same
// whatever the user's locale ("Total: 400.0 MB", "12/08/05 14:30:00", "Tue Dec 06, 2005").
// QApplication sets the C library's locale from the environment, so the plain printf and
// strftime would write "400,0" or German day names; these helpers always use the "C" locale.
#pragma once

#include <cstdint>
#include <string>

namespace fern {

// printf formatting in the "C" locale.
std::string FixedFormat(const char* format, ...) __attribute__((format(printf, 1, 2)));

// strftime of a time (seconds since 1970, UTC) in local time, in the "C" locale: English day
// and month names, '.' and no digit grouping. "" when the time cannot be converted.
std::string FixedTime(const char* format, int64_t time);

}  // namespace fern
