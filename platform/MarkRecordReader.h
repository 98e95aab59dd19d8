// Reads mark records one after the other from a file, through a buffer of its own.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <vector>

#include "platform/MarkRecord.h"

namespace fern {

class CMarkRecordReader {
 public:
  // Reads fd (not closed here) from start, with pread: the file's own position is not used.
  explicit CMarkRecordReader(int fd, uint64_t start = 0);
  CMarkRecordReader(const CMarkRecordReader&) = delete;
  CMarkRecordReader& operator=(const CMarkRecordReader&) = delete;

  enum class Got {
    Record,  // record holds the next one (its path may be empty: the caller's end marker)
    End,     // the file ends where a record would begin
    Broken,  // the file ends inside a record, a path is longer than any, or a read failed
  };
  Got Next(MarkRecord& record);

  // Where the record Next gives next begins.
  uint64_t Position() const { return m_position; }
  // The errno of a failed read (0 when the records themselves were broken).
  int Error() const { return m_error; }

 private:
  // Makes at least want bytes available from m_offset; false at the end of the file or on error.
  bool Fill(size_t want);

  int m_fd;
  uint64_t m_position;        // of m_buffer[m_offset]
  uint64_t m_fileOffset;      // where the next pread starts
  std::vector<char> m_buffer;
  size_t m_offset = 0, m_length = 0;
  int m_error = 0;
};

}  // namespace fern
