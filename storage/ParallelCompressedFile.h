// A stream file that writes one gzip member on every core: the stream is cut into blocks, each
// deflated on a worker with the 32 KiB before it as its dictionary and ended on a byte boundary,
// and the pieces are written in order behind one header, with one CRC-32 and length at the end.
// Any gzip reader sees a plain level-9 stream. A block that deflate cannot shrink (already
// compressed data) is not searched: it goes out as stored deflate blocks in the same stream.
// Writing only; sets are read with CCompressedFile.
#pragma once

#include <zlib.h>

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "storage/IncompressibleProbe.h"
#include "storage/StreamFile.h"

class CParallelCompressedFile : public CStreamFile {
 public:
  static constexpr size_t kBlockSize = 128 * 1024;  // uncompressed bytes per block
  static constexpr size_t kWindowSize = 32 * 1024;  // deflate's window: the dictionary of a block

  // threads: compressing workers; 0 takes one for each core the process may run on.
  explicit CParallelCompressedFile(unsigned threads = 0);
  ~CParallelCompressedFile() override;
  CParallelCompressedFile(const CParallelCompressedFile&) = delete;
  CParallelCompressedFile& operator=(const CParallelCompressedFile&) = delete;

  // mode 1: create or truncate for writing, at the library's default level until SetLevel or
  // ApplyParameters is called on the open file. Any other mode opens nothing.
  bool Open(const char* path, int mode);

  // Writes the blocks still outstanding and the trailer, then closes the file. False, with
  // errno set, when any write failed since Open.
  bool Close() override;
  bool IsOpen() override { return m_fd >= 0; }
  // False, with errno set, once a write of the file has failed; later calls fail alike.
  bool Write(const void* data, unsigned length) override;
  bool WriteString(const char* text) override;
  int Read(void* buffer, unsigned length) override;
  bool ReadAll(char** block, int* size) override;
  // The stored level and strategy hold for the data written from now on.
  int ApplyParameters() override;

  // Whether blocks that deflate cannot shrink are stored without being searched (the default).
  // Off, every block is deflated, as a one-thread writer would. Holds from the block being filled.
  void SetStoreIncompressible(bool store) {
    m_bStoreIncompressible = store;
    if (m_pCurrent) m_pCurrent->probe = store;
  }

  // Workers of the open file (0 when it compresses on the calling thread).
  unsigned WorkerCount() const { return static_cast<unsigned>(m_workers.size()); }
  // The cores this process may run on, at least 1.
  static unsigned UsableCores();

 private:
  struct CBlock {
    std::vector<unsigned char> dictionary;  // up to kWindowSize bytes that precede the input
    std::vector<unsigned char> input;
    std::vector<unsigned char> output;      // the deflated piece: output[0, outputSize)
    size_t outputSize = 0;
    uLong crc = 0;
    int level = Z_DEFAULT_COMPRESSION;
    int strategy = Z_DEFAULT_STRATEGY;
    bool last = false;
    bool probe = true;    // stored if the probe finds deflate cannot shrink it
    bool done = false;    // compressed; guarded by m_mutex
    bool failed = false;  // the compression library refused (out of memory)
  };
  // One worker's deflate state, kept from block to block.
  struct CDeflater {
    z_stream strm{};
    bool ready = false;
    int level = 0;
    int strategy = 0;
    CIncompressibleProbe probe;
    ~CDeflater();
  };

  void WorkerProc(int niceValue);
  static void Compress(CBlock& block, CDeflater& deflater);
  static void Store(CBlock& block);
  // Hands the current block to the workers and starts a new one unless it is the last.
  void Submit(bool last);
  // Writes the finished blocks at the front, in order. Waits for the front block when the
  // queue is full, or until every block is written when all is set.
  void Drain(bool all);
  void WriteBlock(CBlock& block);
  void WriteOut(const void* data, size_t length);
  std::unique_ptr<CBlock> TakeBlock();
  void StopWorkers();

  unsigned m_nThreads;
  int m_fd = -1;
  int m_nError = 0;  // errno of the first failure since Open
  bool m_bHeaderWritten = false;
  bool m_bStoreIncompressible = true;
  uLong m_crc = 0;
  uint64_t m_nTotal = 0;  // uncompressed bytes written out so far
  size_t m_nMaxQueued = 0;

  std::unique_ptr<CBlock> m_pCurrent;              // being filled by Write
  std::vector<std::unique_ptr<CBlock>> m_pool;     // written blocks, kept for reuse
  CDeflater m_inlineDeflater;                      // when no worker could be started

  std::mutex m_mutex;
  std::condition_variable m_cvWork;  // a block to compress, or the end
  std::condition_variable m_cvDone;  // a block was compressed
  std::deque<std::unique_ptr<CBlock>> m_queue;  // handed over, in stream order, until written
  std::deque<CBlock*> m_work;                   // of those, the ones no worker has taken yet
  bool m_bQuit = false;
  std::vector<std::thread> m_workers;
};
