#include "platform/MarkRecords.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/MarkRecordReader.h"
#include "platform/MarkRecordWriter.h"
#include "platform/ScratchFile.h"

namespace fern {

namespace {

// Both layouts begin with a line of sixteen bytes that names them.
constexpr char kMagic[] = "fernapp-marks 2\n";
constexpr char kTextMagic[] = "fernapp-marks 1\n";
constexpr size_t kMagicSize = 16;
static_assert(sizeof kMagic == kMagicSize + 1 && sizeof kTextMagic == kMagicSize + 1, "magic size");
// One index entry for about this many bytes of records.
constexpr uint64_t kBlockSize = 4096;
// Blocks read at once around the one a lookup needs: a folder's files lie side by side in the
// records and the walk looks them up one after the other, so one read serves a whole folder.
constexpr size_t kWindowBlocks = 16;

// Text record lines held the path last, with '%', CR and LF escaped as %XX.
bool UnescapePath(const char* text, size_t length, std::string& path) {
  path.clear();
  for (size_t i = 0; i < length; ++i) {
    if (text[i] != '%') {
      path += text[i];
      continue;
    }
    if (i + 2 >= length) return false;
    char hex[3] = {text[i + 1], text[i + 2], 0};
    char* end = nullptr;
    long value = strtol(hex, &end, 16);
    if (end != hex + 2) return false;
    path += static_cast<char>(value);
    i += 2;
  }
  return true;
}

bool ReadAll(int fd, void* data, size_t length, uint64_t offset) {
  char* bytes = static_cast<char*>(data);
  while (length > 0) {
    ssize_t got = pread(fd, bytes, length, static_cast<off_t>(offset));
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    bytes += got;
    length -= static_cast<size_t>(got);
    offset += static_cast<uint64_t>(got);
  }
  return true;
}

}  // namespace

CMarkRecords::CMarkRecords(const std::string& recordPath) : m_strPath(recordPath) {
  const size_t slash = m_strPath.rfind('/');
  m_strFolder = slash == std::string::npos ? std::string(".") : m_strPath.substr(0, slash);
  Load();
}

CMarkRecords::~CMarkRecords() {
  if (m_base.fd >= 0) close(m_base.fd);
}

void CMarkRecords::SetBase(Base& base) {
  if (m_base.fd >= 0) close(m_base.fd);
  m_base = std::move(base);
  base = Base();
  m_nWindowFirst = m_nWindowEnd = 0;
}

bool CMarkRecords::ReadWindow(size_t block) {
  const size_t blocks = m_base.index.size();
  const size_t first = block > kWindowBlocks / 2 ? block - kWindowBlocks / 2 : 0;
  const size_t end = std::min(blocks, first + kWindowBlocks);
  const uint64_t from = m_base.index[first].offset;
  const uint64_t to = end < blocks ? m_base.index[end].offset : m_base.end;
  m_nWindowFirst = m_nWindowEnd = 0;
  m_block.resize(static_cast<size_t>(to - from));
  if (!ReadAll(m_base.fd, m_block.data(), m_block.size(), from)) return false;
  m_nWindowFirst = first;
  m_nWindowEnd = end;
  return true;
}

void CMarkRecords::Load() {
  // Never blocking on a FIFO or a device put where the records belong: only a regular file is one.
  int fd = open(m_strPath.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) return;  // no records yet: every file counts as marked
  struct stat st;
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
    close(fd);
    return;
  }
  char magic[kMagicSize];
  if (ReadAll(fd, magic, kMagicSize, 0)) {
    if (memcmp(magic, kMagic, kMagicSize) == 0) {
      Base base;
      base.fd = fd;
      if (ReadBase(fd, base)) {
        SetBase(base);
        return;
      }
    } else if (memcmp(magic, kTextMagic, kMagicSize) == 0) {
      LoadTextRecords(fd);
      // Rewritten in the present layout by the next Save.
      m_bDirty = true;
    }
  }
  // Anything else, damage included, starts afresh: every file is taken again, which is safe.
  close(fd);
}

