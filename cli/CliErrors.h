// Errors of fernset that are no error rows: one line "fernset: PATH: reason" on standard error,
// the same for every command, so a script can tell which file or folder failed and why.
#pragma once

#include <string>

// Writes "fernset: PATH: reason" (the path made printable) and returns 1, the exit status.
int FailWith(const std::string& path, const std::string& reason);

// A set path that can be no set at all (a folder) is told before anything reads it: false then.
bool CheckSetPath(const std::string& setPath);

// Why the set at setPath could not be opened; err: errno of the failed open.
std::string SetOpenFailure(const std::string& setPath, int err);

class CSetScan;
// Opens the set at setPath for a command that reads it through the set loop; false once the reason
// was said (a folder, a set that cannot be opened).
bool OpenSetScan(const std::string& setPath, CSetScan& scan);
