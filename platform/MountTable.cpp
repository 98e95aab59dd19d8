#include "platform/MountTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <set>
#include <utility>

namespace fern {

namespace {

// The kernel writes space, tab, newline and backslash in paths as \ooo.
std::string DecodeOctal(const std::string& field) {
  std::string out;
  out.reserve(field.size());
  for (std::string::size_type i = 0; i < field.size(); ++i) {
    if (field[i] == '\\' && i + 3 < field.size()) {
      const char a = field[i + 1], b = field[i + 2], c = field[i + 3];
      if (a >= '0' && a <= '3' && b >= '0' && b <= '7' && c >= '0' && c <= '7') {
        out += static_cast<char>((a - '0') * 64 + (b - '0') * 8 + (c - '0'));
        i += 3;
        continue;
      }
    }
    out += field[i];
  }
  return out;
}

bool ParseInt(const std::string& text, int& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < 0 || v > INT_MAX) return false;
  value = static_cast<int>(v);
  return true;
}

bool ParseDevice(const std::string& device, unsigned& major, unsigned& minor) {
  std::string::size_type colon = device.find(':');
  if (colon == std::string::npos) return false;
  int ma = 0, mi = 0;
  if (!ParseInt(device.substr(0, colon), ma) || !ParseInt(device.substr(colon + 1), mi)) return false;
  major = static_cast<unsigned>(ma);
  minor = static_cast<unsigned>(mi);
  return true;
}

std::vector<std::string> SplitFields(const std::string& line) {
  std::vector<std::string> fields;
  std::string::size_type start = 0;
  while (start <= line.size()) {
    std::string::size_type space = line.find(' ', start);
    if (space == std::string::npos) space = line.size();
    fields.push_back(line.substr(start, space - start));
    start = space + 1;
  }
  return fields;
}

bool StartsWith(const std::string& text, const char* prefix) {
  return text.compare(0, std::strlen(prefix), prefix) == 0;
}

// Reads a sysfs attribute holding a number; false when missing or unreadable.
bool ReadSysfsFlag(const std::string& path, bool& flag) {
  std::string text;
  if (!ReadWholeFile(path, text) || text.empty()) return false;
  flag = text[0] == '1';
  return true;
}

// Whether a resolved sysfs device path passes through a USB bus node (usb1, usb2, ...).
bool PassesThroughUsb(const std::string& path) {
  std::string::size_type start = 0;
  while (start < path.size()) {
    std::string::size_type slash = path.find('/', start);
    if (slash == std::string::npos) slash = path.size();
    std::string part = path.substr(start, slash - start);
    if (part.size() > 3 && StartsWith(part, "usb") &&
        part.find_first_not_of("0123456789", 3) == std::string::npos)
      return true;
    start = slash + 1;
  }
  return false;
}

using MountKey = std::pair<int, std::string>;
MountKey KeyOf(const CMountEntry& entry) { return {entry.mountId, entry.mountPoint}; }

}  // namespace

bool ReadWholeFile(const std::string& path, std::string& text) {
  text.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  char buffer[8192];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0) {
      if (errno == EINTR) continue;
      int saved = errno;
      close(fd);
      errno = saved;
      text.clear();
      return false;
    }
    if (got == 0) break;
    text.append(buffer, static_cast<std::string::size_type>(got));
  }
  close(fd);
  return true;
}

