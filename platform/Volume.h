// Questions about a mounted volume by its root (mount point ending in '/').
#pragma once

#include <cstdint>
#include <string>

namespace fern {

// The volume label: FS_IOC_GETFSLABEL on the root, else the /dev/disk/by-label link that points
// at the volume's device, else the last segment of the mount point. False when the root
// cannot be opened.
bool GetVolumeLabel(const std::string& root, std::string& label);
// The same with another by-label folder (tests).
bool GetVolumeLabel(const std::string& root, std::string& label, const std::string& byLabelFolder);

// statvfs: total = blocks x fragment size, free = free blocks x fragment size.
bool GetDiskFreeSpace(const std::string& root, uint64_t& totalBytes, uint64_t& freeBytes);

// A udev link name with its \xHH escapes decoded ("MY\x20STICK" is "MY STICK").
std::string DecodeUdevName(const std::string& name);

}  // namespace fern
