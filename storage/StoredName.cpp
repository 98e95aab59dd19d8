#include "storage/StoredName.h"

#include "storage/SetFormat.h"

#include <utility>

namespace fern {

bool MakeStoredName(char driveLetter, const std::string& relative, std::string& stored) {
  stored.clear();
  if (relative.find('\\') != std::string::npos) return false;
  stored.reserve(relative.size() + 3);
  stored += driveLetter;
  stored += ":\\";
  for (char c : relative) stored += c == '/' ? '\\' : c;
  return true;
}

std::string StoredNameTail(const std::string& stored) {
  return stored.size() <= 3 ? std::string() : stored.substr(3);
}

bool SameStoredName(const std::string& a, const std::string& b) {
  return EqualsIgnoringCase(StoredNameTail(a), StoredNameTail(b));
}

bool StoredNameToRelative(const std::string& stored, std::string& relative) {
  relative.clear();
  if (stored.size() < 4) return false;
  // Built aside and handed out only whole, so a refused name never leaves half a path behind.
  std::string path;
  path.reserve(stored.size() - 3);
  std::string segment;
  auto segmentOk = [](const std::string& s) { return !s.empty() && s != "." && s != ".."; };
  for (size_t i = 3; i < stored.size(); ++i) {
    char c = stored[i];
    if (c == '/' || c == '\0') return false;
    if (c == '\\') {
      if (!segmentOk(segment)) return false;
      path += segment;
      path += '/';
      segment.clear();
    } else {
      segment += c;
    }
  }
  if (!segmentOk(segment)) return false;
  path += segment;
  relative = std::move(path);
  return true;
}

}  // namespace fern
