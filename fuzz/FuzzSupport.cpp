#include "fuzz/FuzzSupport.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace fuzz {

namespace {

std::vector<std::string> g_workFolders;

void RemoveWorkFolders() {
  for (const auto& folder : g_workFolders) RemoveTree(folder);
}

int RemoveOne(const char* path, const struct stat*, int, struct FTW*) {
  remove(path);
  return 0;
}

void Walk(const std::string& root, const std::string& relative, bool folderTimes,
          const std::set<std::string>& skip, Snapshot& out) {
  const std::string folder = relative.empty() ? root : root + "/" + relative;
  DIR* dir = opendir(folder.c_str());
  FUZZ_CHECK(dir != nullptr, "cannot list %s: %s", folder.c_str(), strerror(errno));
  std::vector<std::string> names;
  while (struct dirent* e = readdir(dir)) {
    if (strcmp(e->d_name, ".") != 0 && strcmp(e->d_name, "..") != 0) names.push_back(e->d_name);
  }
  closedir(dir);
  for (const auto& name : names) {
    const std::string rel = relative.empty() ? name : relative + "/" + name;
    if (skip.count(rel) != 0) continue;
    const std::string path = root + "/" + rel;
    struct stat st;
    FUZZ_CHECK(lstat(path.c_str(), &st) == 0, "cannot stat %s: %s", path.c_str(), strerror(errno));
    NodeState node;
    node.mode = st.st_mode & 07777;
    if (S_ISREG(st.st_mode)) {
      node.type = 'f';
      node.size = st.st_size;
      node.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
      std::string content;
      FUZZ_CHECK(ReadWholeFile(path, content), "cannot read %s", path.c_str());
      node.crc = static_cast<uint32_t>(
          crc32(0, reinterpret_cast<const Bytef*>(content.data()), static_cast<uInt>(content.size())));
    } else if (S_ISDIR(st.st_mode)) {
      node.type = 'd';
      if (folderTimes)
        node.mtimeNs = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    } else if (S_ISLNK(st.st_mode)) {
      node.type = 'l';
      node.mode = 0;  // a link's own mode means nothing
      char target[4096];
      ssize_t n = readlink(path.c_str(), target, sizeof target);
      FUZZ_CHECK(n >= 0, "cannot read link %s", path.c_str());
      node.link.assign(target, static_cast<size_t>(n));
    } else if (S_ISFIFO(st.st_mode)) {
      node.type = 'p';
    }
    out[rel] = node;
    if (node.type == 'd') Walk(root, rel, folderTimes, skip, out);
  }
}

std::string Describe(const NodeState& n) {
  char text[256];
  snprintf(text, sizeof text, "%c mode %o size %lld mtime %lld crc %08x", n.type, static_cast<unsigned>(n.mode),
           static_cast<long long>(n.size), static_cast<long long>(n.mtimeNs), n.crc);
  return std::string(text) + (n.link.empty() ? "" : " -> " + n.link);
}

}  // namespace

std::string MakeWorkFolder(const char* name) {
  const char* env = getenv("TMPDIR");
  std::string base = env != nullptr && *env != '\0' ? env : "/tmp";
  std::string pattern = base + "/" + name + "-XXXXXX";
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  FUZZ_CHECK(mkdtemp(buffer.data()) != nullptr, "mkdtemp %s: %s", pattern.c_str(), strerror(errno));
  if (g_workFolders.empty()) atexit(RemoveWorkFolders);
  g_workFolders.push_back(buffer.data());
  return buffer.data();
}

void RemoveTree(const std::string& path) {
  // FTW_PHYS: links are removed, never followed; FTW_DEPTH: contents before their folder.
  nftw(path.c_str(), RemoveOne, 16, FTW_DEPTH | FTW_PHYS);
}

bool WriteWholeFile(const std::string& path, const std::string& data) {
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0644);
  if (fd < 0) return false;
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = write(fd, data.data() + done, data.size() - done);
    if (n <= 0) {
      close(fd);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return close(fd) == 0;
}

