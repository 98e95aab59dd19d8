// The mount table of /proc/self/mountinfo: parsing, which mounts count as removable drives,
// and the difference between two readings.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace fern {

struct CMountEntry {
  int mountId = 0;
  int parentId = 0;
  std::string device;      // "major:minor"
  std::string root;        // root of the mount within its file system
  std::string mountPoint;  // octal escapes (\040 and the like) decoded
  std::string fsType;
  std::string source;      // the mount source, for example /dev/sdb1
};

// Parses mountinfo text; malformed lines are left out.
std::vector<CMountEntry> ParseMountInfo(const std::string& text);

// Whether a mount counts as a flash drive: a mount point below /media/ or /run/media/, of any
// file-system type; or a block-device mount whose device is removable or on the USB bus
// (sysfsRoot is "/sys" except in tests). Never /, /boot, pseudo file systems or loop images.
bool IsRemovableMount(const CMountEntry& entry, const std::string& sysfsRoot = "/sys");

struct CMountChange {
  std::vector<CMountEntry> arrived;  // in the new table, not in the old (by mount id and point)
  std::vector<CMountEntry> removed;  // in the old table, not in the new
};

// The removable mounts that appeared and vanished between two readings. A mount that was
// unmounted and mounted again has a new mount id: it is a removal and an arrival.
CMountChange DiffMounts(const std::vector<CMountEntry>& before, const std::vector<CMountEntry>& after,
                        const std::string& sysfsRoot = "/sys");

// The same with the caller's own rule of which mounts count. A vanished device's sysfs node
// is gone, so a caller that must recognise removals of such mounts remembers its own verdict.
using MountFilter = std::function<bool(const CMountEntry&)>;
CMountChange DiffMounts(const std::vector<CMountEntry>& before, const std::vector<CMountEntry>& after,
                        const MountFilter& counts);

// Reads a whole file such as /proc/self/mountinfo; false (errno set) on failure.
bool ReadWholeFile(const std::string& path, std::string& text);

}  // namespace fern
