// A stream file that reads another one ahead on a thread of its own: while the caller writes
// out what it took, the next blocks are already being inflated. A restore then costs about the
// larger of inflating and writing instead of their sum. Reading only.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "storage/StreamFile.h"

class CReadAheadFile : public CStreamFile {
 public:
  static constexpr size_t kBlockSize = 128 * 1024;
  static constexpr size_t kBlockCount = 4;  // what may be read ahead, at most

  // source: open for reading; it is read by this object alone until Close or destruction.
  explicit CReadAheadFile(CStreamFile& source);
  ~CReadAheadFile() override;
  CReadAheadFile(const CReadAheadFile&) = delete;
  CReadAheadFile& operator=(const CReadAheadFile&) = delete;

  // Stops reading ahead and closes the source; its result (a gzip check that fails on
  // closing is false).
  bool Close() override;
  bool IsOpen() override;
  bool Write(const void* data, unsigned length) override;
  bool WriteString(const char* text) override;
  // As the source's Read: the bytes asked for unless the end or damage comes first; then 0 at
  // the end, -1 for damage, once everything before it was handed out.
  int Read(void* buffer, unsigned length) override;
  bool ReadAll(char** block, int* size) override;
  int ApplyParameters() override { return 0; }
  // Known when the source was opened; the thread reading ahead does not change it.
  bool IsGzipStream() const override { return m_source.IsGzipStream(); }

 private:
  struct CBlock {
    char* data = nullptr;  // kBlockSize bytes of m_memory
    size_t size = 0;       // bytes filled
  };

  void ReaderProc();
  // Stops the thread, if one runs, and waits for it.
  void Stop();

  CStreamFile& m_source;
  std::unique_ptr<char[]> m_memory;  // left uninitialised: a small set touches few pages
  std::vector<CBlock> m_blocks;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  // Blocks [m_head, m_head + m_filled) hold data, in ring order; m_offset: bytes of the head
  // block already handed out.
  size_t m_head = 0;
  size_t m_filled = 0;
  size_t m_offset = 0;
  int m_endStatus = 1;  // 1 while the source goes on, then what its last Read returned (0 or -1)
  bool m_stop = false;
  bool m_started = false;
  bool m_direct = false;  // no thread: the caller reads the source itself
  std::thread m_reader;
};
