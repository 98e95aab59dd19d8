#include "engine/BackupRun.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "engine/EntryWriter.h"
#include "engine/RestoreJournal.h"
#include "platform/ArchiveMark.h"
#include "platform/FileError.h"
#include "platform/FileFinder.h"
#include "platform/SafeOpen.h"
#include "platform/Tick.h"
#include "res/Resource.h"
#include "storage/ParallelCompressedFile.h"
#include "storage/PartialSet.h"
#include "storage/SetFormat.h"
#include "storage/StoredName.h"

namespace {

constexpr char kDriveLostSetKept[] =
    "The drive was removed during the backup. The backup set is incomplete: it holds only the files "
    "stored before the drive was removed.";
constexpr char kDriveLostNoSet[] = "The drive was removed during the backup. No backup set was written.";

// Opens a file of the drive for reading: never through a link, never blocking on a special file,
// without touching its access time where the kernel lets us.
int OpenForReading(const std::string& path) {
  const int flags = O_RDONLY | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK;
  int fd = open(path.c_str(), flags | O_NOATIME);
  if (fd < 0 && errno == EPERM) fd = open(path.c_str(), flags);
  return fd;
}

bool SameTime(const struct timespec& a, const struct timespec& b) {
  return a.tv_sec == b.tv_sec && a.tv_nsec == b.tv_nsec;
}

// Fsyncs a file or folder by path; 0 or the errno.
int SyncPath(const std::string& path, int flags) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | flags);
  if (fd < 0) return errno;
  int err = fsync(fd) == 0 ? 0 : errno;
  if (close(fd) != 0 && err == 0) err = errno;
  return err;
}

}  // namespace

CBackupRun::CBackupRun(IEngineUI& ui, const std::atomic<bool>& stop, char* copyBuffer)
    : m_ui(ui), m_bStop(stop), m_pCopyBuffer(copyBuffer) {}

CBackupRun::~CBackupRun() = default;

void CBackupRun::AddError(const std::string& path, const std::string& text) {
  m_rows.Add(path, text);
}

void CBackupRun::NoteWriteFailure() {
  if (m_bWriteFailed) return;
  m_bWriteFailed = true;
  m_nWriteError = errno != 0 ? errno : EIO;
}

bool CBackupRun::DriveGone() {
  if (!m_bDriveLost && !fern::StillSameFolder(m_drive.root, m_driveId)) m_bDriveLost = true;
  return m_bDriveLost;
}

bool CBackupRun::WriteToSet(CStreamFile& stream, const void* data, unsigned length) {
  if (m_bWriteFailed) return false;
  errno = 0;
  if (stream.Write(data, length)) return true;
  NoteWriteFailure();
  return false;
}

// Gives the finished partial set its name without ever replacing a file: when the name is taken
// (another drive of the same label backed up in the same millisecond, or any file of the user's)
// the next free tick names it. 0 with setPath the name used, or the errno.
static int NameSet(const std::string& backupsFolder, const std::string& partialPath, const std::string& label,
                   uint32_t tick, bool fullBackup, std::string& setPath) {
  constexpr uint32_t kNameTries = 1000;
  const int folderFd = open(backupsFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folderFd < 0) return errno;
  const std::string partialLeaf = fern::BareFileName(partialPath);
  int err = EEXIST;
  for (uint32_t i = 0; i < kNameTries && err == EEXIST; ++i) {
    const std::string path = fern::SetFilePath(backupsFolder, label, tick + i, fullBackup);
    err = fern::RenameNoReplace(folderFd, partialLeaf, fern::BareFileName(path)) == 0 ? 0 : errno;
    if (err == 0) setPath = path;
  }
  close(folderFd);
  return err;
}

