#include "engine/RestoreJournal.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "platform/FileWrite.h"

namespace {

const char kPrefix[] = ".fernjournal-";
const char kTempPrefix[] = ".fernpart-";
const char kHeader[] = "fernjournal 1\n";
// A journal larger than this is no journal of ours (one name per restored file stays far below).
constexpr off_t kMaxJournal = 256 << 20;

bool StartsWith(const std::string& s, const char* prefix) { return s.compare(0, strlen(prefix), prefix) == 0; }

// Exactly the form the restore makes its temporary names in: the prefix and six of [a-z0-9]. A
// user's ".fernpart-notes.txt" is never one, whatever a journal (which may come from anywhere,
// the stick being shared) says.
bool IsTempLeaf(const std::string& leaf) {
  const size_t prefix = strlen(kTempPrefix);
  if (leaf.size() != prefix + 6 || !StartsWith(leaf, kTempPrefix)) return false;
  for (size_t i = prefix; i < leaf.size(); ++i)
    if (!((leaf[i] >= 'a' && leaf[i] <= 'z') || (leaf[i] >= '0' && leaf[i] <= '9'))) return false;
  return true;
}

std::string Leaf(const std::string& relative) {
  auto slash = relative.rfind('/');
  return slash == std::string::npos ? relative : relative.substr(slash + 1);
}

std::string FolderPart(const std::string& relative) {
  auto slash = relative.rfind('/');
  return slash == std::string::npos ? std::string() : relative.substr(0, slash);
}

// Every segment a plain name: nothing in a journal read from a stick may lead off the drive.
bool IsPlainRelative(const std::string& relative) {
  size_t start = 0;
  for (;;) {
    size_t slash = relative.find('/', start);
    if (!fern::IsPlainName(relative.substr(start, slash == std::string::npos ? std::string::npos : slash - start)))
      return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

// Names may hold any byte but '/' and NUL: tab, newline and backslash are escaped.
std::string Escape(const std::string& s) {
  std::string out;
  for (char c : s) {
    if (c == '\\') out += "\\\\";
    else if (c == '\n') out += "\\n";
    else if (c == '\t') out += "\\t";
    else out += c;
  }
  return out;
}

bool Unescape(const std::string& s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '\\') {
      out += s[i];
      continue;
    }
    if (++i == s.size()) return false;
    if (s[i] == '\\') out += '\\';
    else if (s[i] == 'n') out += '\n';
    else if (s[i] == 't') out += '\t';
    else return false;
  }
  return true;
}

// What one journal lists.
struct Listing {
  std::vector<std::string> temps;
  std::vector<std::pair<std::string, std::string>> asides;  // aside, real
  std::set<std::string> placed;  // asides whose real name the restored file took
};

// Reads a journal from fd. False when it is not one (no header, too large, unreadable). A last
// line without its newline was cut short before it was flushed: nothing it names was used.
bool ReadListing(int fd, Listing& listing) {
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxJournal) return false;
  std::string text;
  char buffer[16384];
  for (;;) {
    ssize_t got = read(fd, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return false;
    if (got == 0) break;
    text.append(buffer, static_cast<size_t>(got));
    if (static_cast<off_t>(text.size()) > kMaxJournal) return false;
  }
  if (!StartsWith(text, kHeader)) return false;
  std::set<std::string> notOurs;
  size_t start = sizeof kHeader - 1;
  for (;;) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) break;
    const std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.size() < 3 || line[1] != '\t') continue;
    const std::string rest = line.substr(2);
    std::string a, b;
    if (line[0] == 'T' || line[0] == 'X') {
      if (!Unescape(rest, a) || !IsPlainRelative(a) || !IsTempLeaf(Leaf(a))) continue;
      if (line[0] == 'T')
        listing.temps.push_back(a);
      else
        notOurs.insert(a);
    } else if (line[0] == 'A') {
      size_t tab = rest.find('\t');
      if (tab == std::string::npos || !Unescape(rest.substr(0, tab), a) || !Unescape(rest.substr(tab + 1), b)) continue;
      if (!IsPlainRelative(a) || !IsPlainRelative(b) || !IsTempLeaf(Leaf(a)) ||
          FolderPart(a) != FolderPart(b))
        continue;
      listing.asides.emplace_back(a, b);
    } else if (line[0] == 'P') {
      if (Unescape(rest, a) && IsPlainRelative(a) && IsTempLeaf(Leaf(a))) listing.placed.insert(a);
    }
  }
  if (!notOurs.empty()) {
    std::vector<std::string> ours;
    for (auto& t : listing.temps)
      if (notOurs.count(t) == 0) ours.push_back(std::move(t));
    listing.temps = std::move(ours);
  }
  return true;
}

