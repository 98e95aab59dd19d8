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

namespace {

// Lists a folder's entries that match pattern, each examined once (by fstatat on the listing's
// own descriptor). foldersOnly: entries the listing types as anything but a folder are passed
// over unexamined, and so are "." and "..".
bool ListFolder(const std::string& folder, const std::string& pattern, bool foldersOnly, std::vector<CFindData>& out,
                std::vector<CFindProblem>* problems) {
  out.clear();
  if (problems != nullptr) problems->clear();
  DIR* dir = opendir(folder.empty() ? "." : folder.c_str());
  if (dir == nullptr) return false;
  int dirFd = dirfd(dir);
  std::string prefix = folder;
  if (!prefix.empty() && prefix.back() != '/') prefix += '/';
  const bool everything = pattern == "*.*";
  for (;;) {
    // readdir tells its end from a failure only through errno.
    errno = 0;
    struct dirent* entry = readdir(dir);
    if (entry == nullptr) {
      if (errno != 0 && problems != nullptr) problems->push_back({folder, errno});
      break;
    }
    const char* leaf = entry->d_name;
    const bool dots = leaf[0] == '.' && (leaf[1] == '\0' || (leaf[1] == '.' && leaf[2] == '\0'));
    if (foldersOnly && (dots || (entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN))) continue;
    if (!everything && !MatchesPattern(leaf, pattern)) continue;
    struct stat st;
    if (fstatat(dirFd, leaf, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      // "." and ".." stand for no file of their own.
      if (problems != nullptr && !dots) problems->push_back({prefix + leaf, errno});
      continue;
    }
    if (foldersOnly && !S_ISDIR(st.st_mode)) continue;
    CFindData data;
    data.name = leaf;
    data.fullPath = prefix + data.name;
    data.isDir = S_ISDIR(st.st_mode);
    data.isLink = S_ISLNK(st.st_mode);
    data.isRegular = S_ISREG(st.st_mode);
    data.size = static_cast<uint64_t>(st.st_size);
    data.mtime = static_cast<int64_t>(st.st_mtim.tv_sec);
    data.mtimeNsec = st.st_mtim.tv_nsec;
    data.mode = st.st_mode;
    data.dev = st.st_dev;
    data.ino = st.st_ino;
    out.push_back(std::move(data));
  }
  closedir(dir);
  return true;
}

}  // namespace

bool FindFiles(const std::string& folder, const std::string& pattern, std::vector<CFindData>& out,
               std::vector<CFindProblem>* problems) {
  return ListFolder(folder, pattern, false, out, problems);
}

bool FindSubfolders(const std::string& folder, std::vector<CFindData>& out) {
  return ListFolder(folder, "*.*", true, out, nullptr);
}

}  // namespace fern