CBackupRun::Result CBackupRun::RunBackup(const CBackupDrive& drive, bool fullBackup,
                                         const std::string& backupsFolder, const std::string& marksFolder) {
  const uint32_t tick = fern::GetTickCount();
  const int64_t startTime = fern::CurrentTime();
  m_rows.Clear();
  m_visited.clear();
  m_strBackupsFolder = backupsFolder;
  m_pending.Reset(backupsFolder);
  m_bWriteFailed = false;
  m_nWriteError = 0;
  m_nEntries = 0;
  m_bDriveLost = false;
  m_driveId = fern::CDriveIdentity();
  m_drive = drive;
  m_bFullBackup = fullBackup;
  if (!m_drive.root.empty() && m_drive.root.back() != '/') m_drive.root += '/';

  // A label holding '/' would name a file in another folder.
  std::string label = drive.name;
  for (char& c : label)
    if (c == '/') c = '_';
  m_strSetPath = fern::SetFilePath(backupsFolder, label, tick, fullBackup);

  Result result = Result::NoSet;
  if (!m_drive.root.empty()) {
    mkdir(backupsFolder.c_str(), 0777);  // usually there already; a real failure shows at the open
    // What an interrupted run left behind is not a set and never becomes one.
    fern::RemoveLeftoverPartialSets(backupsFolder);
    CParallelCompressedFile stream(m_nCompressionThreads);
    stream.SetLevel(9);
    char resolved[PATH_MAX];
    struct stat rootStat;
    // The set is written under a partial name (locked, owner only) and named once it is whole.
    std::string partialPath;
    int partialFd = -1;
    if (realpath(m_drive.root.c_str(), resolved) != nullptr && stat(resolved, &rootStat) == 0 &&
        S_ISDIR(rootStat.st_mode) && fern::IdentifyFolder(m_drive.root, m_driveId) &&
        (partialFd = fern::CreatePartialSet(backupsFolder, partialPath)) >= 0 &&
        !stream.Open(partialPath.c_str(), 1)) {
      unlink(partialPath.c_str());
      close(partialFd);
      partialFd = -1;
    }
    if (partialFd >= 0) {
      m_strRootReal = resolved;
      if (m_strRootReal.size() > 1 && m_strRootReal.back() == '/') m_strRootReal.pop_back();
      m_rootDev = rootStat.st_dev;
      struct stat setStat;
      if (fstat(partialFd, &setStat) == 0) {
        m_setDev = setStat.st_dev;
        m_setIno = setStat.st_ino;
      } else {
        m_setDev = 0;
        m_setIno = 0;
      }
      fern::CArchiveMarks marks(m_drive.root, marksFolder);
      m_pMarks = &marks;

      unsigned folderCount = 0;
      CountFolders(m_drive.root, folderCount);
      m_ui.SetProgressRange(ProgressRange(folderCount));
      m_ui.ShowProgress(true);
      stream.SetLevel(9);
      m_visited.insert({rootStat.st_dev, rootStat.st_ino});
      m_restoreFiles = CRestoreJournal::ListedNames(m_drive.root);
      WalkFolder(stream, std::string());

      errno = 0;
      if (!stream.Close()) NoteWriteFailure();
      DriveGone();  // a drive gone by now still holds marks that cannot be cleared
      bool hasEntries = false;  // more than the 20 bytes of an empty gzip stream
      bool named = false;
      if (!m_bWriteFailed) {
        // The set takes its name only when flushed whole, and "Done!" only once the name is on
        // the disk too.
        int err = SyncPath(partialPath, 0);
        struct stat st;
        if (err == 0 && fstat(partialFd, &st) != 0) err = errno;
        hasEntries = err == 0 && static_cast<uint64_t>(st.st_size) > 24;
        if (err == 0 && hasEntries) {
          err = NameSet(backupsFolder, partialPath, label, tick, fullBackup, m_strSetPath);
          named = err == 0;
        }
        if (err == 0 && named) err = SyncPath(backupsFolder, O_DIRECTORY);
        if (err != 0) {
          m_bWriteFailed = true;
          m_nWriteError = err;
        }
      }

      if (m_bWriteFailed) {
        unlink(named ? m_strSetPath.c_str() : partialPath.c_str());
        AddError(m_strSetPath, fern::FormatFileError(m_nWriteError, m_strSetPath));
        result = Result::WriteFailed;
      } else {
        // The set is safe: now the files it holds (and those it could not take) lose their mark,
        // but only on the drive they were read from. On a drive that has gone every file would
        // be "not found", and the files the set lacks must be taken by the next backup.
        if (!DriveGone()) {
          ClearPendingMarks();
          int err = 0;
          if (!m_bDriveLost && !marks.Save(&err) && !m_rows.Full())
            AddError(marks.RecordFilePath(), fern::FormatFileError(err, marks.RecordFilePath()));
        }
        if (m_bDriveLost) {
          // Kept as a cancelled run keeps its set; the row tells what it lacks.
          if (hasEntries) {
            m_ui.AddSetRow(fern::FormatSetDate(startTime), drive.name, m_strSetPath, fullBackup ? 1 : 2);
            AddError(m_strSetPath, kDriveLostSetKept);
          } else {
            unlink(partialPath.c_str());
            AddError(m_drive.root, kDriveLostNoSet);
          }
          m_ui.SetStatusText("Not Connected");
          result = Result::DriveLost;
        } else if (hasEntries) {
          m_ui.AddSetRow(fern::FormatSetDate(startTime), drive.name, m_strSetPath, fullBackup ? 1 : 2);
          m_ui.SetStatusText("Done!");
          result = Result::Done;
        } else {
          m_ui.SetStatusText("No file changes");
          unlink(partialPath.c_str());
          result = Result::NoChanges;
        }
      }
      close(partialFd);  // gives up the lock: the partial name is gone by now
      m_pending.Drop();
      m_ui.ShowProgress(false);
      m_pMarks = nullptr;
    }
  }
  ShowErrors();
  return result;
}

