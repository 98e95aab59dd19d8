// Start at login: the XDG autostart entry that starts fernapp straight into the tray, written
// or removed by `fernapp --autostart on|off`.
#pragma once

#include <ostream>
#include <string>

namespace fern {

// The argument that starts the program into the tray, as the autostart entry does.
inline constexpr const char* kStartInTrayArg = "--tray";

// $XDG_CONFIG_HOME/autostart (an absolute XDG_CONFIG_HOME only), else ~/.config/autostart.
std::string AutostartFolder();
// The entry's path in that folder ("" when there is no folder).
std::string AutostartEntryPath();

// One argument of an Exec line: as it is when it needs no quoting, else double-quoted with ",
// `, $ and \ escaped; % doubled. Then the value's own escaping (\ as \\) is applied.
std::string ExecArgument(const std::string& argument);
// The whole entry for a program at programPath.
std::string AutostartEntryText(const std::string& programPath);

// `--autostart on|off` (value may be null): writes or removes the entry, says so on out, and
// gives the exit status: 0 done, 1 failed (reason on err), 2 bad usage.
int AutostartCommand(const char* value, std::ostream& out, std::ostream& err);

}  // namespace fern