bool ReadWholeFile(const std::string& path, std::string& data) {
  data.clear();
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
  if (fd < 0) return false;
  char buffer[16384];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0) {
      close(fd);
      return false;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<size_t>(n));
  }
  close(fd);
  return true;
}

void PutFile(const std::string& path, const std::string& data, int64_t mtime, mode_t mode) {
  FUZZ_CHECK(WriteWholeFile(path, data), "cannot write %s: %s", path.c_str(), strerror(errno));
  struct timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(mtime);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  FUZZ_CHECK(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW) == 0, "utimensat %s", path.c_str());
  FUZZ_CHECK(chmod(path.c_str(), mode) == 0, "chmod %s", path.c_str());
}

std::string Gzip(const uint8_t* data, size_t size) {
  // One stream for the whole process, reset for each call: deflate's state is large.
  static z_stream z{};
  static bool ready = false;
  if (!ready) {
    // windowBits 15 + 16: a gzip header and trailer around the deflate data.
    FUZZ_CHECK(deflateInit2(&z, 1, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) == Z_OK, "deflateInit2");
    ready = true;
  } else {
    FUZZ_CHECK(deflateReset(&z) == Z_OK, "deflateReset");
  }
  std::string out(deflateBound(&z, static_cast<uLong>(size)) + 64, '\0');
  z.next_in = const_cast<Bytef*>(data);
  z.avail_in = static_cast<uInt>(size);
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  int result = deflate(&z, Z_FINISH);
  FUZZ_CHECK(result == Z_STREAM_END, "deflate: %d", result);
  out.resize(z.total_out);
  return out;
}

Snapshot TakeSnapshot(const std::string& root, bool folderTimes, const std::set<std::string>& skip) {
  Snapshot out;
  Walk(root, "", folderTimes, skip, out);
  return out;
}

std::string Difference(const Snapshot& before, const Snapshot& after) {
  for (const auto& [path, node] : before) {
    auto it = after.find(path);
    if (it == after.end()) return path + " is gone (was " + Describe(node) + ")";
    if (!(it->second == node)) return path + " changed: " + Describe(node) + " became " + Describe(it->second);
  }
  for (const auto& [path, node] : after) {
    if (before.count(path) == 0) return path + " appeared: " + Describe(node);
  }
  return std::string();
}

bool IsValidUtf8(const std::string& text) {
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  size_t n = text.size();
  for (size_t i = 0; i < n;) {
    unsigned c = s[i];
    size_t len;
    unsigned cp;
    if (c < 0x80) {
      ++i;
      continue;
    } else if (c >= 0xc2 && c <= 0xdf) {
      len = 2, cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
      len = 3, cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
      len = 4, cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > n) return false;
    for (size_t k = 1; k < len; ++k) {
      if ((s[i + k] & 0xc0) != 0x80) return false;
      cp = (cp << 6) | (s[i + k] & 0x3f);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff))
      return false;
    i += len;
  }
  return true;
}

std::string Windows1252ToUtf8(const std::string& bytes) {
  static iconv_t cd = iconv_open("UTF-8", "WINDOWS-1252");
  FUZZ_CHECK(cd != reinterpret_cast<iconv_t>(-1), "iconv_open: %s", strerror(errno));
  std::string out;
  for (char byte : bytes) {
    const unsigned char c = static_cast<unsigned char>(byte);
    if (c == 0x81 || c == 0x8d || c == 0x8f || c == 0x90 || c == 0x9d) {
      out += static_cast<char>(0xc2);
      out += byte;
      continue;
    }
    char in[1] = {byte};
    char converted[8];
    char* inp = in;
    char* outp = converted;
    size_t inLeft = 1, outLeft = sizeof converted;
    FUZZ_CHECK(iconv(cd, &inp, &inLeft, &outp, &outLeft) != static_cast<size_t>(-1), "iconv of byte %02x: %s", c,
               strerror(errno));
    out.append(converted, sizeof converted - outLeft);
  }
  return out;
}

std::string Printable(const std::string& bytes) {
  std::string out;
  for (unsigned char c : bytes) {
    if (c >= 0x20 && c < 0x7f && c != '\\') {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    }
  }
  return out;
}

}  // namespace fuzz
