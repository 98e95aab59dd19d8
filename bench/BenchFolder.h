// The working folder of a benchmark: a temporary folder with a tmpfs mounted on it where the
// process may mount one, so that no disk's writeback decides a figure; else the plain folder.
// Removed (and unmounted) when the object goes.
#pragma once

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <system_error>
#include <vector>

namespace fernbench {

class CBenchFolder {
 public:
  // name: part of the folder's name; sizeMb: room the tmpfs offers.
  CBenchFolder(const std::string& name, uint64_t sizeMb) {
    std::string base = getenv("TMPDIR") ? getenv("TMPDIR") : "/tmp";
    base += "/fern-bench-" + name + "-XXXXXX";
    if (mkdtemp(&base[0]) == nullptr) {
      perror("mkdtemp");
      return;
    }
    m_path = base;
    const std::string options = "size=" + std::to_string(sizeMb) + "m,mode=0700";
    if (mount("fern-bench", m_path.c_str(), "tmpfs", MS_NOSUID | MS_NODEV, options.c_str()) == 0) {
      m_bMounted = true;
      m_strWhere = "tmpfs";
    } else {
      const int err = errno;
      struct statfs fs;
      const bool isTmpfs = statfs(m_path.c_str(), &fs) == 0 && fs.f_type == 0x01021994;  // TMPFS_MAGIC
      m_strWhere = std::string(isTmpfs ? "tmpfs" : "a disk") + " (temp folder " + m_path +
                   "; no tmpfs could be mounted: " + strerror(err) + ")";
    }
  }
  ~CBenchFolder() {
    if (m_path.empty()) return;
    std::error_code ec;
    if (m_bMounted) {
      umount2(m_path.c_str(), MNT_DETACH);
    } else {
      std::filesystem::remove_all(m_path, ec);
    }
    rmdir(m_path.c_str());
  }
  CBenchFolder(const CBenchFolder&) = delete;
  CBenchFolder& operator=(const CBenchFolder&) = delete;

  bool Ok() const { return !m_path.empty(); }
  const std::string& Path() const { return m_path; }
  // Where the files are: "tmpfs" or a description of the fallback.
  const std::string& Where() const { return m_strWhere; }

 private:
  std::string m_path;
  std::string m_strWhere;
  bool m_bMounted = false;
};

inline double Median(std::vector<double> values) {
  if (values.empty()) return 0;
  std::sort(values.begin(), values.end());
  const size_t n = values.size();
  return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

}  // namespace fernbench
