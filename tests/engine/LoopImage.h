// A file-system image mounted for a test in a private folder (never below /media/): ext4 in the
// kernel, or NTFS and exFAT through their FUSE drivers as sticks often meet them. Unmounted, its
// loop device detached and its files removed when the object goes, also after a failed test.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

class CLoopImage {
 public:
  // kind: "ext4", "ntfs-3g" or "exfat-fuse". folder: an existing private folder. False with the
  // reason in why when this machine cannot do it (no root, a tool missing).
  bool Make(const std::string& folder, const std::string& kind, std::string& why) {
    if (geteuid() != 0) return Fail(why, "mounting an image needs root");
    m_kind = kind;
    m_image = folder + "/" + kind + ".img";
    m_point = folder + "/" + kind;
    if (mkdir(m_point.c_str(), 0755) != 0) return Fail(why, "cannot make " + m_point);
    int fd = open(m_image.c_str(), O_CREAT | O_WRONLY | O_TRUNC, 0600);
    if (fd < 0) return Fail(why, "cannot make " + m_image);
    bool sized = ftruncate(fd, 64 << 20) == 0;
    close(fd);
    if (!sized) return Fail(why, "cannot size " + m_image);
    const std::string img = Quote(m_image);
    if (kind == "ext4") {
      if (!Run("mkfs.ext4 -q -F " + img)) return Fail(why, "mkfs.ext4 failed or missing");
    } else if (kind == "ntfs-3g") {
      if (!Run("mkntfs -F -Q -q " + img)) return Fail(why, "mkntfs failed or missing");
    } else if (kind == "exfat-fuse") {
      if (!Run("mkfs.exfat " + img)) return Fail(why, "mkfs.exfat failed or missing");
    } else {
      return Fail(why, "unknown kind " + kind);
    }
    return Mount(why);
  }

  // Mounts the image (again, after Unmount: a test may change the image in between). options:
  // more mount options for ext4 (e.g. "commit=1").
  bool Mount(std::string& why, const std::string& options = "") {
    if (m_mounted) return true;
    const std::string img = Quote(m_image), point = Quote(m_point);
    if (m_kind == "ext4") {
      const std::string all = options.empty() ? "loop" : "loop," + options;
      if (!Run("mount -o " + all + " " + img + " " + point)) return Fail(why, "cannot loop-mount ext4");
    } else if (m_kind == "ntfs-3g") {
      if (!Run("ntfs-3g " + img + " " + point)) return Fail(why, "ntfs-3g cannot mount");
    } else if (m_kind == "exfat-fuse") {
      // exfat-fuse wants a block device.
      FILE* pipe = popen(("losetup -f --show " + img + " 2>/dev/null").c_str(), "r");
      if (pipe == nullptr) return Fail(why, "losetup missing");
      char line[256] = {0};
      if (fgets(line, sizeof line, pipe) != nullptr) m_loop = line;
      pclose(pipe);
      while (!m_loop.empty() && (m_loop.back() == '\n' || m_loop.back() == ' ')) m_loop.pop_back();
      if (m_loop.empty()) return Fail(why, "no free loop device");
      if (!Run("mount.exfat-fuse " + Quote(m_loop) + " " + point))
        return Fail(why, "exfat-fuse cannot mount");
    }
    m_mounted = true;
    return true;
  }

  ~CLoopImage() { Unmount(); if (!m_point.empty()) rmdir(m_point.c_str()); if (!m_image.empty()) unlink(m_image.c_str()); }

  bool Unmount() {
    bool ok = true;
    if (m_mounted) {
      ok = Run("umount " + Quote(m_point)) || Run("umount -l " + Quote(m_point));
      m_mounted = false;
    }
    if (!m_loop.empty()) {
      Run("losetup -d " + Quote(m_loop));
      m_loop.clear();
    }
    return ok;
  }

  // The mount point, ending in '/'.
  std::string Root() const { return m_point + "/"; }
  const std::string& ImagePath() const { return m_image; }

 private:
  static std::string Quote(const std::string& s) { return "'" + s + "'"; }
  static bool Run(const std::string& command) { return system((command + " >/dev/null 2>&1").c_str()) == 0; }
  bool Fail(std::string& why, const std::string& text) {
    why = text;
    return false;
  }

  std::string m_kind, m_image, m_point, m_loop;
  bool m_mounted = false;
};
