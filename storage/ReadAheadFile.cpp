#include "storage/ReadAheadFile.h"

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <system_error>

CReadAheadFile::CReadAheadFile(CStreamFile& source) : m_source(source) { m_nOpenMode = 2; }

CReadAheadFile::~CReadAheadFile() { Stop(); }

void CReadAheadFile::Stop() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_stop = true;
  }
  m_changed.notify_all();
  if (m_reader.joinable()) m_reader.join();
}

bool CReadAheadFile::Close() {
  Stop();
  return m_source.Close();
}

bool CReadAheadFile::IsOpen() { return m_source.IsOpen(); }

bool CReadAheadFile::Write(const void*, unsigned) { return false; }

bool CReadAheadFile::WriteString(const char*) { return false; }

void CReadAheadFile::ReaderProc() {
  // The thread keeps the priority of the one that started it (a restore's worker is nicer).
  for (;;) {
    size_t slot = 0;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [this] { return m_stop || m_filled < m_blocks.size(); });
      if (m_stop) return;
      slot = (m_head + m_filled) % m_blocks.size();
    }
    // The slot is this thread's alone until it is counted as filled.
    CBlock& block = m_blocks[slot];
    const int got = m_source.Read(block.data, static_cast<unsigned>(kBlockSize));
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      if (got > 0) {
        block.size = static_cast<size_t>(got);
        ++m_filled;
      } else {
        m_endStatus = got < 0 ? -1 : 0;
      }
    }
    m_changed.notify_all();
    if (got <= 0) return;
  }
}

int CReadAheadFile::Read(void* buffer, unsigned length) {
  if (length > static_cast<unsigned>(INT_MAX)) length = INT_MAX;
  if (!m_started) {
    m_started = true;
    try {
      m_memory.reset(new char[kBlockSize * kBlockCount]);
      m_blocks.resize(kBlockCount);
      for (size_t i = 0; i < kBlockCount; ++i) m_blocks[i].data = m_memory.get() + i * kBlockSize;
      m_reader = std::thread([this] { ReaderProc(); });
    } catch (const std::bad_alloc&) {
      m_direct = true;
    } catch (const std::system_error&) {
      m_direct = true;
    }
    if (m_direct) {
      m_blocks.clear();
      m_memory.reset();
    }
  }
  if (m_direct) return m_stop ? 0 : m_source.Read(buffer, length);

  char* out = static_cast<char*>(buffer);
  unsigned done = 0;
  while (done < length) {
    size_t head = 0;
    {
      std::unique_lock<std::mutex> lock(m_mutex);
      m_changed.wait(lock, [this] { return m_filled > 0 || m_endStatus != 1 || m_stop; });
      if (m_filled == 0) {
        // What came before the end or the damage is handed out first, as one call of the
        // source would.
        if (done > 0) return static_cast<int>(done);
        return m_stop ? 0 : m_endStatus;
      }
      head = m_head;
    }
    // The head block is the caller's alone while it is counted as filled.
    CBlock& block = m_blocks[head];
    const size_t take = std::min<size_t>(block.size - m_offset, length - done);
    memcpy(out + done, block.data + m_offset, take);
    done += static_cast<unsigned>(take);
    m_offset += take;
    if (m_offset == block.size) {
      {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_head = (m_head + 1) % m_blocks.size();
        --m_filled;
      }
      m_offset = 0;
      m_changed.notify_all();
    }
  }
  return static_cast<int>(done);
}

bool CReadAheadFile::ReadAll(char** block, int* size) {
  *size = 0;
  std::vector<char> whole;
  std::vector<char> chunk(kBlockSize);
  for (;;) {
    const int got = Read(chunk.data(), static_cast<unsigned>(chunk.size()));
    if (got < 0) return false;
    if (got == 0) break;
    if (whole.size() + static_cast<size_t>(got) > static_cast<size_t>(INT_MAX)) return false;
    whole.insert(whole.end(), chunk.data(), chunk.data() + got);
  }
  // As the source's: nothing read is no block.
  if (whole.empty()) return false;
  char* copy = new (std::nothrow) char[whole.size()];
  if (copy == nullptr) return false;
  memcpy(copy, whole.data(), whole.size());
  *block = copy;
  *size = static_cast<int>(whole.size());
  return true;
}