void CBackupRun::ShowErrors() {
  if (m_rows.Empty()) return;
  if (m_rows.Full()) m_rows.AddClosingRow();
  m_ui.ShowErrorList(m_rows.Names(), m_rows.Texts());
}

// Files missing from the list keep their marks and are simply taken again by the next Quick
// Backup; the row says why.
void CBackupRun::PendingFailed(int error) {
  if (!m_rows.Full())
    AddError(m_strBackupsFolder, fern::FormatFileError(error != 0 ? error : EIO, m_strBackupsFolder));
}

void CBackupRun::ClearPendingMarks() {
  if (const int err = m_pending.Flush()) PendingFailed(err);
  const int broke = m_pending.Clear(*m_pMarks, [this](const std::string& path, int err) {
    // A write-protected medium refuses every file alike: that is no news worth a row per file.
    // A drive gone meanwhile refuses every file too: the one row about the drive says it.
    if (DriveGone()) return false;
    if (!m_rows.Full()) AddError(path, fern::FormatFileError(err, path));
    return true;
  });
  if (broke != 0) PendingFailed(broke);
}

bool CBackupRun::MayEnter(const fern::CFindData& folder, std::set<FolderId>& visited) const {
  // The status the listing found it with: no second look at the folder.
  if (!folder.isDir) return false;
  // Another file system mounted inside the drive is not part of the drive.
  if (folder.dev != m_rootDev) return false;
  return visited.insert({folder.dev, folder.ino}).second;
}

bool CBackupRun::LinkTargetOnDrive(const std::string& linkPath, std::string& target, struct stat& st) const {
  char resolved[PATH_MAX];
  if (realpath(linkPath.c_str(), resolved) == nullptr) return false;
  target = resolved;
  const std::string prefix = m_strRootReal == "/" ? std::string("/") : m_strRootReal + "/";
  if (target.size() <= prefix.size() || target.compare(0, prefix.size(), prefix) != 0) return false;
  if (lstat(resolved, &st) != 0 || !S_ISREG(st.st_mode)) return false;
  return st.st_dev == m_rootDev;
}

void CBackupRun::CountFolders(const std::string& folder, unsigned& count) {
  std::set<FolderId> visited;
  struct stat st;
  if (!folder.empty() && stat(folder.c_str(), &st) == 0) {
    if (m_pMarks == nullptr) m_rootDev = st.st_dev;  // called on its own, outside a run
    visited.insert({st.st_dev, st.st_ino});
  }
  CountFoldersIn(folder, count, visited);
}

void CBackupRun::CountFoldersIn(const std::string& folder, unsigned& count, std::set<FolderId>& visited) {
  ++count;
  if (folder.empty()) return;
  // Only the folders are looked at: the count costs a listing, not a look at every file.
  std::vector<fern::CFindData> found;
  fern::FindSubfolders(folder, found);
  std::vector<std::string> subfolders;
  for (const auto& entry : found) {
    if (m_bStop) break;
    if (MayEnter(entry, visited)) subfolders.push_back(entry.fullPath);
  }
  found.clear();
  for (const auto& sub : subfolders) CountFoldersIn(sub, count, visited);
}

