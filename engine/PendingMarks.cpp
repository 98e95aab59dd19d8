#include "engine/PendingMarks.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/ArchiveMark.h"
#include "platform/MarkRecordReader.h"
#include "platform/MarkRecordWriter.h"
#include "platform/ScratchFile.h"

CPendingMarks::CPendingMarks() = default;
CPendingMarks::~CPendingMarks() { Drop(); }

void CPendingMarks::Reset(const std::string& backupsFolder) {
  Drop();
  m_strFolder = backupsFolder;
}

int CPendingMarks::Add(const std::string& path, const struct stat& st) {
  if (m_bFailed) return 0;
  if (m_fd < 0) {
    m_fd = fern::CreateScratchFile(m_strFolder);
    if (m_fd < 0) {
      m_bFailed = true;
      return errno != 0 ? errno : EIO;
    }
    m_pWriter = std::make_unique<fern::CMarkRecordWriter>(m_fd);
  }
  if (m_pWriter->Add(path, static_cast<int64_t>(st.st_size), static_cast<int64_t>(st.st_mtim.tv_sec),
                     static_cast<int64_t>(st.st_mtim.tv_nsec)))
    return 0;
  m_bFailed = true;
  return m_pWriter->Error() != 0 ? m_pWriter->Error() : EIO;
}

int CPendingMarks::Clear(fern::CArchiveMarks& marks,
                         const std::function<bool(const std::string&, int)>& refused) {
  if (m_fd < 0) return 0;
  int broke = 0;
  // What was written whole is cleared, even when the list broke off later.
  fern::CMarkRecordReader reader(m_fd);
  fern::MarkRecord pending;
  fern::CMarkRecordReader::Got got;
  while ((got = reader.Next(pending)) == fern::CMarkRecordReader::Got::Record) {
    struct stat seen;
    memset(&seen, 0, sizeof seen);
    seen.st_size = static_cast<off_t>(pending.size);
    seen.st_mtim.tv_sec = static_cast<time_t>(pending.sec);
    seen.st_mtim.tv_nsec = static_cast<long>(pending.nsec);
    int err = 0;
    if (marks.ClearMark(pending.path, seen, &err) == fern::CArchiveMarks::ClearResult::Failed &&
        !refused(pending.path, err))
      break;
  }
  if (got == fern::CMarkRecordReader::Got::Broken && !m_bFailed)
    broke = reader.Error() != 0 ? reader.Error() : EIO;
  Drop();
  return broke;
}

int CPendingMarks::Flush() {
  if (m_fd < 0 || m_bFailed || m_pWriter->Flush()) return 0;
  m_bFailed = true;
  return m_pWriter->Error() != 0 ? m_pWriter->Error() : EIO;
}

void CPendingMarks::Drop() {
  m_pWriter.reset();
  if (m_fd >= 0) close(m_fd);
  m_fd = -1;
  m_bFailed = false;
}
