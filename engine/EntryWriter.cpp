#include "engine/EntryWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "storage/SetFormat.h"

ssize_t CEntryWriter::ReadRetrying(int fd, void* buffer, size_t length) {
  ssize_t got;
  do {
    got = read(fd, buffer, length);
  } while (got < 0 && errno == EINTR);
  return got;
}

CEntryWriter::Outcome CEntryWriter::Write(int fd, const std::string& stored, int64_t time, uint32_t length,
                                          int& readError, const std::function<void()>& started) {
  readError = 0;
  fern::EntryHeader header;
  header.nameLength = static_cast<uint32_t>(stored.size());
  header.dataLength = length;
  header.time = time;
  unsigned char* buffer = reinterpret_cast<unsigned char*>(m_pCopyBuffer);
  fern::EncodeEntryHeader(header, buffer);
  memcpy(buffer + fern::kEntryHeaderSize, stored.data(), stored.size());
  if (!m_write(buffer, fern::kEntryHeaderSize + header.nameLength)) return Outcome::SetFailed;
  if (started) started();

  uint32_t remaining = header.dataLength;
  while (remaining > 0) {
    const size_t want = remaining < fern::kCopyChunk ? remaining : fern::kCopyChunk;
    ssize_t got = ReadRetrying(fd, buffer, want);
    if (got <= 0) {
      readError = got < 0 ? errno : 0;
      break;
    }
    if (!m_write(buffer, static_cast<unsigned>(got))) return Outcome::SetFailed;
    remaining -= static_cast<uint32_t>(got);
  }
  if (remaining == 0) return Outcome::Whole;
  // Shrunk or failed halfway (a drive pulled mid-file too): the rest of the entry is zeros, so
  // the entry is not the file.
  memset(buffer, 0, fern::kCopyChunk);
  while (remaining > 0) {
    const unsigned part = remaining < fern::kCopyChunk ? remaining : fern::kCopyChunk;
    if (!m_write(buffer, part)) return Outcome::SetFailed;
    remaining -= part;
  }
  return Outcome::Short;
}