void CBackupRun::WalkFolder(CStreamFile& stream, const std::string& relative) {
  if (m_rows.Full() || m_bWriteFailed || m_bDriveLost) return;
  m_ui.StepProgress();
  const std::string folder = m_drive.root + relative;

  std::vector<fern::CFindData> found;
  std::vector<fern::CFindProblem> problems;
  errno = 0;
  // A folder that cannot be read, an entry that cannot be examined and a listing that breaks
  // off would otherwise drop files from the set unnoticed: each gets a row.
  const std::string folderPath = relative.empty() ? folder : folder.substr(0, folder.size() - 1);
  if (!fern::FindFiles(folder, "*.*", found, &problems)) {
    const int err = errno;
    // What a drive that has gone cannot show is told by the one row about the drive.
    if (!DriveGone()) AddError(folderPath, fern::FormatFileError(err, folderPath));
    return;
  }
  if (!problems.empty() && DriveGone()) return;
  for (const auto& problem : problems) {
    const std::string& path = problem.fullPath == folder ? folderPath : problem.fullPath;
    AddError(path, fern::FormatFileError(problem.error, path));
  }

  std::vector<std::string> subfolders;
  for (const auto& entry : found) {
    if (entry.name != "." && entry.name != "..") {
      const std::string rel = relative + entry.name;
      if (entry.isDir) {
        if (MayEnter(entry, m_visited)) subfolders.push_back(rel + "/");
      } else if (CRestoreJournal::IsRestoreFile(m_drive.root, rel, m_restoreFiles)) {
        // A restore's own file (interrupted, or running now) is no file of the user's.
      } else {
        // Each file is looked at once, by the listing: its status decides whether it is taken,
        // and the open for reading finds out whatever became of it since.
        std::string openPath = entry.fullPath;
        struct stat st;
        bool take = false;
        if (entry.isLink) {
          // A link to a file of the drive stands for that file; any other link is not the drive's.
          take = LinkTargetOnDrive(entry.fullPath, openPath, st);
        } else if (entry.isRegular) {
          st = entry.Status();
          take = !(st.st_dev == m_setDev && st.st_ino == m_setIno);
        }
        if (take && !m_bFullBackup) take = m_pMarks->IsMarked(entry.fullPath, st);
        if (take) {
          // Before each file taken: a drive that has gone ends the walk as a cancel does.
          if (DriveGone()) break;
          WriteEntry(stream, entry.fullPath, openPath, rel, st);
          if (const int err = m_pending.Add(entry.fullPath, st)) PendingFailed(err);
        }
      }
    }
    if (m_bStop || m_bWriteFailed || m_bDriveLost) break;
  }
  found.clear();

  for (const auto& sub : subfolders) {
    if (m_bStop || m_bWriteFailed || m_bDriveLost) break;
    WalkFolder(stream, sub);
  }
}

void CBackupRun::WriteEntry(CStreamFile& stream, const std::string& path, const std::string& openPath,
                            const std::string& relative, struct stat& seen) {
  std::string stored;
  if (!fern::MakeStoredName(m_drive.letter, relative, stored) || stored.size() >= fern::kNameBufferSize) {
    // A '\' in a name cannot be told from a separator, and a name of 512 bytes or more would
    // make the set unreadable.
    AddError(path, fern::FormatFileErrorId(IDS_FILE_BADPATH, path));
    return;
  }
  // A file that cannot be opened on a drive that has gone is no row of its own: nothing of it
  // is in the set, and the row about the drive says why.
  int fd = OpenForReading(openPath);
  if (fd < 0) {
    const int err = errno;
    if (!DriveGone()) AddError(path, fern::FormatFileError(err, path));
    return;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    const int err = errno;
    if (!DriveGone()) AddError(path, fern::FormatFileError(err, path));
    close(fd);
    return;
  }
  if (!S_ISREG(st.st_mode)) {  // replaced by something else since the folder was read
    close(fd);
    return;
  }
  seen = st;
  // Lets the kernel read ahead further while the previous chunk is being compressed.
  (void)posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);  // a hint only
  const uint64_t size = static_cast<uint64_t>(st.st_size);
  if (CEntryWriter::LongestName(stored, size).size() >= fern::kNameBufferSize) {
    // The name of its pieces would be too long to read back.
    AddError(path, fern::FormatFileErrorId(IDS_FILE_BADPATH, path));
    close(fd);
    return;
  }
  if (size == 0) {
    close(fd);
    return;
  }

  // Exactly the announced length goes out, whatever the file does meanwhile: the set never
  // falls out of step.
  CEntryWriter writer(m_pCopyBuffer, [&](const void* data, unsigned length) {
    if (!WriteToSet(stream, data, length)) return false;
    m_ui.AddBytesDone(length);
    return true;
  });
  int readError = 0;
  const CEntryWriter::Outcome outcome =
      writer.Write(fd, stored, static_cast<int64_t>(st.st_mtim.tv_sec), size, readError, [&] {
        ++m_nEntries;
        if (m_entryHook) m_entryHook(path);
      });
  if (outcome == CEntryWriter::Outcome::SetFailed) {
    close(fd);
    return;
  }
  std::string problem;
  if (outcome == CEntryWriter::Outcome::Short) {
    // The user is told whatever became of the drive.
    problem = readError != 0 ? fern::FormatFileError(readError, path)
                             : fern::FormatFileErrorId(IDS_FILE_ENDOFFILE, path);
  } else {
    // Grown or rewritten while it was read: the entry is cut at the announced length.
    struct stat after;
    char probe;
    ssize_t more = CEntryWriter::ReadRetrying(fd, &probe, 1);
    const int probeError = more < 0 ? errno : 0;
    if (more > 0 || (fstat(fd, &after) == 0 && (after.st_size != st.st_size || !SameTime(after.st_mtim, st.st_mtim))))
      problem = fern::FormatFileErrorId(IDS_FILE_SHARING, path);
    else if (more < 0 && !DriveGone())  // read whole already: a drive gone since is no news of it
      problem = fern::FormatFileError(probeError, path);
  }
  if (!problem.empty()) AddError(path, problem);
  close(fd);
}
