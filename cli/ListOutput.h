// The lines of fernset list: for people (length, local date and time, name) and for scripts
// (JSON Lines, one object per entry).
#pragma once

#include <string>

#include "engine/EntryReader.h"

// "8 11/14/2023 23:13:20 E:\docs\plan.txt": the date in local time with its four-digit year,
// the name made printable. No newline.
std::string PlainListLine(const CEntryReader::Entry& entry);

// {"name":"E:\\docs\\plan.txt","size":8,"mtime":"2023-11-14T22:13:20Z"}: the time in UTC
// (null when it is no date of the calendar). No newline.
std::string JsonListLine(const CEntryReader::Entry& entry);

// text as a JSON string with its quotes. Control characters (C0, DEL and C1) are escaped; a byte
// that is no part of well-formed UTF-8 becomes U+FFFD, so the line is always valid UTF-8.
std::string JsonString(const std::string& text);
