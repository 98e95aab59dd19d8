#include "engine/FileOutput.h"

#include <unistd.h>

#include <cerrno>

#include "platform/FileError.h"
#include "platform/FileWrite.h"

CFileOutput::~CFileOutput() {
  if (m_fd >= 0) close(m_fd);
}

void CFileOutput::Write(const char* data, unsigned length) {
  m_nBytes += length;
  if (m_bFailed) return;
  if (!fern::WriteAll(m_fd, data, length)) {
    m_bFailed = true;
    m_error = fern::FormatFileError(errno, m_path);
  }
}

bool CFileOutput::Finish(bool keep, bool sync) {
  keep = keep && !m_bFailed;
  if (keep && sync && fdatasync(m_fd) != 0) {
    keep = false;
    m_error = fern::FormatFileError(errno, m_path);
  }
  if (close(m_fd) != 0 && keep) {
    keep = false;
    m_error = fern::FormatFileError(errno, m_path);
  }
  m_fd = -1;
  return keep;
}
