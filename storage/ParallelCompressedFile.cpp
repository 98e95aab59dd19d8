#include "storage/ParallelCompressedFile.h"

#include <fcntl.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

namespace {

// The operating system byte zlib writes into the headers it makes on this system.
constexpr unsigned char kOsCode = 3;

int ThreadNice() {
  errno = 0;
  const int value = getpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)));
  return (value == -1 && errno != 0) ? 0 : value;
}

}  // namespace

CParallelCompressedFile::CDeflater::~CDeflater() {
  if (ready) deflateEnd(&strm);
}

CParallelCompressedFile::CParallelCompressedFile(unsigned threads)
    : m_nThreads(threads != 0 ? threads : UsableCores()) {}

CParallelCompressedFile::~CParallelCompressedFile() {
  if (IsOpen()) Close();
  StopWorkers();
}

unsigned CParallelCompressedFile::UsableCores() {
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof set, &set) == 0) {
    const int count = CPU_COUNT(&set);
    if (count > 0) return static_cast<unsigned>(count);
  }
  const long online = sysconf(_SC_NPROCESSORS_ONLN);
  return online > 0 ? static_cast<unsigned>(online) : 1u;
}

bool CParallelCompressedFile::Open(const char* path, int mode) {
  if (IsOpen()) return false;
  StopWorkers();
  if (mode != 1) {
    m_nOpenMode = 0;
    return false;
  }
  // Close-on-exec, so a program started meanwhile never inherits the set.
  const int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd < 0) {
    m_nOpenMode = 0;
    return false;
  }
  m_fd = fd;
  m_nOpenMode = 1;
  m_nError = 0;
  m_bHeaderWritten = false;
  m_crc = crc32(0L, Z_NULL, 0);
  m_nTotal = 0;
  m_queue.clear();
  m_work.clear();
  m_bQuit = false;
  // As with gzopen: the stream starts at the library's defaults, and the stored level and
  // strategy come into force with the next SetLevel or ApplyParameters.
  m_pCurrent = TakeBlock();
  m_pCurrent->level = Z_DEFAULT_COMPRESSION;
  m_pCurrent->strategy = Z_DEFAULT_STRATEGY;
  m_pCurrent->probe = m_bStoreIncompressible;

  // The workers run at the priority of the thread that writes the set (a backup's worker is
  // below normal), whatever they would inherit.
  const int niceValue = ThreadNice();
  for (unsigned i = 0; i < m_nThreads; ++i) {
    try {
      m_workers.emplace_back([this, niceValue] { WorkerProc(niceValue); });
    } catch (const std::system_error&) {
      break;  // fewer workers; none at all compresses on this thread
    }
  }
  // Enough blocks queued that every worker has the next one waiting while the previous
  // pieces are written; a bounded number, so memory does not grow with the drive.
  m_nMaxQueued = 2 * std::max<size_t>(m_workers.size(), 1) + 2;
  return true;
}

void CParallelCompressedFile::StopWorkers() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bQuit = true;
  }
  m_cvWork.notify_all();
  for (std::thread& worker : m_workers) worker.join();
  m_workers.clear();
}

std::unique_ptr<CParallelCompressedFile::CBlock> CParallelCompressedFile::TakeBlock() {
  std::unique_ptr<CBlock> block;
  if (!m_pool.empty()) {
    block = std::move(m_pool.back());
    m_pool.pop_back();
  } else {
    block = std::make_unique<CBlock>();
    block->input.reserve(kBlockSize);
    block->dictionary.reserve(kWindowSize);
  }
  block->dictionary.clear();
  block->input.clear();
  block->outputSize = 0;
  block->crc = 0;
  block->last = false;
  block->done = false;
  block->failed = false;
  return block;
}

bool CParallelCompressedFile::Write(const void* data, unsigned length) {
  if (!IsOpen() || !IsWriting()) return false;
  if (m_nError != 0) {
    errno = m_nError;
    return false;
  }
  const unsigned char* bytes = static_cast<const unsigned char*>(data);
  while (length > 0) {
    // A full block goes out only once more data follows it: the last block finishes the stream.
    if (m_pCurrent->input.size() == kBlockSize) {
      Submit(false);
      if (m_nError != 0) {
        errno = m_nError;
        return false;
      }
    }
    const size_t part = std::min<size_t>(length, kBlockSize - m_pCurrent->input.size());
    m_pCurrent->input.insert(m_pCurrent->input.end(), bytes, bytes + part);
    bytes += part;
    length -= static_cast<unsigned>(part);
  }
  return true;
}

bool CParallelCompressedFile::WriteString(const char* text) {
  return Write(text, static_cast<unsigned>(strlen(text)));
}

