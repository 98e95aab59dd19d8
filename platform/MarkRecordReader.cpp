#include "platform/MarkRecordReader.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace fern {

namespace {
constexpr size_t kBufferSize = 64 * 1024;
}

CMarkRecordReader::CMarkRecordReader(int fd, uint64_t start)
    : m_fd(fd), m_position(start), m_fileOffset(start), m_buffer(kBufferSize) {}

bool CMarkRecordReader::Fill(size_t want) {
  if (m_length - m_offset >= want) return true;
  // Keep the unread bytes at the front, then read behind them.
  memmove(m_buffer.data(), m_buffer.data() + m_offset, m_length - m_offset);
  m_length -= m_offset;
  m_offset = 0;
  if (m_buffer.size() < want) m_buffer.resize(want);
  while (m_length < want) {
    ssize_t got = pread(m_fd, m_buffer.data() + m_length, m_buffer.size() - m_length, static_cast<off_t>(m_fileOffset));
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      m_error = errno;
      return false;
    }
    if (got == 0) return false;
    m_length += static_cast<size_t>(got);
    m_fileOffset += static_cast<uint64_t>(got);
  }
  return true;
}

CMarkRecordReader::Got CMarkRecordReader::Next(MarkRecord& record) {
  if (!Fill(kMarkRecordHeadSize)) return m_error == 0 && m_offset == m_length ? Got::End : Got::Broken;
  uint32_t pathLength = 0;
  DecodeMarkRecordHead(m_buffer.data() + m_offset, pathLength, record.size, record.sec, record.nsec);
  if (pathLength > kMarkRecordMaxPath || !Fill(kMarkRecordHeadSize + pathLength)) return Got::Broken;
  record.path.assign(m_buffer.data() + m_offset + kMarkRecordHeadSize, pathLength);
  m_offset += kMarkRecordHeadSize + pathLength;
  m_position += kMarkRecordHeadSize + pathLength;
  return Got::Record;
}

}  // namespace fern
