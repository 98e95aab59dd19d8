// The stand-in marks of one volume: for each file that a backup took, the size and modification
// time it had then. Kept in a record file sorted by path, looked up through a sparse index of
// its blocks, so that memory does not grow with the number of files; changes wait in a bounded
// overlay and are merged into an unnamed scratch copy when it fills, and into the record file,
// atomically, on Save. A record file of the older text layout is read and rewritten in this one.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/MarkRecord.h"

namespace fern {

class CMarkRecords {
 public:
  // recordPath: the record file; its folder also takes the scratch copies.
  explicit CMarkRecords(const std::string& recordPath);
  ~CMarkRecords();
  CMarkRecords(const CMarkRecords&) = delete;
  CMarkRecords& operator=(const CMarkRecords&) = delete;

  // The record of a path (found.path is left alone); false when there is none.
  bool Find(const std::string& path, MarkRecord& found);
  // Adds or replaces the record of a path.
  void Put(const std::string& path, int64_t size, int64_t sec, int64_t nsec);
  // Whether there is something Save would write.
  bool Dirty() const { return m_bDirty; }
  // Writes every record for which keep (when given) says yes into a new record file, flushed,
  // then named over the old one. False with *error on failure; the records stay as they were.
  bool Save(const std::function<bool(const std::string& path)>& keep, int* error);

  // Changes held in memory before they are merged into a scratch copy.
  static constexpr size_t kOverlayLimit = 16384;

 private:
  struct State {
    int64_t size, sec, nsec;
  };
  struct IndexEntry {
    std::string first;  // the first path of a block
    uint64_t offset;    // where the block begins
  };
  struct Base {
    int fd = -1;
    uint64_t end = 0;  // where the end marker begins
    std::vector<IndexEntry> index;
  };

  void Load();
  void LoadTextRecords(int fd);
  // Reads a record file of the present layout into the base; false when it is not one.
  bool ReadBase(int fd, Base& base);
  // Writes the base and the overlay, merged, into fd as a whole record file; out describes it.
  bool Merge(int fd, const std::function<bool(const std::string&)>* keep, Base& out, int& error);
  // Merges the overlay into a scratch copy that becomes the base; on failure the overlay stays.
  void Compact();
  void SetBase(Base& base);
  // Reads the blocks around an index block into m_block; false when the record file fails.
  bool ReadWindow(size_t block);

  std::string m_strPath;
  std::string m_strFolder;
  Base m_base;
  std::map<std::string, State> m_overlay;
  size_t m_nCompactAt = kOverlayLimit;
  bool m_bDirty = false;
  std::vector<char> m_block;    // index blocks [m_nWindowFirst, m_nWindowEnd) of the base
  size_t m_nWindowFirst = 0;
  size_t m_nWindowEnd = 0;
};

}  // namespace fern