std::vector<CMountEntry> ParseMountInfo(const std::string& text) {
  std::vector<CMountEntry> entries;
  std::string::size_type start = 0;
  while (start < text.size()) {
    std::string::size_type end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    std::vector<std::string> fields = SplitFields(text.substr(start, end - start));
    start = end + 1;

    // id parent major:minor root mount-point options [optional fields...] - type source options
    if (fields.size() < 9) continue;
    std::string::size_type dash = 6;
    while (dash < fields.size() && fields[dash] != "-") ++dash;
    if (dash + 2 >= fields.size()) continue;
    CMountEntry entry;
    unsigned major = 0, minor = 0;
    if (!ParseInt(fields[0], entry.mountId) || !ParseInt(fields[1], entry.parentId) ||
        !ParseDevice(fields[2], major, minor) || fields[3].empty() || fields[4].empty() ||
        fields[4][0] != '/' || fields[dash + 1].empty())
      continue;
    entry.device = fields[2];
    entry.root = DecodeOctal(fields[3]);
    entry.mountPoint = DecodeOctal(fields[4]);
    entry.fsType = fields[dash + 1];
    entry.source = DecodeOctal(fields[dash + 2]);
    entries.push_back(std::move(entry));
  }
  return entries;
}

bool IsRemovableMount(const CMountEntry& entry, const std::string& sysfsRoot) {
  const std::string& point = entry.mountPoint;
  if (point.empty() || point == "/" || point == "/boot" || StartsWith(point, "/boot/")) return false;

  // Where desktop automounters put removable media: any file-system type counts.
  if ((StartsWith(point, "/media/") && point.size() > 7) ||
      (StartsWith(point, "/run/media/") && point.size() > 11))
    return true;

  // Elsewhere only a whole block-device file system counts: not a bind mount of a folder,
  // not a pseudo file system (their device numbers have major 0), not a loop image.
  unsigned major = 0, minor = 0;
  if (!ParseDevice(entry.device, major, minor) || major == 0) return false;
  if (entry.root != "/") return false;
  constexpr unsigned kLoopMajor = 7, kRamMajor = 1;
  if (major == kLoopMajor || major == kRamMajor || StartsWith(entry.source, "/dev/loop")) return false;

  std::string node = sysfsRoot + "/dev/block/" + entry.device;
  char resolved[PATH_MAX];
  if (realpath(node.c_str(), resolved) == nullptr) return false;
  std::string device = resolved;
  std::string::size_type lastSlash = device.rfind('/');
  std::string name = lastSlash == std::string::npos ? device : device.substr(lastSlash + 1);
  if (StartsWith(name, "loop") || StartsWith(name, "ram") || StartsWith(name, "zram")) return false;

  // A partition has no "removable" of its own; its parent disk has.
  bool removable = false;
  if (ReadSysfsFlag(device + "/removable", removable) && removable) return true;
  if (lastSlash != std::string::npos &&
      ReadSysfsFlag(device.substr(0, lastSlash) + "/removable", removable) && removable)
    return true;
  // Only the part below the sysfs root is looked at (a test's temporary folder is not).
  std::string within = device;
  char resolvedRoot[PATH_MAX];
  if (realpath(sysfsRoot.c_str(), resolvedRoot) != nullptr) {
    std::string prefix = resolvedRoot;
    if (StartsWith(within, (prefix + "/").c_str())) within.erase(0, prefix.size());
  }
  return PassesThroughUsb(within);
}

CMountChange DiffMounts(const std::vector<CMountEntry>& before, const std::vector<CMountEntry>& after,
                        const std::string& sysfsRoot) {
  return DiffMounts(before, after,
                    [&sysfsRoot](const CMountEntry& entry) { return IsRemovableMount(entry, sysfsRoot); });
}

CMountChange DiffMounts(const std::vector<CMountEntry>& before, const std::vector<CMountEntry>& after,
                        const MountFilter& counts) {
  std::set<MountKey> oldKeys, newKeys;
  for (const CMountEntry& entry : before) oldKeys.insert(KeyOf(entry));
  for (const CMountEntry& entry : after) newKeys.insert(KeyOf(entry));
  CMountChange change;
  for (const CMountEntry& entry : after)
    if (oldKeys.count(KeyOf(entry)) == 0 && counts(entry)) change.arrived.push_back(entry);
  for (const CMountEntry& entry : before)
    if (newKeys.count(KeyOf(entry)) == 0 && counts(entry)) change.removed.push_back(entry);
  return change;
}

}  // namespace fern
