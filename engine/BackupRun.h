// One backup run of the attached drive into a new set: the walk, the entries, the marks.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "engine/EngineUI.h"
#include "engine/ErrorRow.h"
#include "engine/PendingMarks.h"
#include "platform/DriveRoot.h"
#include "storage/StreamFile.h"

namespace fern {
class CArchiveMarks;
struct CFindData;
}

struct CBackupDrive {
  std::string root;    // mount point ending in '/', "" when no drive is attached
  char letter = 'E';   // the letter the drive watcher gave the volume; stored names start "E:\"
  std::string name;    // volume label, may be empty
};

class CBackupRun {
 public:
  enum class Result {
    NoSet,        // no drive, or the set file could not be created
    Done,         // a set with at least one entry was written, flushed and listed
    NoChanges,    // no entry was written; the empty set was deleted
    WriteFailed,  // writing or closing the set failed; the partial set was deleted
    DriveLost,    // the drive went during the run: the entries written so far were kept as a
                  // listed set (none: no set), no mark was cleared, and one row says so
  };

  // stop: polled between files and folders. copyBuffer: 16 KiB used by this run alone.
  CBackupRun(IEngineUI& ui, const std::atomic<bool>& stop, char* copyBuffer);
  ~CBackupRun();
  CBackupRun(const CBackupRun&) = delete;
  CBackupRun& operator=(const CBackupRun&) = delete;

  // The whole run: names the set after the backups folder, the label and the tick count,
  // counts folders, writes the entries, adds the list row or deletes the empty set, and shows
  // the error list. marksFolder: where the stand-in marks live ("" for the default place).
  Result RunBackup(const CBackupDrive& drive, bool fullBackup, const std::string& backupsFolder,
                   const std::string& marksFolder = std::string());

  // Counts the folders below and including a folder: those the walk will enter.
  void CountFolders(const std::string& folder, unsigned& count);

  // The progress range for a folder count: the bar is 16 bits wide.
  static unsigned short ProgressRange(unsigned folderCount) {
    return static_cast<unsigned short>(folderCount);
  }

  const std::string& SetPath() const { return m_strSetPath; }
  const std::vector<std::string>& ErrorFileNames() const { return m_rows.Names(); }
  const std::vector<std::string>& ErrorTexts() const { return m_rows.Texts(); }
  unsigned EntriesWritten() const { return m_nEntries; }

  // For tests: called with a file's path after its entry header went out and before its data
  // is read, so a test can change the file under the reader.
  void SetEntryHook(std::function<void(const std::string& path)> hook) { m_entryHook = std::move(hook); }

  // The set's compressing threads; 0 (the default) takes one for each core the process may use.
  void SetCompressionThreads(unsigned threads) { m_nCompressionThreads = threads; }

 private:
  using FolderId = std::pair<dev_t, ino_t>;

  // Backs up one folder's files, then its subfolders. relative: below the root, "" or "a/b/".
  void WalkFolder(CStreamFile& stream, const std::string& relative);
  // Writes one file as one entry. openPath: the file to read (a link's target); seen: the status
  // of the open file, left as it was when the file could not be opened.
  void WriteEntry(CStreamFile& stream, const std::string& path, const std::string& openPath,
                  const std::string& relative, struct stat& seen);
  void CountFoldersIn(const std::string& folder, unsigned& count, std::set<FolderId>& visited);
  // Whether a folder found by the walk is entered: a real folder of the drive's file system,
  // not seen before.
  bool MayEnter(const fern::CFindData& folder, std::set<FolderId>& visited) const;
  // Whether a link leads to a regular file on the drive; gives its resolved path and status.
  bool LinkTargetOnDrive(const std::string& linkPath, std::string& target, struct stat& st) const;
  void AddError(const std::string& path, const std::string& text);
  void NoteWriteFailure();
  bool WriteToSet(CStreamFile& stream, const void* data, unsigned length);
  // Whether the drive is gone: its root no longer the folder of the mount the run began on.
  // Once gone it stays gone for the run.
  bool DriveGone();
  // A row for a list of taken files that could not be made or written whole.
  void PendingFailed(int error);
  void ClearPendingMarks();
  void ShowErrors();

  IEngineUI& m_ui;
  const std::atomic<bool>& m_bStop;
  char* m_pCopyBuffer;
  std::string m_strSetPath;
  CErrorRow m_rows;

  CBackupDrive m_drive;
  bool m_bFullBackup = false;
  std::string m_strRootReal;  // the root resolved, without a trailing '/'
  dev_t m_rootDev = 0;
  fern::CDriveIdentity m_driveId;  // the root as the run found it
  bool m_bDriveLost = false;
  dev_t m_setDev = 0;         // the set being written, never backed up into itself
  ino_t m_setIno = 0;
  fern::CArchiveMarks* m_pMarks = nullptr;
  std::set<FolderId> m_visited;
  std::string m_strBackupsFolder;
  CPendingMarks m_pending;  // the files whose marks are cleared once the set is safely on disk
  std::set<std::string> m_restoreFiles;  // a restore's journals and the temporaries they list
  bool m_bWriteFailed = false;
  int m_nWriteError = 0;
  unsigned m_nEntries = 0;
  std::function<void(const std::string&)> m_entryHook;
  unsigned m_nCompressionThreads = 0;
};