void CMarkRecords::LoadTextRecords(int fd) {
  const int copy = fcntl(fd, F_DUPFD_CLOEXEC, 0);
  if (copy < 0) return;
  FILE* file = fdopen(copy, "re");
  if (file == nullptr) {
    close(copy);
    return;
  }
  if (fseeko(file, static_cast<off_t>(kMagicSize), SEEK_SET) != 0) {
    fclose(file);
    return;
  }
  char* line = nullptr;
  size_t capacity = 0;
  ssize_t length;
  std::string path;
  while ((length = getline(&line, &capacity, file)) > 0) {
    size_t size = static_cast<size_t>(length);
    // Every line was written with its newline: one without was cut short and names nobody.
    if (line[size - 1] != '\n') break;
    line[--size] = '\0';
    long long fileSize, sec, nsec;
    int consumed = 0;
    // Exactly one space before the name, which may itself begin with spaces.
    if (sscanf(line, "%lld %lld %lld%n", &fileSize, &sec, &nsec, &consumed) != 3 || consumed <= 0 ||
        line[consumed] != ' ')
      continue;
    ++consumed;
    if (!UnescapePath(line + consumed, size - static_cast<size_t>(consumed), path) || path.empty()) continue;
    Put(path, fileSize, sec, nsec);
  }
  free(line);
  fclose(file);
}

bool CMarkRecords::ReadBase(int fd, Base& base) {
  CMarkRecordReader reader(fd, kMagicSize);
  MarkRecord record;
  std::string previous;
  uint64_t count = 0;
  for (;;) {
    const uint64_t at = reader.Position();
    if (reader.Next(record) != CMarkRecordReader::Got::Record) return false;
    if (record.path.empty()) {
      // The end marker counts the records and ends the file.
      base.end = at;
      return record.size == static_cast<int64_t>(count) && reader.Next(record) == CMarkRecordReader::Got::End;
    }
    if (count > 0 && !(previous < record.path)) return false;
    if (base.index.empty() || at - base.index.back().offset >= kBlockSize) base.index.push_back({record.path, at});
    previous.swap(record.path);
    ++count;
  }
}

bool CMarkRecords::Find(const std::string& path, MarkRecord& found) {
  auto over = m_overlay.find(path);
  if (over != m_overlay.end()) {
    found.size = over->second.size;
    found.sec = over->second.sec;
    found.nsec = over->second.nsec;
    return true;
  }
  if (m_base.fd < 0 || m_base.index.empty()) return false;
  auto it = std::upper_bound(m_base.index.begin(), m_base.index.end(), path,
                             [](const std::string& key, const IndexEntry& entry) { return key < entry.first; });
  if (it == m_base.index.begin()) return false;
  const size_t block = static_cast<size_t>(std::prev(it) - m_base.index.begin());
  // A record file that cannot be read back counts as having no record: the file is taken again.
  if ((block < m_nWindowFirst || block >= m_nWindowEnd) && !ReadWindow(block)) return false;
  const uint64_t windowFrom = m_base.index[m_nWindowFirst].offset;
  size_t at = static_cast<size_t>(std::prev(it)->offset - windowFrom);
  const size_t to = static_cast<size_t>((it == m_base.index.end() ? m_base.end : it->offset) - windowFrom);
  while (to - at >= kMarkRecordHeadSize) {
    uint32_t length = 0;
    int64_t size, sec, nsec;
    DecodeMarkRecordHead(m_block.data() + at, length, size, sec, nsec);
    const char* name = m_block.data() + at + kMarkRecordHeadSize;
    if (length > to - at - kMarkRecordHeadSize) return false;
    const int order = path.compare(0, std::string::npos, name, length);
    if (order == 0) {
      found.size = size;
      found.sec = sec;
      found.nsec = nsec;
      return true;
    }
    if (order < 0) return false;
    at += kMarkRecordHeadSize + length;
  }
  return false;
}

