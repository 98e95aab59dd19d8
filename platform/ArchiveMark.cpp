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
#include <unordered_map>

namespace fern {

namespace {

struct Record {
  int64_t size = 0;
  int64_t sec = 0;
  int64_t nsec = 0;
};

bool SameState(const Record& r, const struct stat& st) {
  return r.size == static_cast<int64_t>(st.st_size) && r.sec == static_cast<int64_t>(st.st_mtim.tv_sec) &&
         r.nsec == static_cast<int64_t>(st.st_mtim.tv_nsec);
}

bool SameState(const struct stat& a, const struct stat& b) {
  return a.st_size == b.st_size && a.st_mtim.tv_sec == b.st_mtim.tv_sec &&
         a.st_mtim.tv_nsec == b.st_mtim.tv_nsec;
}

Record RecordOf(const struct stat& st) {
  return {static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
          static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

// Record lines hold the path last; only the bytes that would break a line are escaped.
std::string EscapePath(const std::string& path) {
  std::string out;
  out.reserve(path.size());
  for (unsigned char c : path) {
    if (c == '%' || c == '\n' || c == '\r') {
      char hex[4];
      snprintf(hex, sizeof hex, "%%%02X", c);
      out += hex;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

bool UnescapePath(const std::string& text, std::string& path) {
  path.clear();
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] != '%') {
      path += text[i];
      continue;
    }
    if (i + 2 >= text.size()) return false;
    char hex[3] = {text[i + 1], text[i + 2], 0};
    char* end = nullptr;
    long value = strtol(hex, &end, 16);
    if (end != hex + 2) return false;
    path += static_cast<char>(value);
    i += 2;
  }
  return true;
}

// Creates a folder and its missing parents, private to the user.
bool MakeFolders(const std::string& folder) {
  std::string partial;
  size_t start = 0;
  while (start <= folder.size()) {
    size_t slash = folder.find('/', start);
    if (slash == std::string::npos) slash = folder.size();
    partial = folder.substr(0, slash);
    if (!partial.empty() && mkdir(partial.c_str(), 0700) != 0 && errno != EEXIST) return false;
    start = slash + 1;
  }
  struct stat st;
  if (stat(folder.c_str(), &st) != 0) return false;
  if (!S_ISDIR(st.st_mode)) {
    errno = ENOTDIR;
    return false;
  }
  return true;
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
  bool dirty = false;
  std::unordered_map<std::string, Record> records;

  std::string Relative(const std::string& path) const {
    if (path.size() > root.size() && path.compare(0, root.size(), root) == 0) return path.substr(root.size());
    return path;
  }

  void Load() {
    FILE* file = fopen(recordPath.c_str(), "re");
    if (file == nullptr) return;  // no records yet: every file counts as marked
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    bool first = true;
    while ((length = getline(&line, &capacity, file)) > 0) {
      std::string text(line, static_cast<size_t>(length));
      if (!text.empty() && text.back() == '\n') text.pop_back();
      if (first) {
        first = false;
        if (text != "fernapp-marks 1") break;  // unknown layout: start afresh, which is safe
        continue;
      }
      long long size, sec, nsec;
      int consumed = 0;
      if (sscanf(text.c_str(), "%lld %lld %lld %n", &size, &sec, &nsec, &consumed) != 3 || consumed <= 0) continue;
      std::string path;
      if (!UnescapePath(text.substr(static_cast<size_t>(consumed)), path) || path.empty()) continue;
      records[path] = {size, sec, nsec};
    }
    free(line);
    fclose(file);
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
    m_impl->Load();
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
  auto it = m_impl->records.find(m_impl->Relative(path));
  return it == m_impl->records.end() || !SameState(it->second, st);
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
    m_impl->records[m_impl->Relative(path)] = RecordOf(st);
    m_impl->dirty = true;
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
  if (m_impl->fat || !m_impl->dirty) return true;
  auto fail = [error](int err) {
    if (error) *error = err;
    return false;
  };
  const std::string& target = m_impl->recordPath;
  std::string folder = target.substr(0, target.rfind('/'));
  if (!MakeFolders(folder)) return fail(errno);

  // Records of files that are gone are dropped, so the file does not grow for ever.
  for (auto it = m_impl->records.begin(); it != m_impl->records.end();) {
    struct stat st;
    if (lstat((m_impl->root + it->first).c_str(), &st) != 0 && errno == ENOENT)
      it = m_impl->records.erase(it);
    else
      ++it;
  }

  std::string temp = target + ".XXXXXX";
  int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) return fail(errno);
  FILE* file = fdopen(fd, "w");
  if (file == nullptr) {
    int err = errno;
    close(fd);
    unlink(temp.c_str());
    return fail(err);
  }
  bool ok = fputs("fernapp-marks 1\n", file) >= 0;
  for (const auto& [path, record] : m_impl->records) {
    if (!ok) break;
    ok = fprintf(file, "%lld %lld %lld %s\n", static_cast<long long>(record.size),
                 static_cast<long long>(record.sec), static_cast<long long>(record.nsec),
                 EscapePath(path).c_str()) > 0;
  }
  int err = ok ? 0 : (errno != 0 ? errno : EIO);
  if (ok && fflush(file) != 0) err = errno;
  if (err == 0 && fsync(fileno(file)) != 0) err = errno;
  if (fclose(file) != 0 && err == 0) err = errno;
  if (err == 0 && rename(temp.c_str(), target.c_str()) != 0) err = errno;
  if (err != 0) {
    unlink(temp.c_str());
    return fail(err);
  }
  int dirFd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);  // the rename is done; a failed folder flush only risks the old records
    close(dirFd);
  }
  m_impl->dirty = false;
  return true;
}

}  // namespace fern
