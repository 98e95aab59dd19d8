#include "storage/CompressedFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <list>
#include <new>
#include <utility>

CCompressedFile::~CCompressedFile() {
  if (IsOpen()) Close();
}

bool CCompressedFile::Open(const char* path, int mode) {
  if (IsOpen()) return false;
  m_bGzip = true;
  if (mode == 1) {
    // "e": close-on-exec, so a program started meanwhile never inherits the set.
    m_hFile = gzopen(path, "wbe");
  } else if (mode == 2) {
    // A set carrying the read-only mark (its owner's write permission cleared) is not opened, as
    // the program has always done. One this user merely may not write (another user's, or on a
    // read-only mount) is read like any other.
    struct stat mark;
    if (stat(path, &mark) == 0 && S_ISREG(mark.st_mode) && (mark.st_mode & S_IWUSR) == 0) {
      errno = EACCES;
      m_nOpenMode = 0;
      return false;
    }
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      m_nOpenMode = 0;
      return false;
    }
    struct stat st;
    if (fstat(fd, &st) != 0) {
      close(fd);
      m_nOpenMode = 0;
      return false;
    }
    // The size is only the chunk size of ReadAll; keep it within the field.
    m_nCompressedSize = st.st_size > INT_MAX ? INT_MAX : static_cast<int>(st.st_size);
    // Read without moving the offset the stream starts from.
    unsigned char magic[2];
    ssize_t got;
    do {
      got = pread(fd, magic, sizeof magic, 0);
    } while (got < 0 && errno == EINTR);
    m_bGzip = got == 2 && magic[0] == 0x1f && magic[1] == 0x8b;
    // The stream reads the very file just measured, not whatever the path names a moment later.
    if (!m_reader.Open(fd, m_bGzip)) close(fd);
  }
  m_nOpenMode = IsOpen() ? mode : 0;
  return IsOpen();
}

bool CCompressedFile::Close() {
  if (!IsOpen()) return false;
  if (m_reader.IsOpen()) return m_reader.Close();
  int result = gzclose(m_hFile);
  m_hFile = nullptr;
  return result == Z_OK;
}

bool CCompressedFile::Write(const void* data, unsigned length) {
  if (!IsOpen() || !IsWriting()) return false;
  if (length > static_cast<unsigned>(INT_MAX)) return false;
  return gzwrite(m_hFile, data, length) == static_cast<int>(length);
}

bool CCompressedFile::WriteString(const char* text) {
  return Write(text, static_cast<unsigned>(strlen(text)));
}

int CCompressedFile::Read(void* buffer, unsigned length) {
  if (!IsOpen() || !IsReading()) return 0;
  return m_reader.Read(buffer, length);
}

bool CCompressedFile::ReadAll(char** block, int* size) {
  *size = 0;
  if (!IsOpen() || !IsReading() || m_nCompressedSize == 0) return false;

  std::list<std::pair<char*, int>> chunks;
  auto releaseAll = [&chunks] {
    for (auto& c : chunks) delete[] c.first;
    chunks.clear();
  };
  int result = 1;
  long long total = 0;
  while (result > 0) {
    char* chunk = new (std::nothrow) char[m_nCompressedSize];
    if (chunk == nullptr) {
      releaseAll();
      return false;
    }
    result = Read(chunk, static_cast<unsigned>(m_nCompressedSize));
    if (result > 0) {
      chunks.emplace_back(chunk, result);
      total += result;
      if (total > INT_MAX) {  // the size argument cannot describe more
        delete[] chunk;
        releaseAll();
        return false;
      }
      *size = static_cast<int>(total);
    } else {
      delete[] chunk;
    }
  }
  if (result < 0) {
    releaseAll();
    return false;
  }
  char* out = new (std::nothrow) char[*size];
  if (out == nullptr) {
    releaseAll();
    return false;
  }
  int offset = 0;
  while (!chunks.empty()) {
    auto& c = chunks.front();
    memcpy(out + offset, c.first, static_cast<size_t>(c.second));
    offset += c.second;
    delete[] c.first;
    chunks.pop_front();
  }
  *block = out;
  return *size != 0;
}

int CCompressedFile::ApplyParameters() {
  if (IsOpen() && IsWriting()) return gzsetparams(m_hFile, m_nLevel, m_nStrategy);
  return 0;
}
