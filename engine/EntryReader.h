// The one reader of set entries. Each call takes the next entry from an open set stream: its
// header, its name and its data, with the digest of all three. It writes no file: the data goes
// to whatever output the caller names for the entry, or nowhere.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "storage/StreamFile.h"

class CEntryReader {
 public:
  struct Entry {
    std::string name;      // the stored name as UTF-8 (see DecodeStoredName); a restore puts the
                           // target path here once it has one
    uint64_t size = 0;     // the file's length; for a file in pieces, until its last piece is
                           // read, the most it can be
    int64_t time = 0;
    size_t index = 0;      // its place in the set
    bool nameCut = false;  // the stored name went on past a zero byte: never written anywhere
    uint32_t digest = 0;   // of header, name and data; whole once the data was read
    std::string error;     // why the entry's file was not written ("" when it was, or none was due)
  };

  // Where an entry's data goes.
  class Output {
   public:
    virtual ~Output() = default;
    virtual void Write(const char* data, unsigned length) = 0;
  };

  enum class Result { Entry, End, Damaged };

  // copyBuffer: 16 KiB owned by the caller, used by this reader alone.
  explicit CEntryReader(char* copyBuffer) : m_pCopyBuffer(copyBuffer) {}

  // Reads the next entry: its header and name, then its data into the output outputFor names
  // for it (none: nowhere). A file kept in pieces is one entry: its pieces' data go to the one
  // output in turn. Entry: read whole. End: the set ended between two entries. Damaged: no gzip
  // stream at all (an empty file too), a damaged header, data cut short, or pieces that do not
  // follow on (entry then holds what was read of it).
  Result ExtractEntry(CStreamFile& stream, Entry& entry,
                      const std::function<Output*(Entry&)>& outputFor = nullptr);

  // The element of picks that names the stored name (case and drive letter aside), or -1.
  static int FindPick(const std::vector<std::string>& picks, const std::string& name);

 private:
  // Reads length data bytes into the entry's digest and the output; false when cut short.
  bool CopyData(CStreamFile& stream, uint32_t length, Entry& entry, Output* output);

  char* m_pCopyBuffer;
  size_t m_nEntry = 0;  // headers read so far
};