int CParallelCompressedFile::Read(void* /*buffer*/, unsigned /*length*/) { return 0; }

bool CParallelCompressedFile::ReadAll(char** /*block*/, int* size) {
  *size = 0;
  return false;
}

int CParallelCompressedFile::ApplyParameters() {
  if (!IsOpen() || !IsWriting()) return Z_OK;
  if (m_pCurrent->level == m_nLevel && m_pCurrent->strategy == m_nStrategy) return Z_OK;
  // What was written before the change keeps the parameters it was written under.
  if (!m_pCurrent->input.empty()) Submit(false);
  m_pCurrent->level = m_nLevel;
  m_pCurrent->strategy = m_nStrategy;
  return Z_OK;
}

void CParallelCompressedFile::Submit(bool last) {
  std::unique_ptr<CBlock> block = std::move(m_pCurrent);
  block->last = last;
  if (!m_bHeaderWritten) {
    // The header zlib writes: no name, no time; XFL tells the level of the first block.
    const int level = block->level == Z_DEFAULT_COMPRESSION ? 6 : block->level;
    const unsigned char xfl = level == 9 ? 2 : ((block->strategy >= Z_HUFFMAN_ONLY || level < 2) ? 4 : 0);
    const unsigned char header[10] = {0x1f, 0x8b, Z_DEFLATED, 0, 0, 0, 0, 0, xfl, kOsCode};
    WriteOut(header, sizeof header);
    m_bHeaderWritten = true;
  }
  if (!last) {
    // The next block sees the 32 KiB before it, as one deflate stream would.
    m_pCurrent = TakeBlock();
    m_pCurrent->level = block->level;
    m_pCurrent->strategy = block->strategy;
    m_pCurrent->probe = m_bStoreIncompressible;
    std::vector<unsigned char>& dictionary = m_pCurrent->dictionary;
    const std::vector<unsigned char>& input = block->input;
    if (input.size() < kWindowSize) {
      const std::vector<unsigned char>& before = block->dictionary;
      const size_t keep = std::min(before.size(), kWindowSize - input.size());
      dictionary.assign(before.end() - static_cast<std::ptrdiff_t>(keep), before.end());
      dictionary.insert(dictionary.end(), input.begin(), input.end());
    } else {
      dictionary.assign(input.end() - static_cast<std::ptrdiff_t>(kWindowSize), input.end());
    }
  }
  if (m_workers.empty()) {
    Compress(*block, m_inlineDeflater);
    block->done = true;
    std::lock_guard<std::mutex> lock(m_mutex);
    m_queue.push_back(std::move(block));
  } else {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_work.push_back(block.get());
      m_queue.push_back(std::move(block));
    }
    m_cvWork.notify_one();
  }
  Drain(last);
}

void CParallelCompressedFile::Drain(bool all) {
  std::unique_lock<std::mutex> lock(m_mutex);
  while (!m_queue.empty()) {
    CBlock* front = m_queue.front().get();
    if (!front->done) {
      if (!all && m_queue.size() < m_nMaxQueued) break;
      m_cvDone.wait(lock, [front] { return front->done; });
    }
    std::unique_ptr<CBlock> block = std::move(m_queue.front());
    m_queue.pop_front();
    lock.unlock();
    WriteBlock(*block);
    m_pool.push_back(std::move(block));
    lock.lock();
  }
}

void CParallelCompressedFile::WriteBlock(CBlock& block) {
  if (block.failed && m_nError == 0) m_nError = ENOMEM;
  if (m_nError != 0) return;
  WriteOut(block.output.data(), block.outputSize);
  m_crc = crc32_combine(m_crc, block.crc, static_cast<z_off_t>(block.input.size()));
  m_nTotal += block.input.size();
}

void CParallelCompressedFile::WriteOut(const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  while (length > 0 && m_nError == 0) {
    const ssize_t written = write(m_fd, bytes, length);
    if (written < 0) {
      if (errno != EINTR) m_nError = errno;
      continue;
    }
    if (written == 0) {
      m_nError = EIO;
      continue;
    }
    bytes += written;
    length -= static_cast<size_t>(written);
  }
}

void CParallelCompressedFile::WorkerProc(int niceValue) {
  const id_t tid = static_cast<id_t>(syscall(SYS_gettid));
  setpriority(PRIO_PROCESS, tid, niceValue);  // a failure leaves the inherited priority
  CDeflater deflater;
  for (;;) {
    CBlock* block = nullptr;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_cvWork.wait(lock, [this] { return m_bQuit || !m_work.empty(); });
      if (m_work.empty()) return;
      block = m_work.front();
      m_work.pop_front();
    }
    Compress(*block, deflater);
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      block->done = true;
    }
    m_cvDone.notify_one();
  }
}

