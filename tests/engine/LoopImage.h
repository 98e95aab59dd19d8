// A loop image of a stick's file system (exfat-fuse or ntfs-3g), mounted in a private temporary
// folder, never below /media/, and always unmounted and detached again.
#pragma once

#include <stdlib.h>
#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

class CLoopImage {
 public:
  // kind: "exfat" (exfat-fuse) or "ntfs" (ntfs-3g).
  explicit CLoopImage(const std::string& kind) : m_kind(kind) {
    char pattern[] = "/tmp/fern-image-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    m_folder = pattern;
    m_image = m_folder + "/stick.img";
    m_mountPoint = m_folder + "/mnt";
    if (mkdir(m_mountPoint.c_str(), 0755) != 0) return;
    const std::string make = kind == "exfat" ? "mkfs.exfat -L STICK " + m_image : "mkntfs -F -Q -L STICK " + m_image;
    if (Run("truncate -s 16M " + m_image) != 0 || Run(make + " >/dev/null 2>&1") != 0) {
      m_problem = "cannot make the " + kind + " image";
      return;
    }
    FILE* pipe = popen(("losetup -f --show " + m_image + " 2>/dev/null").c_str(), "r");
    if (pipe != nullptr) {
      char line[256] = "";
      if (fgets(line, sizeof line, pipe) != nullptr) m_loop = line;
      pclose(pipe);
      while (!m_loop.empty() && (m_loop.back() == '\n' || m_loop.back() == ' ')) m_loop.pop_back();
    }
    if (m_loop.empty()) {
      m_problem = "no loop device (losetup)";
      return;
    }
    Mount();
  }
  ~CLoopImage() {
    Unmount();
    if (!m_loop.empty()) Run("losetup -d " + m_loop);
    if (!m_folder.empty()) Run("rm -rf '" + m_folder + "'");
  }
  CLoopImage(const CLoopImage&) = delete;
  CLoopImage& operator=(const CLoopImage&) = delete;

  bool Mount() {
    if (m_mounted || m_loop.empty()) return m_mounted;
    const std::string mount = m_kind == "exfat" ? "mount.exfat-fuse " + m_loop + " " + m_mountPoint
                                                : "ntfs-3g " + m_loop + " " + m_mountPoint;
    m_mounted = Run(mount + " >/dev/null 2>&1") == 0;
    if (!m_mounted) m_problem = "cannot mount the " + m_kind + " image";
    return m_mounted;
  }
  void Unmount() {
    if (m_mounted && umount2(m_mountPoint.c_str(), 0) != 0) umount2(m_mountPoint.c_str(), MNT_DETACH);
    m_mounted = false;
  }

  bool Mounted() const { return m_mounted; }
  const std::string& Problem() const { return m_problem; }
  const std::string& ImagePath() const { return m_image; }
  std::string Root() const { return m_mountPoint + "/"; }

 private:
  static int Run(const std::string& command) { return system(command.c_str()); }

  std::string m_kind, m_folder, m_image, m_mountPoint, m_loop, m_problem;
  bool m_mounted = false;
};
