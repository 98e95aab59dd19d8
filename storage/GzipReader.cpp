#include "storage/GzipReader.h"

#include <isa-l/igzip_lib.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <new>

CGzipReader::CGzipReader() = default;

CGzipReader::~CGzipReader() {
  if (IsOpen()) Close();
}

bool CGzipReader::Open(int fd, bool gzip) {
  if (IsOpen()) return false;
  m_state.reset(new (std::nothrow) inflate_state);
  m_input.reset(new (std::nothrow) uint8_t[kInputSize]);
  m_output.reset(new (std::nothrow) uint8_t[kOutputSize]);
  if (!m_state || !m_input || !m_output) {
    m_state.reset();
    m_input.reset();
    m_output.reset();
    return false;
  }
  isal_inflate_init(m_state.get());
  m_state->crc_flag = ISAL_GZIP;
  m_state->next_in = m_input.get();
  m_state->avail_in = 0;
  m_fd = fd;
  m_bGzip = gzip;
  m_bEof = false;
  m_bMemberDone = false;
  m_status = Status::Reading;
  m_outputStart = m_outputEnd = 0;
  return true;
}

bool CGzipReader::Close() {
  if (!IsOpen()) return false;
  const bool closed = close(m_fd) == 0;
  m_fd = -1;
  m_state.reset();
  m_input.reset();
  m_output.reset();
  return closed && m_status != Status::CutShort;
}

bool CGzipReader::Fill() {
  if (m_bEof || m_status != Status::Reading) return false;
  inflate_state& state = *m_state;
  if (state.avail_in > 0 && state.next_in != m_input.get()) memmove(m_input.get(), state.next_in, state.avail_in);
  state.next_in = m_input.get();
  const size_t room = kInputSize - state.avail_in;
  if (room == 0) return true;
  ssize_t got;
  do {
    got = read(m_fd, m_input.get() + state.avail_in, room);
  } while (got < 0 && errno == EINTR);
  if (got < 0) {
    m_status = Status::Damaged;
    return false;
  }
  if (got == 0) {
    m_bEof = true;
    return false;
  }
  state.avail_in += static_cast<uint32_t>(got);
  return true;
}

bool CGzipReader::NextMember() {
  inflate_state& state = *m_state;
  while (state.avail_in < 2 && Fill()) {
  }
  if (m_status != Status::Reading) return false;
  if (state.avail_in < 2 || state.next_in[0] != 0x1f || state.next_in[1] != 0x8b) {
    // Whatever follows is no gzip member: the stream ends with the last one.
    m_status = Status::End;
    return false;
  }
  isal_inflate_reset(&state);
  state.crc_flag = ISAL_GZIP;
  m_bMemberDone = false;
  return true;
}

size_t CGzipReader::Inflate(uint8_t* out, size_t capacity) {
  inflate_state& state = *m_state;
  capacity = std::min<size_t>(capacity, UINT32_MAX);
  size_t total = 0;
  while (total < capacity && m_status == Status::Reading) {
    if (m_bMemberDone && !NextMember()) break;
    if (state.avail_in == 0) Fill();
    if (m_status != Status::Reading) break;
    const uint32_t inBefore = state.avail_in;
    state.next_out = out + total;
    state.avail_out = static_cast<uint32_t>(capacity - total);
    const int result = isal_inflate(&state);
    const size_t produced = capacity - total - state.avail_out;
    total += produced;
    if (result < 0) {
      // A bad block, a bad header or a check that fails.
      m_status = Status::Damaged;
      break;
    }
    if (state.block_state == ISAL_BLOCK_FINISH) {
      m_bMemberDone = true;
      continue;
    }
    if (produced == 0 && state.avail_in == inBefore && !Fill() && m_status == Status::Reading) {
      // Nothing moved and nothing more to read: the file ends inside a member.
      m_status = Status::CutShort;
    }
  }
  return total;
}

int CGzipReader::ReadPlain(void* buffer, unsigned length) {
  char* out = static_cast<char*>(buffer);
  unsigned done = 0;
  while (done < length) {
    const ssize_t got = read(m_fd, out + done, length - done);
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) {
      m_status = Status::Damaged;
      return -1;
    }
    if (got == 0) break;
    done += static_cast<unsigned>(got);
  }
  return static_cast<int>(done);
}

int CGzipReader::Read(void* buffer, unsigned length) {
  if (!IsOpen()) return -1;
  if (length > static_cast<unsigned>(INT_MAX)) length = INT_MAX;
  if (length == 0) return 0;
  if (!m_bGzip) return m_status == Status::Reading ? ReadPlain(buffer, length) : -1;
  // As gzread: the whole request unless the end or damage comes first.
  const bool wasReading = m_status == Status::Reading;
  uint8_t* out = static_cast<uint8_t*>(buffer);
  size_t done = 0;
  while (done < length) {
    if (m_outputStart < m_outputEnd) {
      const size_t take = std::min<size_t>(length - done, m_outputEnd - m_outputStart);
      memcpy(out + done, m_output.get() + m_outputStart, take);
      m_outputStart += take;
      done += take;
      continue;
    }
    if (m_status != Status::Reading) break;
    if (length - done >= kDirectRead) {
      done += Inflate(out + done, length - done);
    } else {
      m_outputStart = 0;
      m_outputEnd = Inflate(m_output.get(), kOutputSize);
    }
  }
  if (wasReading && m_status == Status::Damaged) {
    // As gzread: the request in which inflate or a check failed hands out nothing, not even
    // what it inflated before the failure.
    m_outputStart = m_outputEnd = 0;
    return -1;
  }
  if (done > 0) return static_cast<int>(done);
  return m_status == Status::End ? 0 : -1;
}
