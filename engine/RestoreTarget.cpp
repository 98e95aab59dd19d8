#include "engine/RestoreTarget.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>

#include "platform/FileError.h"
#include "res/Resource.h"
#include "storage/StoredName.h"

namespace {

const char kReadOnly[] = "File is read-only. Cannot overwrite.";
const char kDriveRemoved[] =
    "The drive was removed during the restore. Files not yet restored were not written.";

// Temporary names are listed in the journal ahead of their use, per folder: a few at first, more
// as a folder proves to hold many files, so the journal is flushed once per batch of files.
constexpr size_t kFirstNames = 4;
constexpr size_t kMostNames = 64;

// A name in a folder, both relative to the drive root.
std::string Relative(const std::string& folder, const std::string& leaf) {
  return folder.empty() ? leaf : folder + "/" + leaf;
}

bool IsTempText(const std::string& text) { return text.find(CRestoreJournal::TempPrefix()) != std::string::npos; }

}  // namespace

bool CRestoreTarget::SetDrive(const std::string& root, const fern::CDriveIdentity* expected) {
  if (!m_drive.Open(root, expected)) {
    m_bLost = true;
    return false;
  }
  // What an interrupted restore of this drive left goes first (a journal a running restore holds
  // stays); a failure leaves that journal for the next try and is no reason not to restore.
  CRestoreJournal::CleanStale(m_drive.Fd());
  return true;
}

bool CRestoreTarget::Gone() {
  if (!m_bLost && m_drive.IsOpen() && !m_drive.StillMounted()) m_bLost = true;
  return m_bLost;
}

bool CRestoreTarget::Locate(const std::string& stored, int64_t time, File& file, std::string& error) {
  std::string relative;
  if (!fern::StoredNameToRelative(stored, relative)) {
    // A name that could leave the drive is never written; the row names it as stored.
    error = fern::FormatFileErrorId(IDS_FILE_BADPATH, stored);
    return false;
  }
  file.path = m_drive.Path() + relative;
  const int folderError = fern::CreateFolderChainBeneath(m_drive.Fd(), relative);
  fern::SplitRelative(relative, file.folderRel, file.leaf);
  auto known = m_folders.find(file.folderRel);
  if (known != m_folders.end()) {
    file.folder = known->second;
  } else {
    file.folder = std::make_shared<fern::CFolderFd>(fern::OpenFolderBeneath(m_drive.Fd(), file.folderRel));
    if (!file.folder->IsOpen()) {
      // A folder missing because the drive refused to make it: the refusal is the cause.
      error = fern::FormatFileError(errno == ENOENT && folderError != 0 ? folderError : errno, file.path);
      return false;
    }
    m_folders[file.folderRel] = file.folder;
  }

  // Overwrite rules, on the status of whatever is at the target path (a link is not followed).
  struct stat st;
  file.exists = fstatat(file.folder->Get(), file.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!file.exists && errno != ENOENT) {
    error = fern::FormatFileError(errno, file.path);
    return false;
  }
  if (!file.exists) return true;
  if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode)) {
    // Never replace a link, a folder or a device by a restored file.
    error = fern::FormatFileError(S_ISDIR(st.st_mode) ? EISDIR : ELOOP, file.path);
    return false;
  }
  if ((st.st_mode & S_IWUSR) == 0) {
    error = kReadOnly;
    return false;
  }
  if (static_cast<int64_t>(st.st_mtim.tv_sec) > time) {
    if (m_nOverwriteAnswer == OverwriteAnswer::NoToAll) return false;
    if (m_nOverwriteAnswer != OverwriteAnswer::YesToAll) {
      m_nOverwriteAnswer = m_ui.AskOverwrite(file.path);
      if (m_nOverwriteAnswer != OverwriteAnswer::Yes && m_nOverwriteAnswer != OverwriteAnswer::YesToAll) return false;
    }
  }
  return true;
}

int CRestoreTarget::CreateTemp(const File& file, std::string& tempLeaf) {
  int fd = -1;
  for (unsigned n = 0; n < 100; ++n) {
    if (!TakeTempName(file.folderRel, tempLeaf)) break;
    fd = openat(file.folder->Get(), tempLeaf.c_str(), O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd >= 0 || (errno != EEXIST && errno != EINTR)) break;
    // Another's file of that name: never to be removed as ours.
    if (errno == EEXIST && !m_journal.NotOurs(Relative(file.folderRel, tempLeaf))) break;
  }
  return fd;
}

bool CRestoreTarget::TakeTempName(const std::string& folder, std::string& leaf) {
  Reserved& reserved = m_reserved[folder];
  if (reserved.names.empty()) {
    if (!m_journal.IsOpen() && !m_journal.Create(m_drive.Fd())) return false;
    reserved.batch = reserved.batch == 0 ? kFirstNames : std::min(kMostNames, reserved.batch * 2);
    std::vector<std::string> relatives;
    for (size_t i = 0; i < reserved.batch; ++i) {
      reserved.names.push_back(CRestoreJournal::TempName());
      relatives.push_back(Relative(folder, reserved.names.back()));
    }
    // On the medium before any of the names is used: no temporary exists unlisted.
    if (!m_journal.AddTemps(relatives)) {
      reserved.names.clear();
      return false;
    }
  }
  leaf = reserved.names.back();
  reserved.names.pop_back();
  return true;
}

void CRestoreTarget::EndJournal(bool nothingWaits) {
  m_reserved.clear();
  // Anything left on the drive (a temporary that could not go, an earlier file set aside, a
  // drive that is gone) keeps the journal for the next restore, which deals with what it lists.
  // A journal that cannot be removed is such a one too: the next restore removes it.
  m_journal.Close(!m_bLost && !m_bLeftBehind && nothingWaits);
}

void CRestoreTarget::Later(const std::string& path, const std::string& text) {
  m_laterNames.push_back(path);
  m_laterTexts.push_back(text);
}

void CRestoreTarget::TakeRows(std::vector<std::string>& fileNames, std::vector<std::string>& errorTexts) {
  fileNames.insert(fileNames.end(), m_laterNames.begin(), m_laterNames.end());
  errorTexts.insert(errorTexts.end(), m_laterTexts.begin(), m_laterTexts.end());
  m_laterNames.clear();
  m_laterTexts.clear();
}

void CRestoreTarget::NoteDriveRemoved(const std::string& root, std::vector<std::string>& fileNames,
                                      std::vector<std::string>& errorTexts) {
  // Rows about files the restore was writing when the drive went would name internal names or
  // read as faults of single files: the one row below says what happened.
  std::vector<std::string> names, texts;
  for (size_t i = 0; i < fileNames.size() && i < errorTexts.size(); ++i) {
    if (IsTempText(fileNames[i]) || IsTempText(errorTexts[i])) continue;
    names.push_back(fileNames[i]);
    texts.push_back(errorTexts[i]);
  }
  std::string shown = root;
  if (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  names.push_back(shown);
  texts.push_back(kDriveRemoved);
  fileNames = std::move(names);
  errorTexts = std::move(texts);
}
