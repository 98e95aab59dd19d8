#include "engine/ExtractFiles.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "engine/RestoreJournal.h"
#include "platform/FileError.h"
#include "platform/FileWrite.h"
#include "platform/TempFolder.h"
#include "res/Resource.h"
#include "storage/StoredName.h"

namespace {

const char kExists[] = "File already exists. Cannot overwrite.";

// The part of a stored name after its last '\'.
std::string BareStoredName(const std::string& stored) {
  auto slash = stored.rfind('\\');
  return slash == std::string::npos ? stored : stored.substr(slash + 1);
}

}  // namespace

CExtractFiles::CExtractFiles(const std::vector<std::string>& names, const std::string& folder, bool replaceExisting)
    : m_strFolder(folder), m_bReplace(replaceExisting) {
  for (const std::string& name : names) m_picks.push_back({name, std::string(), false, false});
}

bool CExtractFiles::ExtractFrom(const std::string& setPath, IEngineUI& ui, char* copyBuffer,
                                const std::function<bool()>& stopped) {
  CSetScan scan(&ui, copyBuffer);
  if (!scan.Open(setPath)) return false;
  m_stopped = stopped;
  scan.Run(*this);
  scan.Close();
  return true;
}

CEntryReader::Output* CExtractFiles::Open(CEntryReader::Entry& entry) {
  m_nPick = -1;
  for (size_t i = 0; i < m_picks.size() && m_nPick < 0; ++i)
    if (!m_picks[i].found && fern::SameStoredName(entry.name, m_picks[i].name)) m_nPick = static_cast<int>(i);
  if (m_nPick < 0) return nullptr;
  Pick& pick = m_picks[m_nPick];
  pick.found = true;
  const std::string bare = BareStoredName(entry.name);
  if (fern::IsPlainName(bare)) {
    if (m_strFolder.empty()) {
      const std::string scratch = fern::ScratchFolder();
      if (!scratch.empty()) {
        mkdir(scratch.c_str(), 0700);
        pick.path = scratch + "/" + bare;
      }
    } else {
      pick.path = m_strFolder;
      if (pick.path.back() != '/') pick.path += '/';
      pick.path += bare;
    }
  }
  if (entry.nameCut) {
    // Not the name the set meant: not written anywhere.
    entry.error = fern::FormatFileErrorId(IDS_FILE_BADPATH, entry.name);
    return nullptr;
  }
  return OpenFile(entry, pick.path) ? m_out.get() : nullptr;
}

bool CExtractFiles::OpenFile(CEntryReader::Entry& entry, const std::string& path) {
  auto slash = path.rfind('/');
  if (path.empty() || slash == std::string::npos || !fern::IsPlainName(path.substr(slash + 1))) {
    entry.error = fern::FormatFileErrorId(IDS_FILE_BADPATH, path);
    return false;
  }
  m_leaf = path.substr(slash + 1);
  m_folder = fern::CFolderFd(fern::OpenRootFolder(path.substr(0, slash + 1)));
  if (!m_folder.IsOpen()) {
    entry.error = fern::FormatFileError(errno, path);
    return false;
  }
  if (!m_strFolder.empty()) {
    // The user's own files, and an entry taken earlier under the same bare name, stay.
    struct stat st;
    if (m_written.count(m_leaf) != 0 ||
        (!m_bReplace && fstatat(m_folder.Get(), m_leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)) {
      entry.error = kExists;
      return false;
    }
    m_written.insert(m_leaf);
  }
  int fd = -1;
  for (unsigned n = 0; n < 100; ++n) {
    m_tempLeaf = CRestoreJournal::TempName();
    fd = openat(m_folder.Get(), m_tempLeaf.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || (errno != EEXIST && errno != EINTR)) break;
  }
  if (fd < 0) {
    entry.error = fern::FormatFileError(errno, path);
    return false;
  }
  m_out = std::make_unique<CFileOutput>(fd, path, entry.error);
  return true;
}

CSetScan::Step CExtractFiles::Close(CEntryReader::Entry& entry, bool whole) {
  if (m_nPick < 0) return CSetScan::Step::Go;
  Pick& pick = m_picks[m_nPick];
  if (m_out) {
    std::unique_ptr<CFileOutput> out = std::move(m_out);
    // A file extracted into a folder of the user's may take the name of one of theirs: its data
    // is on the medium first. (Scratch copies are only ever opened from the scratch folder.)
    bool good = out->Finish(whole, !m_strFolder.empty());
    const int folderFd = m_folder.Get();
    if (good && (m_strFolder.empty() || m_bReplace
                     ? renameat(folderFd, m_tempLeaf.c_str(), folderFd, m_leaf.c_str())
                     : fern::RenameNoReplace(folderFd, m_tempLeaf, m_leaf)) != 0) {
      good = false;
      entry.error = errno == EEXIST ? std::string(kExists) : fern::FormatFileError(errno, pick.path);
    }
    if (!good) unlinkat(folderFd, m_tempLeaf.c_str(), 0);
  }
  pick.written = whole && entry.error.empty() && !pick.path.empty();
  if (whole && !entry.error.empty()) {
    m_rowNames.push_back(entry.name);
    m_rowTexts.push_back(entry.error);
  }
  return CSetScan::Step::Go;
}
