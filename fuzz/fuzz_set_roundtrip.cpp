// The set writer and the entry reader against each other: entries made from the input are
// written into a set by each writer, and the entry reader must give every one back unchanged:
// names, sizes and times through the viewer's load, and the data bytes through a restore of the
// entries whose names are paths. Entries are written in pieces of sizes the input chooses, and
// some data is long (a pattern repeated), so that writers that cut the stream into blocks meet
// entries across their block boundaries. Some path entries go through the backup's own entry
// writer with a piece size the input chooses, so files kept in pieces come back as one.
#include <fuzzer/FuzzedDataProvider.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "engine/EntryWriter.h"
#include "fuzz/FuzzSupport.h"
#include "storage/CompressedFile.h"
#include "storage/FilePieces.h"
#include "storage/ParallelCompressedFile.h"
#include "storage/SetFormat.h"
#include "storage/StoredName.h"
#include "storage/StreamFile.h"
#include "tests/engine/EntryCalls.h"
#include "tests/engine/RecordingUI.h"

namespace {

// A writer opens a new set at the path for writing, as the backup run does; null on failure.
struct SetWriter {
  const char* name;
  std::unique_ptr<CStreamFile> (*open)(const std::string& path);
};

std::unique_ptr<CStreamFile> OpenCompressedFile(const std::string& path) {
  auto file = std::make_unique<CCompressedFile>();
  file->SetLevel(9);
  if (!file->Open(path.c_str(), 1)) return nullptr;
  file->SetLevel(9);
  return file;
}

// The parallel writer with its own number of workers: one, and more than this machine's cores.
template <unsigned kThreads>
std::unique_ptr<CStreamFile> OpenParallelCompressedFile(const std::string& path) {
  auto file = std::make_unique<CParallelCompressedFile>(kThreads);
  file->SetLevel(9);
  if (!file->Open(path.c_str(), 1)) return nullptr;
  file->SetLevel(9);
  return file;
}

const SetWriter kWriters[] = {
    {"CCompressedFile", OpenCompressedFile},
    {"CParallelCompressedFile, 1 worker", OpenParallelCompressedFile<1>},
    {"CParallelCompressedFile, 3 workers", OpenParallelCompressedFile<3>},
};

struct Entry {
  std::string stored;
  std::string relative;  // "" for an entry whose name is not a path below the drive
  std::string data;
  int64_t time = 0;
  uint32_t pieceSize = 0;  // written by the entry writer with pieces of this size; 0: by hand
};

std::string g_work;

// A path of plain segments, unique by its index: "fN" or "dK/fN" with the input's characters.
std::string PathName(FuzzedDataProvider& in, size_t index) {
  std::string leaf = "f";
  for (unsigned char c : in.ConsumeRandomLengthString(60)) {
    if (c >= 0x80) leaf += "\xc3\xa9";  // é: names written here are UTF-8
    else if (c < 0x20 || c == '/' || c == '\\' || c == 0x7f) leaf += '_';
    else leaf += static_cast<char>(c);
  }
  leaf += "." + std::to_string(index);
  unsigned folder = in.ConsumeIntegralInRange<unsigned>(0, 3);
  return folder == 0 ? leaf : "d" + std::to_string(folder) + "/" + leaf;
}

std::vector<Entry> MakeEntries(FuzzedDataProvider& in) {
  std::vector<Entry> entries;
  // Long data is kept to about 300 KiB per input, so level-9 writing stays quick: still more
  // than two blocks of a writer that cuts the stream into 128 KiB ones.
  size_t longData = 0;
  while (in.remaining_bytes() > 0 && entries.size() < 64) {
    Entry e;
    e.time = in.ConsumeIntegral<int64_t>();
    if (in.ConsumeBool()) {
      e.relative = PathName(in, entries.size());
      fern::MakeStoredName('E', e.relative, e.stored);
    } else {
      // Any bytes but a zero, which would end the name: such names are only listed. "R:\r"
      // keeps them from ever matching a path name.
      e.stored = "R:\\r";
      for (char c : in.ConsumeRandomLengthString(fern::kNameBufferSize)) e.stored += c == '\0' ? '\x01' : c;
      if (e.stored.size() >= fern::kNameBufferSize) e.stored.resize(fern::kNameBufferSize - 1);
      // Written by hand, a name like a first piece would start a file in pieces: the backup
      // keeps such a file in pieces itself, here it is simply another name.
      if (fern::LooksLikeFirstPiece(e.stored)) e.stored.back() = '_';
    }
    std::string data = in.ConsumeRandomLengthString(4096);
    if (in.ConsumeBool() && !data.empty() && longData < 300 * 1024) {
      // Long data, up to 160 KiB: the pattern repeated.
      size_t length = in.ConsumeIntegralInRange<size_t>(0, 160 * 1024);
      longData += length;
      e.data.reserve(length);
      e.data = data.substr(0, length);
      while (e.data.size() < length) e.data += e.data.substr(0, length - e.data.size());
    } else {
      e.data = data;
    }
    if (!e.relative.empty() && !e.data.empty() && in.ConsumeBool())
      e.pieceSize = in.ConsumeIntegralInRange<uint32_t>(1, 3 * fern::kCopyChunk);
    entries.push_back(std::move(e));
  }
  return entries;
}

// Through the backup's entry writer, from a file in memory, in pieces of the entry's size.
void WriteThroughEntryWriter(CStreamFile& stream, const Entry& e) {
  static char buffer[fern::kCopyChunk];
  const int fd = memfd_create("entry", MFD_CLOEXEC);
  FUZZ_CHECK(fd >= 0, "memfd_create failed");
  FUZZ_CHECK(write(fd, e.data.data(), e.data.size()) == static_cast<ssize_t>(e.data.size()) && lseek(fd, 0, SEEK_SET) == 0,
             "memfd write failed");
  // Files longer than a piece go in pieces, as 4 GiB ones do.
  fern::SetPieceSizeForTests(e.pieceSize);
  CEntryWriter writer(buffer, [&](const void* data, unsigned length) { return stream.Write(data, length); });
  int readError = 0;
  const CEntryWriter::Outcome outcome = writer.Write(fd, e.stored, e.time, e.data.size(), readError, nullptr);
  fern::SetPieceSizeForTests(0);
  close(fd);
  FUZZ_CHECK(outcome == CEntryWriter::Outcome::Whole, "entry writer: outcome %d", static_cast<int>(outcome));
}

void WriteSet(CStreamFile& stream, const std::vector<Entry>& entries, FuzzedDataProvider& in) {
  for (const auto& e : entries) {
    if (e.pieceSize != 0) {
      WriteThroughEntryWriter(stream, e);
      continue;
    }
    fern::EntryHeader header;
    header.nameLength = static_cast<uint32_t>(e.stored.size());
    header.dataLength = static_cast<uint32_t>(e.data.size());
    header.time = e.time;
    unsigned char raw[fern::kEntryHeaderSize];
    fern::EncodeEntryHeader(header, raw);
    FUZZ_CHECK(stream.Write(raw, sizeof raw) && stream.Write(e.stored.data(), header.nameLength), "write failed");
    // The backup writes data in pieces of up to 16 KiB; any piece size must give the same set.
    // (At most about a thousand pieces per entry, so long data stays quick to write.)
    unsigned piece = in.ConsumeIntegralInRange<unsigned>(1, 3 * fern::kCopyChunk);
    if (e.data.size() / piece > 1024) piece = static_cast<unsigned>(e.data.size() / 1024 + 1);
    for (size_t at = 0; at < e.data.size(); at += piece) {
      unsigned n = static_cast<unsigned>(std::min<size_t>(piece, e.data.size() - at));
      FUZZ_CHECK(stream.Write(e.data.data() + at, n), "write of %u bytes failed", n);
    }
  }
}

void CheckSet(const char* writer, const std::string& setPath, const std::vector<Entry>& entries) {
  static char buffer[fern::kCopyChunk];
  // The viewer's load.
  {
    CRecordingUI ui;
    OverwriteAnswer answer = OverwriteAnswer::None;
    auto calls = restore_test::CEntryCalls::Read(ui, buffer, answer, setPath, "", nullptr);
    FUZZ_CHECK(calls.size() == entries.size() + 1, "%s: %zu calls for %zu entries", writer, calls.size(), entries.size());
    for (size_t i = 0; i < calls.size(); ++i) {
      const auto& c = calls[i];
      if (i == entries.size()) {
        FUZZ_CHECK(!c.more && c.name.empty(), "%s: an entry past the last one: %s", writer, fuzz::Printable(c.name).c_str());
        break;
      }
      const Entry& e = entries[i];
      // Names come back as UTF-8: one that is not is read as Windows-1252.
      const std::string expected = fuzz::IsValidUtf8(e.stored) ? e.stored : fuzz::Windows1252ToUtf8(e.stored);
      FUZZ_CHECK(c.more && c.name == expected && c.size == e.data.size() && c.time == e.time,
                 "%s: entry %zu came back as %s (%llu bytes, time %lld), written as %s (%zu bytes, time %lld)",
                 writer, i, fuzz::Printable(c.name).c_str(), static_cast<unsigned long long>(c.size), static_cast<long long>(c.time),
                 fuzz::Printable(e.stored).c_str(), e.data.size(), static_cast<long long>(e.time));
    }
    FUZZ_CHECK(ui.messages.empty(), "%s: \"error reading\" on a whole set", writer);
  }
  // A restore of the path entries (picked, as the viewer restores ticked files).
  const std::string target = g_work + "/target";
  fuzz::RemoveTree(target);
  FUZZ_CHECK(mkdir(target.c_str(), 0755) == 0, "mkdir %s", target.c_str());
  std::vector<std::string> pick;
  for (const auto& e : entries)
    if (!e.relative.empty()) pick.push_back(e.stored);
  CRecordingUI ui;
  OverwriteAnswer answer = OverwriteAnswer::None;
  for (const auto& c : restore_test::CEntryCalls::Read(ui, buffer, answer, setPath, target + "/", &pick, g_work + "/pick")) {
    if (!c.more) break;
    if (c.name.compare(0, target.size() + 1, target + "/") == 0)
      FUZZ_CHECK(c.error.empty(), "%s: %s: %s", writer, fuzz::Printable(c.name).c_str(), c.error.c_str());
  }
  FUZZ_CHECK(ui.messages.empty(), "%s: \"error reading\" on a whole set", writer);
  for (const auto& e : entries) {
    if (e.relative.empty()) continue;
    std::string content;
    FUZZ_CHECK(fuzz::ReadWholeFile(target + "/" + e.relative, content) && content == e.data,
               "%s: %s restored as %zu bytes, written as %zu", writer, fuzz::Printable(e.relative).c_str(),
               content.size(), e.data.size());
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_work = fuzz::MakeWorkFolder("fern-set-roundtrip");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  for (const auto& writer : kWriters) {
    FuzzedDataProvider in(data, size);
    std::vector<Entry> entries = MakeEntries(in);
    const std::string setPath = g_work + "/set.fcf";
    {
      std::unique_ptr<CStreamFile> stream = writer.open(setPath);
      FUZZ_CHECK(stream != nullptr, "%s: cannot create the set", writer.name);
      WriteSet(*stream, entries, in);
      FUZZ_CHECK(stream->Close(), "%s: closing the set failed", writer.name);
    }
    CheckSet(writer.name, setPath, entries);
  }
  return 0;
}
