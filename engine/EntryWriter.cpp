#include "engine/EntryWriter.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "storage/FilePieces.h"
#include "storage/SetFormat.h"

ssize_t CEntryWriter::ReadRetrying(int fd, void* buffer, size_t length) {
  ssize_t got;
  do {
    got = read(fd, buffer, length);
  } while (got < 0 && errno == EINTR);
  return got;
}

bool CEntryWriter::InPieces(const std::string& stored, uint64_t length) {
  // A file of its own named like a first piece goes in as a piece too: a reader would otherwise
  // take it for the start of a file in pieces.
  return length >= fern::PieceSplitFrom() || fern::LooksLikeFirstPiece(stored);
}

std::string CEntryWriter::LongestName(const std::string& stored, uint64_t length) {
  if (!InPieces(stored, length)) return stored;
  const uint32_t count = fern::PieceCount(length);
  return fern::PieceName(stored, count, count);
}

CEntryWriter::Outcome CEntryWriter::Write(int fd, const std::string& stored, int64_t time, uint64_t length,
                                          int& readError, const std::function<void()>& started) {
  readError = 0;
  bool ended = false;
  const bool inPieces = InPieces(stored, length);
  const uint32_t count = inPieces ? fern::PieceCount(length) : 1;
  uint64_t remaining = length;
  for (uint32_t k = 1; k <= count; ++k) {
    const uint32_t part = static_cast<uint32_t>(k < count ? fern::PieceSize() : remaining);
    const Outcome outcome =
        WriteOne(fd, inPieces ? fern::PieceName(stored, k, count) : stored, time, part, ended, readError,
                 k == 1 ? started : nullptr);
    if (outcome == Outcome::SetFailed) return outcome;
    remaining -= part;
  }
  return ended ? Outcome::Short : Outcome::Whole;
}

CEntryWriter::Outcome CEntryWriter::WriteOne(int fd, const std::string& name, int64_t time, uint32_t length,
                                             bool& ended, int& readError, const std::function<void()>& started) {
  fern::EntryHeader header;
  header.nameLength = static_cast<uint32_t>(name.size());
  header.dataLength = length;
  header.time = time;
  unsigned char* buffer = reinterpret_cast<unsigned char*>(m_pCopyBuffer);
  fern::EncodeEntryHeader(header, buffer);
  memcpy(buffer + fern::kEntryHeaderSize, name.data(), name.size());
  if (!m_write(buffer, fern::kEntryHeaderSize + header.nameLength)) return Outcome::SetFailed;
  if (started) started();

  uint32_t remaining = header.dataLength;
  while (remaining > 0 && !ended) {
    const size_t want = remaining < fern::kCopyChunk ? remaining : fern::kCopyChunk;
    ssize_t got = ReadRetrying(fd, buffer, want);
    if (got <= 0) {
      readError = got < 0 ? errno : 0;
      ended = true;
      break;
    }
    if (!m_write(buffer, static_cast<unsigned>(got))) return Outcome::SetFailed;
    remaining -= static_cast<uint32_t>(got);
  }
  if (remaining == 0) return Outcome::Whole;
  // Shrunk or failed halfway (a drive pulled mid-file too): the rest of the entry, and of every
  // piece after it, is zeros, so the entry is not the file.
  memset(buffer, 0, fern::kCopyChunk);
  while (remaining > 0) {
    const unsigned part = remaining < fern::kCopyChunk ? remaining : fern::kCopyChunk;
    if (!m_write(buffer, part)) return Outcome::SetFailed;
    remaining -= part;
  }
  return Outcome::Short;
}
