// The per-user temporary folder and the scratch folder inside it.
#pragma once

#include <string>

namespace fern {

// "${TMPDIR:-/tmp}/fernapp-<uid>/", created with mode 0700. Fails (false, "") unless the
// folder is a real folder (not a link) owned by this user that others cannot write into;
// read or search rights of others are taken away.
bool GetTempPath(std::string& path);

// "<temp>fernwork" (no trailing '/'); "" when the temporary folder is refused.
std::string ScratchFolder();
// "<temp>fernwork/<bare>"; "" when the temporary folder is refused.
std::string ScratchPath(const std::string& bareName);

}  // namespace fern
