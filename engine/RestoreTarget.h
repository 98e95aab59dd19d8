// The drive a restore writes to: its root held open (and checked for being the same drive,
// still mounted there), the folders of the files being written, the overwrite rules, the
// temporary names files are written under (each listed in the drive's journal before it is
// used), and the rows about files that need the user's attention.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "engine/EngineUI.h"
#include "engine/RestoreJournal.h"
#include "platform/DriveRoot.h"
#include "platform/SafeOpen.h"

class CRestoreTarget {
 public:
  // Where an entry's file goes on the drive.
  struct File {
    std::shared_ptr<fern::CFolderFd> folder;
    std::string folderRel;  // relative to the drive root
    std::string leaf;
    std::string path;       // for rows and error texts
    bool exists = false;    // an earlier file is there
  };

  // overwriteAnswer: the remembered answer to the overwrite prompt, kept across entries.
  CRestoreTarget(IEngineUI& ui, OverwriteAnswer& overwriteAnswer) : m_ui(ui), m_nOverwriteAnswer(overwriteAnswer) {}
  CRestoreTarget(const CRestoreTarget&) = delete;
  CRestoreTarget& operator=(const CRestoreTarget&) = delete;

  // expected: the drive as the caller saw it when its restore (or its window) started; null
  // takes it as it is now. False (errno set, Lost() true) when it cannot be opened or is not
  // that drive. What interrupted restores left on it is dealt with first.
  bool SetDrive(const std::string& root, const fern::CDriveIdentity* expected = nullptr);
  const fern::CDriveRoot& Drive() const { return m_drive; }
  // True once the drive was found gone or changed; nothing is written from then on.
  bool Lost() const { return m_bLost; }
  void Abandon() { m_bLost = true; }
  // True (and Lost() from then on) once the drive is no longer mounted where it was.
  bool Gone();

  // The file for an entry of that stored name and time, by the overwrite rules (a newer file
  // asks the user, a read-only one, a link, a folder or a device is never replaced). False with
  // error set (or empty when the user said No).
  bool Locate(const std::string& stored, int64_t time, File& file, std::string& error);
  // A new file under a temporary name in file's folder, open for writing; -1 with errno.
  int CreateTemp(const File& file, std::string& tempLeaf);
  // The folders of waiting files held open, and letting them go.
  size_t OpenFolders() const { return m_folders.size(); }
  void ReleaseFolders() { m_folders.clear(); }

  CRestoreJournal& Journal() { return m_journal; }
  // A file the journal lists stays on the drive: the journal must stay too.
  void NoteLeftBehind() { m_bLeftBehind = true; }
  // Closes the journal: removed when nothing it lists is left on the drive.
  void EndJournal(bool nothingWaits);

  // A row for the end of the restore.
  void Later(const std::string& path, const std::string& text);
  void TakeRows(std::vector<std::string>& fileNames, std::vector<std::string>& errorTexts);

  // The rows of a restore whose drive was removed: rows naming a temporary name go, and one row
  // naming the drive root says what happened.
  static void NoteDriveRemoved(const std::string& root, std::vector<std::string>& fileNames,
                               std::vector<std::string>& errorTexts);

 private:
  // A temporary name for a file in folder (relative to the root), listed in the journal (made
  // at the first) before it is handed out. False with errno.
  bool TakeTempName(const std::string& folder, std::string& leaf);

  IEngineUI& m_ui;
  OverwriteAnswer& m_nOverwriteAnswer;
  fern::CDriveRoot m_drive;
  bool m_bLost = false;
  std::map<std::string, std::shared_ptr<fern::CFolderFd>> m_folders;  // of the waiting files
  CRestoreJournal m_journal;
  // Temporary names listed in the journal and not yet used, per folder.
  struct Reserved {
    std::vector<std::string> names;
    size_t batch = 0;
  };
  std::map<std::string, Reserved> m_reserved;
  bool m_bLeftBehind = false;
  std::vector<std::string> m_laterNames, m_laterTexts;
};
