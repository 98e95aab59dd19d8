#include "platform/MarkRecordWriter.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/FileWrite.h"

namespace fern {

namespace {
constexpr size_t kBufferSize = 64 * 1024;
}

CMarkRecordWriter::CMarkRecordWriter(int fd, uint64_t start) : m_fd(fd), m_position(start), m_buffer(kBufferSize) {}

bool CMarkRecordWriter::Flush() {
  if (m_error != 0) return false;
  if (!WriteAll(m_fd, m_buffer.data(), m_used)) {
    m_error = errno != 0 ? errno : EIO;
    return false;
  }
  m_used = 0;
  return true;
}

bool CMarkRecordWriter::AddBytes(const void* data, size_t length) {
  if (m_error != 0) return false;
  const char* bytes = static_cast<const char*>(data);
  while (length > 0) {
    if (m_used == m_buffer.size() && !Flush()) return false;
    const size_t part = std::min(length, m_buffer.size() - m_used);
    memcpy(m_buffer.data() + m_used, bytes, part);
    m_used += part;
    bytes += part;
    length -= part;
    m_position += part;
  }
  return true;
}

bool CMarkRecordWriter::Add(const std::string& path, int64_t size, int64_t sec, int64_t nsec) {
  if (path.size() > kMarkRecordMaxPath) {
    if (m_error == 0) m_error = ENAMETOOLONG;
    return false;
  }
  char head[kMarkRecordHeadSize];
  EncodeMarkRecordHead(static_cast<uint32_t>(path.size()), size, sec, nsec, head);
  return AddBytes(head, sizeof head) && AddBytes(path.data(), path.size());
}

}  // namespace fern
