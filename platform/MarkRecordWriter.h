// Writes mark records one after the other into a file, through a buffer of its own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/MarkRecord.h"

namespace fern {

class CMarkRecordWriter {
 public:
  // fd: open for writing, positioned where the records go (not closed here). start: that position.
  explicit CMarkRecordWriter(int fd, uint64_t start = 0);
  CMarkRecordWriter(const CMarkRecordWriter&) = delete;
  CMarkRecordWriter& operator=(const CMarkRecordWriter&) = delete;

  // False once any write failed; Error() then tells why. Nothing is written after a failure.
  bool Add(const std::string& path, int64_t size, int64_t sec, int64_t nsec);
  bool Add(const MarkRecord& record) { return Add(record.path, record.size, record.sec, record.nsec); }
  bool AddBytes(const void* data, size_t length);
  // Hands the buffered bytes to the file.
  bool Flush();

  // Where the next record goes: the bytes written and buffered so far, from the start.
  uint64_t Position() const { return m_position; }
  int Error() const { return m_error; }

 private:
  int m_fd;
  uint64_t m_position;
  std::vector<char> m_buffer;
  size_t m_used = 0;
  int m_error = 0;
};

}  // namespace fern
