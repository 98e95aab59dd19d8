// One backup run of the attached drive into a new set: the walk, the entries, the marks.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/EngineUI.h"
#include "storage/StreamFile.h"

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
  };

  // stop: polled between files and folders. copyBuffer: 16 KiB used by this run alone.
  CBackupRun(IEngineUI& ui, const std::atomic<bool>& stop, char* copyBuffer);

  // The whole run: names the set after the backups folder, the label and the tick count,
  // counts folders, writes the entries, adds the list row or deletes the empty set, and shows
  // the error list. marksFolder: where the stand-in marks live ("" for the default place).
  Result RunBackup(const CBackupDrive& drive, bool fullBackup, const std::string& backupsFolder,
                   const std::string& marksFolder = std::string());

  // Counts the folders below and including a folder.
  void CountFolders(const std::string& folder, unsigned& count);

  // The progress range for a folder count: the bar is 16 bits wide.
  static unsigned short ProgressRange(unsigned folderCount) {
    return static_cast<unsigned short>(folderCount);
  }

  const std::string& SetPath() const { return m_strSetPath; }
  const std::vector<std::string>& ErrorFileNames() const { return m_names; }
  const std::vector<std::string>& ErrorTexts() const { return m_errors; }

 private:
  IEngineUI& m_ui;
  const std::atomic<bool>& m_bStop;
  char* m_pCopyBuffer;
  std::string m_strSetPath;
  std::vector<std::string> m_names;
  std::vector<std::string> m_errors;
  // The implementation adds the walk (WalkFolder, WriteEntry) and its state here.
};
