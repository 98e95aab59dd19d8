// The program's string table, loaded by id.
#pragma once
#include <string>

namespace fern {

// The string of that id, or "" when the table has none (as a failed LoadString).
std::string LoadString(int id);

}  // namespace fern
