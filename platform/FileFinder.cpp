#include "platform/FileFinder.h"

#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace fern {

namespace {

char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

}  // namespace

bool MatchesPattern(const std::string& name, const std::string& pattern) {
  if (pattern == "*.*") return true;
  // Only '*' and '?' are wildcards, as on Windows: a label holding '[' or '\\' is taken literally.
  // ASCII letters are folded here rather than by the locale: under a Turkish locale, for one,
  // FNM_CASEFOLD alone takes 'I' for a dotless i, and "X-1.FCI" would no longer be a set.
  std::string p;
  p.reserve(pattern.size() * 2);
  for (char c : pattern) {
    if (c == '[' || c == ']' || c == '\\') p += '\\';
    p += AsciiLower(c);
  }
  std::string n;
  n.reserve(name.size());
  for (char c : name) n += AsciiLower(c);
  return fnmatch(p.c_str(), n.c_str(), FNM_CASEFOLD) == 0;
}

bool FindFiles(const std::string& folder, const std::string& pattern, std::vector<CFindData>& out,
               std::vector<CFindProblem>* problems) {
  out.clear();
  if (problems != nullptr) problems->clear();
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return false;
  int dirFd = dirfd(dir);
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  for (;;) {
    // readdir tells its end from a failure only through errno.
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0 && problems != nullptr) problems->push_back({folder, errno});
      break;
    }
    std::string name = entry->d_name;
    if (!MatchesPattern(name, pattern)) continue;
    struct stat st;
    if (fstatat(dirFd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // "." and ".." stand for no file of their own.
      if (problems != nullptr && name != "." && name != "..") problems->push_back({prefix + name, errno});
      continue;
    }
    CFindData data;
    data.name = name;
    data.fullPath = prefix + name;
    data.isDir = S_ISDIR(st.st_mode);
    data.isLink = S_ISLNK(st.st_mode);
    data.isRegular = S_ISREG(st.st_mode);
    data.size = static_cast<uint64_t>(st.st_size);
    data.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
    data.mode = st.st_mode;
    out.push_back(std::move(data));
  }
  closedir(dir);
  return true;
}

}  // namespace fern