void CParallelCompressedFile::Compress(CBlock& block, CDeflater& deflater) {
  const size_t length = block.input.size();
  block.crc = crc32_z(crc32(0L, Z_NULL, 0), block.input.data(), length);
  if (block.probe &&
      deflater.probe.CannotShrink(block.dictionary.data(), block.dictionary.size(), block.input.data(), length)) {
    Store(block);
    return;
  }
  z_stream& strm = deflater.strm;
  if (deflater.ready && (deflater.level != block.level || deflater.strategy != block.strategy)) {
    deflateEnd(&strm);
    deflater.ready = false;
  }
  if (!deflater.ready) {
    strm = z_stream{};
    // Raw deflate with zlib's own defaults for the rest, as gzwrite would use.
    if (deflateInit2(&strm, block.level, Z_DEFLATED, -MAX_WBITS, 8, block.strategy) != Z_OK) {
      block.failed = true;
      return;
    }
    deflater.ready = true;
    deflater.level = block.level;
    deflater.strategy = block.strategy;
  } else if (deflateReset(&strm) != Z_OK) {
    block.failed = true;
    return;
  }
  if (!block.dictionary.empty() &&
      deflateSetDictionary(&strm, block.dictionary.data(), static_cast<uInt>(block.dictionary.size())) != Z_OK) {
    block.failed = true;
    return;
  }
  // Room for the worst case and the flush marker; grown should zlib still need more.
  const size_t bound = deflateBound(&strm, static_cast<uLong>(length)) + 16;
  if (block.output.size() < bound) block.output.resize(bound);
  strm.next_in = block.input.data();
  strm.avail_in = static_cast<uInt>(length);
  // Every block but the last ends on a byte boundary, so the pieces join into one stream.
  const int flush = block.last ? Z_FINISH : Z_SYNC_FLUSH;
  size_t produced = 0;
  for (;;) {
    if (produced == block.output.size()) block.output.resize(block.output.size() * 2);
    strm.next_out = block.output.data() + produced;
    strm.avail_out = static_cast<uInt>(block.output.size() - produced);
    const int result = deflate(&strm, flush);
    produced = block.output.size() - strm.avail_out;
    if (result == Z_STREAM_ERROR) {
      block.failed = true;
      return;
    }
    if (flush == Z_FINISH ? result == Z_STREAM_END : (strm.avail_in == 0 && strm.avail_out != 0)) break;
  }
  block.outputSize = produced;
}

void CParallelCompressedFile::Store(CBlock& block) {
  // Stored deflate blocks hold at most 65535 bytes each, behind a byte with the final bit and
  // the type (0), the length and its complement. The piece before ended on a byte boundary.
  constexpr size_t kMaxStored = 65535;
  const size_t length = block.input.size();
  const size_t count = std::max<size_t>(1, (length + kMaxStored - 1) / kMaxStored);
  const size_t size = length + 5 * count;
  if (block.output.size() < size) block.output.resize(size);
  unsigned char* out = block.output.data();
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    const unsigned part = static_cast<unsigned>(std::min(kMaxStored, length - at));
    out[0] = (block.last && i + 1 == count) ? 1 : 0;
    out[1] = static_cast<unsigned char>(part);
    out[2] = static_cast<unsigned char>(part >> 8);
    out[3] = static_cast<unsigned char>(~part);
    out[4] = static_cast<unsigned char>(~part >> 8);
    if (part != 0) memcpy(out + 5, block.input.data() + at, part);
    out += 5 + part;
    at += part;
  }
  block.outputSize = size;
}

bool CParallelCompressedFile::Close() {
  if (!IsOpen()) return false;
  if (m_nError == 0) {
    Submit(true);
  } else {
    Drain(true);
  }
  StopWorkers();
  if (m_nError == 0) {
    unsigned char trailer[8];
    const uint32_t size = static_cast<uint32_t>(m_nTotal);  // the length modulo 2^32
    for (int i = 0; i < 4; ++i) {
      trailer[i] = static_cast<unsigned char>(m_crc >> (8 * i));
      trailer[4 + i] = static_cast<unsigned char>(size >> (8 * i));
    }
    WriteOut(trailer, sizeof trailer);
  }
  if (close(m_fd) != 0 && m_nError == 0 && errno != EINTR) m_nError = errno;
  m_fd = -1;
  m_pCurrent.reset();
  m_pool.clear();
  if (m_nError != 0) {
    errno = m_nError;
    return false;
  }
  return true;
}
