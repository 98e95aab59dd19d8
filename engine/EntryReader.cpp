#include "engine/EntryReader.h"

#include "storage/Crc32.h"
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

// The digest of an entry starts with its header and name; its data follows.
uint32_t StartDigest(const fern::EntryHeader& header, const std::string& stored) {
  unsigned char raw[fern::kEntryHeaderSize];
  fern::EncodeEntryHeader(header, raw);
  return fern::Crc32(fern::Crc32(0, raw, sizeof raw), stored.data(), stored.size());
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
  entry.size = header.dataLength;
  entry.time = header.time;
  entry.digest = StartDigest(header, stored);
  // The name is the text up to its first zero byte; one that went on past a zero is not what
  // the set meant.
  entry.nameCut = stored.size() != header.nameLength;
  // From here on the name is UTF-8 whoever wrote the set: the file written, the scratch copy
  // and every caller's display take the same text.
  entry.name = fern::DecodeStoredName(stored);

  Output* output = outputFor ? outputFor(entry) : nullptr;
  uint32_t done = 0;
  while (done < entry.size) {
    unsigned chunk = entry.size - done < fern::kCopyChunk ? entry.size - done : fern::kCopyChunk;
    if (ReadChunk(stream, m_pCopyBuffer, chunk) != chunk) return Result::Damaged;
    done += chunk;
    entry.digest = fern::Crc32(entry.digest, m_pCopyBuffer, chunk);
    if (output != nullptr) output->Write(m_pCopyBuffer, chunk);
  }
  return Result::Entry;
}

int CEntryReader::FindPick(const std::vector<std::string>& picks, const std::string& name) {
  for (size_t i = 0; i < picks.size(); ++i)
    if (fern::SameStoredName(name, picks[i])) return static_cast<int>(i);
  return -1;
}
