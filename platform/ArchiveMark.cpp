#include "platform/ArchiveMark.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <pwd.h>
#include <sys/ioctl.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/MarkRecords.h"

namespace fern {

namespace {

bool SameState(const MarkRecord& r, const struct stat& st) {
  return r.size == static_cast<int64_t>(st.st_size) && r.sec == static_cast<int64_t>(st.st_mtim.tv_sec) &&
         r.nsec == static_cast<int64_t>(st.st_mtim.tv_nsec);
}

bool SameState(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

std::string DefaultMarksFolder() {
  const char* state = getenv("XDG_STATE_HOME");
  if (state != nullptr && state[0] == '/') return std::string(state) + "/fernapp/marks";
  std::string home;
  const char* env = getenv("HOME");
  if (env != nullptr && env[0] == '/') {
    home = env;
  } else if (struct passwd* pw = getpwuid(getuid())) {
    if (pw->pw_dir != nullptr) home = pw->pw_dir;
  }
  if (home.empty()) home = "/tmp";
  return home + "/.local/state/fernapp/marks";
}

uint64_t Fnv1a(const std::string& text) {
  uint64_t hash = 1469598103934665603ull;
  for (unsigned char c : text) {
    hash ^= c;
    hash *= 1099511628211ull;
  }
  return hash;
}

int SetFatAttributes(int fd, uint32_t attributes) {
  return ioctl(fd, FAT_IOCTL_SET_ATTRIBUTES, &attributes) == 0 ? 0 : errno;
}

}  // namespace

std::string MarksKeyOfVolume(const std::string& root) {
  struct stat rootStat;
  if (stat(root.c_str(), &rootStat) == 0) {
    if (DIR* dir = opendir("/dev/disk/by-uuid")) {
      std::string found;
      while (struct dirent* entry = readdir(dir)) {
        if (entry->d_name[0] == '.') continue;
        struct stat dev;
        if (fstatat(dirfd(dir), entry->d_name, &dev, 0) == 0 && S_ISBLK(dev.st_mode) &&
            dev.st_rdev == rootStat.st_dev) {
          found = entry->d_name;
          break;
        }
      }
      closedir(dir);
      if (!found.empty()) return "uuid-" + found;
    }
  }
  // No device of its own (tmpfs, network, subvolume): the file-system id with the mount point.
  std::string key = "fsid-";
  struct statfs fs;
  if (statfs(root.c_str(), &fs) == 0) {
    int ids[2];
    static_assert(sizeof ids == sizeof fs.f_fsid, "fsid layout");
    memcpy(ids, &fs.f_fsid, sizeof ids);
    char hex[40];
    snprintf(hex, sizeof hex, "%08x%08x-", static_cast<unsigned>(ids[0]), static_cast<unsigned>(ids[1]));
    key += hex;
  }
  // The real path: "q", "./q" and "/abs/q" are one drive with one set of records.
  std::string mount = root;
  if (char* real = realpath(root.c_str(), nullptr)) {
    mount = real;
    free(real);
  }
  while (mount.size() > 1 && mount.back() == '/') mount.pop_back();
  std::string readable;
  for (unsigned char c : mount) {
    if (isalnum(c) || c == '.' || c == '-' || c == '_') {
      readable += static_cast<char>(c);
    } else {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      readable += hex;
    }
  }
  if (readable.size() > 160) {
    char hash[24];
    snprintf(hash, sizeof hash, "%016" PRIx64, Fnv1a(mount));
    readable = readable.substr(readable.size() - 140) + "-" + hash;
  }
  return key + readable;
}

struct CArchiveMarks::Impl {
  std::string root;
  bool fat = false;
  std::string recordPath;
  std::unique_ptr<CMarkRecords> records;

