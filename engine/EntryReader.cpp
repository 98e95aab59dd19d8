#include "engine/EntryReader.h"

#include "storage/Crc32.h"
#include "storage/FilePieces.h"
#include "storage/SetFormat.h"
#include "storage/StoredName.h"

namespace {

// Reads exactly length bytes unless the stream ends or fails.
unsigned ReadChunk(CStreamFile& stream, char* buffer, unsigned length) {
  unsigned done = 0;
  while (done < length) {
    int got = stream.Read(buffer + done, length - done);
    if (got <= 0) break;
    done += static_cast<unsigned>(got);
  }
  return done;
}

// The digest of an entry starts with its header and name; its data follows (a file in pieces:
// each piece's header, name and data in turn).
uint32_t AddToDigest(uint32_t seed, const fern::EntryHeader& header, const std::string& stored) {
  unsigned char raw[fern::kEntryHeaderSize];
  fern::EncodeEntryHeader(header, raw);
  return fern::Crc32(fern::Crc32(seed, raw, sizeof raw), stored.data(), stored.size());
}

}  // namespace

CEntryReader::Result CEntryReader::ExtractEntry(CStreamFile& stream, Entry& entry,
                                                const std::function<Output*(Entry&)>& outputFor) {
  entry = Entry();
  // A file that is no gzip stream at all (an empty one too) would read as plain bytes: no set
  // is that.
  if (m_nEntry == 0 && !stream.IsGzipStream()) return Result::Damaged;
  fern::EntryHeader header;
  std::string stored;
  switch (fern::ReadEntryHeader(stream, header, stored)) {
    case fern::HeaderResult::End:
      return Result::End;
    case fern::HeaderResult::Damaged:
      return Result::Damaged;
    case fern::HeaderResult::Entry:
      break;
  }
  entry.index = m_nEntry++;
  entry.time = header.time;
  entry.digest = AddToDigest(0, header, stored);
  // The name is the text up to its first zero byte; one that went on past a zero is not what
  // the set meant.
  entry.nameCut = stored.size() != header.nameLength;
  std::string file;
  uint32_t place = 0, pieces = 0;
  // No writer makes an empty piece: such an entry is a file of its own.
  if (!fern::ParsePieceName(stored, file, place, pieces) || place != 1 || header.dataLength == 0) {
    file = stored;
    pieces = 1;
  }
  // Until the last piece is read the size of a file in pieces is known only to within a piece:
  // its most.
  entry.size = uint64_t(header.dataLength) * pieces;
  // From here on the name is UTF-8 whoever wrote the set: the file written, the scratch copy
  // and every caller's display take the same text.
  entry.name = fern::DecodeStoredName(file);

  Output* output = outputFor ? outputFor(entry) : nullptr;
  const uint32_t pieceLength = header.dataLength;
  uint64_t total = 0;
  for (uint32_t k = 1;; ++k) {
    if (!CopyData(stream, header.dataLength, entry, output)) return Result::Damaged;
    total += header.dataLength;
    if (k == pieces) break;
    // The next piece of the same file, or the set is damaged: a reader never takes an entry of
    // another file for the rest of this one.
    std::string next, nextFile;
    uint32_t nextPlace = 0, nextPieces = 0;
    if (fern::ReadEntryHeader(stream, header, next) != fern::HeaderResult::Entry) return Result::Damaged;
    const bool last = k + 1 == pieces;
    if (!fern::ParsePieceName(next, nextFile, nextPlace, nextPieces) || nextFile != file || nextPlace != k + 1 ||
        nextPieces != pieces || header.time != entry.time || next.size() != header.nameLength ||
        (last ? header.dataLength == 0 || header.dataLength > pieceLength : header.dataLength != pieceLength))
      return Result::Damaged;
    entry.digest = AddToDigest(entry.digest, header, next);
  }
  entry.size = total;
  return Result::Entry;
}

bool CEntryReader::CopyData(CStreamFile& stream, uint32_t length, Entry& entry, Output* output) {
  uint32_t done = 0;
  while (done < length) {
    const unsigned chunk = length - done < fern::kCopyChunk ? length - done : fern::kCopyChunk;
    if (ReadChunk(stream, m_pCopyBuffer, chunk) != chunk) return false;
    done += chunk;
    entry.digest = fern::Crc32(entry.digest, m_pCopyBuffer, chunk);
    if (output != nullptr) output->Write(m_pCopyBuffer, chunk);
  }
  return true;
}

int CEntryReader::FindPick(const std::vector<std::string>& picks, const std::string& name) {
  for (size_t i = 0; i < picks.size(); ++i)
    if (fern::SameStoredName(name, picks[i])) return static_cast<int>(i);
  return -1;
}
