#include "platform/Volume.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fern {

namespace {

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The label of the by-label link whose target is the block device dev, "" with false when none.
bool LabelFromLinks(const std::string& byLabelFolder, dev_t dev, std::string& label) {
  DIR* dir = opendir(byLabelFolder.c_str());
  if (dir == nullptr) return false;
  int dirFd = dirfd(dir);
  bool found = false;
  while (struct dirent* entry = readdir(dir)) {
    if (entry->d_name[0] == '.') continue;
    struct stat st;
    // Follow the link: its target is the device node.
    if (fstatat(dirFd, entry->d_name, &st, 0) != 0) continue;
    if (!S_ISBLK(st.st_mode) || st.st_rdev != dev) continue;
    label = DecodeUdevName(entry->d_name);
    found = true;
    break;
  }
  closedir(dir);
  return found;
}

std::string LastSegment(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  std::string::size_type slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string DecodeUdevName(const std::string& name) {
  std::string out;
  out.reserve(name.size());
  for (std::string::size_type i = 0; i < name.size(); ++i) {
    if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
      int high = HexValue(name[i + 2]);
      int low = HexValue(name[i + 3]);
      if (high >= 0 && low >= 0) {
        out += static_cast<char>(high * 16 + low);
        i += 3;
        continue;
      }
    }
    out += name[i];
  }
  return out;
}

bool GetVolumeLabel(const std::string& root, std::string& label) {
  return GetVolumeLabel(root, label, "/dev/disk/by-label");
}

bool GetVolumeLabel(const std::string& root, std::string& label, const std::string& byLabelFolder) {
  label.clear();
  if (root.empty()) return false;
  int fd = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;

  // The file system's own answer wins, an empty label included.
  char buffer[FSLABEL_MAX + 1];
  std::memset(buffer, 0, sizeof buffer);
  if (ioctl(fd, FS_IOC_GETFSLABEL, buffer) == 0) {
    buffer[FSLABEL_MAX] = '\0';
    label = buffer;
    close(fd);
    return true;
  }

  struct stat st;
  bool haveDevice = fstat(fd, &st) == 0;
  close(fd);
  if (haveDevice && LabelFromLinks(byLabelFolder, st.st_dev, label)) return true;

  // Automounters name the mount point after the label.
  label = LastSegment(root);
  return true;
}

bool GetDiskFreeSpace(const std::string& root, uint64_t& totalBytes, uint64_t& freeBytes) {
  totalBytes = 0;
  freeBytes = 0;
  if (root.empty()) return false;
  struct statvfs vfs;
  if (statvfs(root.c_str(), &vfs) != 0) return false;
  totalBytes = static_cast<uint64_t>(vfs.f_blocks) * static_cast<uint64_t>(vfs.f_frsize);
  freeBytes = static_cast<uint64_t>(vfs.f_bfree) * static_cast<uint64_t>(vfs.f_frsize);
  return true;
}

}  // namespace fern