  std::string Relative(const std::string& path) const {
    if (path.size() > root.size() && path.compare(0, root.size(), root) == 0) return path.substr(root.size());
    return path;
  }
};

CArchiveMarks::CArchiveMarks(const std::string& root, const std::string& marksFolder) : m_impl(new Impl) {
  m_impl->root = root;
  if (!m_impl->root.empty() && m_impl->root.back() != '/') m_impl->root += '/';
  int fd = open(m_impl->root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    uint32_t attributes = 0;
    m_impl->fat = ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) == 0;
    close(fd);
  }
  if (!m_impl->fat) {
    std::string folder = marksFolder.empty() ? DefaultMarksFolder() : marksFolder;
    while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
    m_impl->recordPath = folder + "/" + MarksKeyOfVolume(m_impl->root);
    m_impl->records = std::make_unique<CMarkRecords>(m_impl->recordPath);
  }
}

CArchiveMarks::~CArchiveMarks() = default;

bool CArchiveMarks::UsesFatAttributes() const { return m_impl->fat; }
std::string CArchiveMarks::RecordFilePath() const { return m_impl->recordPath; }

bool CArchiveMarks::IsMarked(const std::string& path, const struct stat& st) {
  if (m_impl->fat) {
    int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) return true;
    uint32_t attributes = 0;
    bool known = ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) == 0;
    close(fd);
    return !known || (attributes & ATTR_ARCH) != 0;
  }
  MarkRecord record;
  return !m_impl->records->Find(m_impl->Relative(path), record) || !SameState(record, st);
}

CArchiveMarks::ClearResult CArchiveMarks::ClearMark(const std::string& path, int* error) {
  // Without a status to compare with, the file's present state is the one backed up.
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (error) *error = errno;
    return ClearResult::Failed;
  }
  return ClearMark(path, st, error);
}

CArchiveMarks::ClearResult CArchiveMarks::ClearMark(const std::string& path, const struct stat& seen,
                                                    int* error) {
  if (error) *error = 0;
  if (!m_impl->fat) {
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
      if (error) *error = errno;
      return ClearResult::Failed;
    }
    if (!SameState(st, seen)) return ClearResult::ChangedMeanwhile;
    m_impl->records->Put(m_impl->Relative(path), static_cast<int64_t>(st.st_size),
                         static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec));
    return ClearResult::Cleared;
  }

  int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    if (error) *error = errno;
    return errno == EROFS ? ClearResult::ReadOnlyMedium : ClearResult::Failed;
  }
  auto fail = [&](int err) {
    close(fd);
    if (error) *error = err;
    return err == EROFS ? ClearResult::ReadOnlyMedium : ClearResult::Failed;
  };
  struct stat before;
  uint32_t attributes = 0;
  if (fstat(fd, &before) != 0) return fail(errno);
  if (!SameState(before, seen)) {
    close(fd);
    return ClearResult::ChangedMeanwhile;
  }
  if (ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) != 0) return fail(errno);
  if ((attributes & ATTR_ARCH) == 0) {
    close(fd);
    return ClearResult::Cleared;
  }
  const bool readOnly = (attributes & ATTR_RO) != 0;
  int err = 0;
  if (readOnly) err = SetFatAttributes(fd, attributes & ~ATTR_RO);
  if (err != 0) return fail(err);
  err = SetFatAttributes(fd, attributes & ~(ATTR_RO | ATTR_ARCH));
  if (readOnly) {
    // The read-only attribute comes back whether or not the mark could be cleared.
    int again = SetFatAttributes(fd, attributes & ~(err == 0 ? ATTR_ARCH : 0u));
    if (err == 0) err = again;
  }
  if (err != 0) return fail(err);
  struct stat after;
  if (fstat(fd, &after) != 0) return fail(errno);
  if (after.st_mtim.tv_sec != before.st_mtim.tv_sec || after.st_mtim.tv_nsec != before.st_mtim.tv_nsec ||
      after.st_atim.tv_sec != before.st_atim.tv_sec || after.st_atim.tv_nsec != before.st_atim.tv_nsec) {
    const struct timespec times[2] = {before.st_atim, before.st_mtim};
    if (futimens(fd, times) != 0) return fail(errno);
  }
  close(fd);
  return ClearResult::Cleared;
}

bool CArchiveMarks::Save(int* error) {
  if (error) *error = 0;
  if (m_impl->fat) return true;
  // Records of files that are gone are dropped, so the file does not grow for ever.
  const std::string& root = m_impl->root;
  return m_impl->records->Save(
      [&root](const std::string& relative) {
        struct stat st;
        return !(lstat((root + relative).c_str(), &st) != 0 && errno == ENOENT);
      },
      error);
}

}  // namespace fern