// The names of the entries at the root that have the journal prefix.
std::vector<std::string> JournalNames(int rootFd) {
  std::vector<std::string> names;
  int dirFd = openat(rootFd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return names;
  DIR* dir = fdopendir(dirFd);
  if (dir == nullptr) {
    close(dirFd);
    return names;
  }
  while (dirent* e = readdir(dir))
    if (StartsWith(e->d_name, kPrefix)) names.push_back(e->d_name);
  closedir(dir);
  return names;
}

int OpenJournal(int rootFd, const std::string& name) {
  // Looked at before it is opened: opening a device node of that name could have effects.
  struct stat st;
  if (fstatat(rootFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return -1;
  return openat(rootFd, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
}

enum class Dealt { Done, Failed, Renamed };

// A listed temporary: removed if it is a regular file. Anything else of that name is not ours.
bool RemoveTemp(int rootFd, const std::string& relative) {
  fern::CFolderFd folder(fern::OpenFolderBeneath(rootFd, FolderPart(relative)));
  if (!folder.IsOpen()) return errno == ENOENT || errno == ENOTDIR || errno == ELOOP;
  const std::string leaf = Leaf(relative);
  struct stat st;
  if (fstatat(folder.Get(), leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno == ENOENT;
  if (!S_ISREG(st.st_mode)) return true;
  return unlinkat(folder.Get(), leaf.c_str(), 0) == 0 || errno == ENOENT;
}

// An earlier file moved aside: back under its real name when that is free. It goes only when the
// journal says the restored file took its place (placed) and a regular file has that name now;
// otherwise the name was taken by something else since (the user saved another file there), and
// the earlier file stays where it is, hidden but kept (and backed up like any file of the drive).
Dealt PutBack(int rootFd, const std::string& aside, const std::string& real, bool placed) {
  fern::CFolderFd folder(fern::OpenFolderBeneath(rootFd, FolderPart(aside)));
  if (!folder.IsOpen()) return errno == ENOENT || errno == ENOTDIR || errno == ELOOP ? Dealt::Done : Dealt::Failed;
  const std::string asideLeaf = Leaf(aside), realLeaf = Leaf(real);
  struct stat st;
  if (fstatat(folder.Get(), asideLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
    return errno == ENOENT ? Dealt::Done : Dealt::Failed;
  if (!S_ISREG(st.st_mode)) return Dealt::Done;
  if (fstatat(folder.Get(), realLeaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
    if (errno != ENOENT) return Dealt::Failed;
    return fern::RenameNoReplace(folder.Get(), asideLeaf, realLeaf) == 0 ? Dealt::Renamed : Dealt::Failed;
  }
  if (!placed || !S_ISREG(st.st_mode)) return Dealt::Done;
  return unlinkat(folder.Get(), asideLeaf.c_str(), 0) == 0 || errno == ENOENT ? Dealt::Done : Dealt::Failed;
}

}  // namespace

const char* CRestoreJournal::Prefix() { return kPrefix; }
const char* CRestoreJournal::TempPrefix() { return kTempPrefix; }
std::string CRestoreJournal::TempName() { return kTempPrefix + fern::RandomNameSuffix(); }

CRestoreJournal::~CRestoreJournal() { Close(false); }

bool CRestoreJournal::Create(int rootFd) {
  Close(false);
  for (unsigned n = 0; n < 100; ++n) {
    const std::string name = kPrefix + fern::RandomNameSuffix();
    int fd = openat(rootFd, name.c_str(), O_CREAT | O_EXCL | O_RDWR | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
      if (errno == EEXIST || errno == EINTR) continue;
      return false;
    }
    int locked;
    do {
      locked = flock(fd, LOCK_EX);
    } while (locked != 0 && errno == EINTR);
    // Another restore's clean-up may have taken it for a stale journal before the lock was ours:
    // only a journal still linked under its name is one.
    struct stat mine, named;
    if (locked != 0 || fstat(fd, &mine) != 0 || fstatat(rootFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 ||
        mine.st_ino != named.st_ino || mine.st_dev != named.st_dev) {
      int error = errno;
      close(fd);
      if (locked != 0) {
        errno = error;
        return false;
      }
      continue;
    }
    m_rootFd = fcntl(rootFd, F_DUPFD_CLOEXEC, 0);
    if (m_rootFd < 0) {
      int error = errno;
      unlinkat(rootFd, name.c_str(), 0);
      close(fd);
      errno = error;
      return false;
    }
    m_fd = fd;
    m_strName = name;
    if (!Append(kHeader, false)) {
      int error = errno;
      Close(true);
      errno = error;
      return false;
    }
    return true;
  }
  errno = EEXIST;
  return false;
}

bool CRestoreJournal::Append(const std::string& text, bool flush) {
  if (m_fd < 0) {
    errno = EBADF;
    return false;
  }
  if (m_bBroken) {
    errno = EIO;
    return false;
  }
  if (!fern::WriteAll(m_fd, text.data(), text.size())) {
    // A line cut short would swallow the next record: the journal goes back to its last whole
    // line, or, where it cannot, takes no record any more (so no name is used unlisted).
    const int error = errno;
    if (ftruncate(m_fd, m_nWhole) != 0 || lseek(m_fd, m_nWhole, SEEK_SET) != m_nWhole) m_bBroken = true;
    errno = error;
    return false;
  }
  m_nWhole += static_cast<off_t>(text.size());
  return !flush || fdatasync(m_fd) == 0;
}

bool CRestoreJournal::AddTemps(const std::vector<std::string>& relatives) {
  std::string text;
  for (const std::string& r : relatives) text += "T\t" + Escape(r) + "\n";
  return Append(text, true);
}

bool CRestoreJournal::NotOurs(const std::string& relative) { return Append("X\t" + Escape(relative) + "\n", true); }

bool CRestoreJournal::Placed(const std::string& asideRelative) {
  return Append("P\t" + Escape(asideRelative) + "\n", false);
}

bool CRestoreJournal::AddAside(const std::string& asideRelative, const std::string& realRelative) {
  return Append("A\t" + Escape(asideRelative) + "\t" + Escape(realRelative) + "\n", true);
}

bool CRestoreJournal::Close(bool remove) {
  if (m_fd < 0) return true;
  bool ok = true;
  int error = 0;
  if (remove && unlinkat(m_rootFd, m_strName.c_str(), 0) != 0) {
    ok = false;
    error = errno;
  }
  close(m_fd);  // gives up the lock, after the name is gone
  close(m_rootFd);
  m_fd = -1;
  m_rootFd = -1;
  m_strName.clear();
  m_nWhole = 0;
  m_bBroken = false;
  if (!ok) errno = error;
  return ok;
}

int CRestoreJournal::CleanStale(int rootFd) {
  int removed = 0;
  for (const std::string& name : JournalNames(rootFd)) {
    int fd = OpenJournal(rootFd, name);
    if (fd < 0) continue;
    struct stat mine, named;
    Listing listing;
    // Held by a live restore: left alone. The name must still be this file once the lock is ours.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0 || fstat(fd, &mine) != 0 ||
        fstatat(rootFd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || mine.st_ino != named.st_ino ||
        !ReadListing(fd, listing)) {
      close(fd);
      continue;
    }
    bool all = true, renamed = false;
    for (const auto& [aside, real] : listing.asides) {
      Dealt dealt = PutBack(rootFd, aside, real, listing.placed.count(aside) != 0);
      all = all && dealt != Dealt::Failed;
      renamed = renamed || dealt == Dealt::Renamed;
    }
    for (const std::string& temp : listing.temps) all = RemoveTemp(rootFd, temp) && all;
    // A file put back is on the medium under its name before the journal that tells of it goes.
    if (renamed && syncfs(rootFd) != 0) all = false;
    if (all && unlinkat(rootFd, name.c_str(), 0) == 0) ++removed;
    close(fd);
  }
  return removed;
}

std::set<std::string> CRestoreJournal::ListedNames(const std::string& root) {
  std::set<std::string> names;
  fern::CFolderFd rootFd(open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (!rootFd.IsOpen()) return names;
  for (const std::string& name : JournalNames(rootFd.Get())) {
    int fd = OpenJournal(rootFd.Get(), name);
    if (fd < 0) continue;
    Listing listing;
    if (ReadListing(fd, listing)) {
      names.insert(name);
      // An earlier file moved aside is the user's data (perhaps the only copy): it is backed up.
      for (auto& t : listing.temps) names.insert(std::move(t));
    }
    close(fd);
  }
  return names;
}

bool CRestoreJournal::IsRestoreFile(const std::string& root, const std::string& relative,
                                    std::set<std::string>& listed) {
  const std::string leaf = Leaf(relative);
  const bool journal = relative.find('/') == std::string::npos && StartsWith(leaf, kPrefix);
  if (!journal && !IsTempLeaf(leaf)) return false;
  if (listed.count(relative) != 0) return true;
  listed = ListedNames(root);
  return listed.count(relative) != 0;
}
