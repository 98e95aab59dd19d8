// A tmpfs mounted for a test, unmounted and its folder removed when the test ends.
#pragma once

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace fern {

class CTestMount {
 public:
  // Makes the folder (and /media when missing) and mounts a tmpfs of the given size on it.
  // Fails with the reason in why.
  bool Mount(const std::string& point, const std::string& options, std::string& why) {
    mkdir("/media", 0755);
    if (mkdir(point.c_str(), 0755) != 0 && errno != EEXIST) {
      why = "cannot make " + point + ": " + std::strerror(errno);
      return false;
    }
    m_point = point;
    if (mount("fern-test", point.c_str(), "tmpfs", 0, options.c_str()) != 0) {
      why = "mount of a tmpfs not allowed here (" + std::string(std::strerror(errno)) + ")";
      return false;
    }
    m_mounted = true;
    return true;
  }
  // A recursive bind of another mount tree: all its mounts appear in one change.
  bool BindTree(const std::string& from, const std::string& point, std::string& why) {
    if (mkdir(point.c_str(), 0755) != 0 && errno != EEXIST) {
      why = "cannot make " + point + ": " + std::strerror(errno);
      return false;
    }
    m_point = point;
    if (mount(from.c_str(), point.c_str(), nullptr, MS_BIND | MS_REC, nullptr) != 0) {
      why = "bind mount not allowed here (" + std::string(std::strerror(errno)) + ")";
      return false;
    }
    m_mounted = true;
    return true;
  }
  // Detaches the whole tree at once.
  bool Unmount() {
    if (!m_mounted) return true;
    if (umount2(m_point.c_str(), MNT_DETACH) != 0) return false;
    m_mounted = false;
    return true;
  }
  ~CTestMount() {
    Unmount();
    if (!m_point.empty()) rmdir(m_point.c_str());
  }
  const std::string& Point() const { return m_point; }

 private:
  std::string m_point;
  bool m_mounted = false;
};

// Writes a small file; false on any failure.
inline bool WriteTestFile(const std::string& path, const std::string& content) {
  FILE* file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) return false;
  bool ok = std::fwrite(content.data(), 1, content.size(), file) == content.size();
  return std::fclose(file) == 0 && ok;
}

}  // namespace fern