void CMarkRecords::Put(const std::string& path, int64_t size, int64_t sec, int64_t nsec) {
  m_overlay[path] = {size, sec, nsec};
  m_bDirty = true;
  if (m_overlay.size() >= m_nCompactAt) Compact();
}

bool CMarkRecords::Merge(int fd, const std::function<bool(const std::string&)>* keep, Base& out, int& error) {
  error = 0;
  out = Base();
  CMarkRecordWriter writer(fd);
  writer.AddBytes(kMagic, kMagicSize);
  uint64_t count = 0;
  auto emit = [&](const std::string& path, int64_t size, int64_t sec, int64_t nsec) {
    if (keep != nullptr && !(*keep)(path)) return;
    const uint64_t at = writer.Position();
    if (out.index.empty() || at - out.index.back().offset >= kBlockSize) out.index.push_back({path, at});
    writer.Add(path, size, sec, nsec);
    ++count;
  };

  MarkRecord base;
  bool haveBase = false;
  bool broken = false;
  CMarkRecordReader reader(m_base.fd, kMagicSize);
  auto nextBase = [&]() {
    haveBase = false;
    if (m_base.fd < 0 || reader.Position() >= m_base.end) return;
    if (reader.Next(base) != CMarkRecordReader::Got::Record || base.path.empty()) {
      broken = true;
      error = reader.Error() != 0 ? reader.Error() : EIO;
      return;
    }
    haveBase = true;
  };
  nextBase();
  auto over = m_overlay.begin();
  while (!broken && writer.Error() == 0 && (haveBase || over != m_overlay.end())) {
    if (over == m_overlay.end() || (haveBase && base.path < over->first)) {
      emit(base.path, base.size, base.sec, base.nsec);
      nextBase();
    } else {
      // A change replaces the base's record of the same path.
      if (haveBase && base.path == over->first) nextBase();
      emit(over->first, over->second.size, over->second.sec, over->second.nsec);
      ++over;
    }
  }
  if (broken) return false;
  out.end = writer.Position();
  writer.Add(std::string(), static_cast<int64_t>(count), 0, 0);
  if (!writer.Flush()) {
    error = writer.Error();
    out = Base();
    return false;
  }
  return true;
}

void CMarkRecords::Compact() {
  // Where no copy can be made the changes stay in memory, tried again only when they have
  // doubled; Save reports what stops the folder.
  m_nCompactAt = m_overlay.size() * 2;
  int fd = CreateScratchFile(m_strFolder);
  if (fd < 0) return;
  Base merged;
  int error = 0;
  if (!Merge(fd, nullptr, merged, error)) {
    close(fd);
    return;
  }
  m_nCompactAt = kOverlayLimit;
  merged.fd = fd;
  SetBase(merged);
  m_overlay.clear();
}

bool CMarkRecords::Save(const std::function<bool(const std::string&)>& keep, int* error) {
  if (error) *error = 0;
  if (!m_bDirty) return true;
  auto fail = [error](int err) {
    if (error) *error = err;
    return false;
  };
  if (!MakePrivateFolders(m_strFolder)) return fail(errno);

  std::string temp = m_strPath + ".XXXXXX";
  int fd = mkostemp(&temp[0], O_CLOEXEC);
  if (fd < 0) return fail(errno);
  Base merged;
  int err = 0;
  Merge(fd, keep ? &keep : nullptr, merged, err);
  if (err == 0 && fsync(fd) != 0) err = errno;
  if (err == 0 && rename(temp.c_str(), m_strPath.c_str()) != 0) err = errno;
  if (err != 0) {
    close(fd);
    unlink(temp.c_str());
    return fail(err);
  }
  int dirFd = open(m_strFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd >= 0) {
    fsync(dirFd);  // the rename is done; a failed folder flush only risks the old records
    close(dirFd);
  }
  // The file just written is the base from now on.
  merged.fd = fd;
  SetBase(merged);
  m_overlay.clear();
  m_nCompactAt = kOverlayLimit;
  m_bDirty = false;
  return true;
}

}  // namespace fern
