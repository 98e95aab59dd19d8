// The files of one restore on their way to the drive, and the rules that say when they may take
// their names.
//
// A restore never leaves the drive worse than before. Each file is written under a temporary
// name in its folder (see CRestoreTarget) and takes its name by a rename only once it is
// complete and its data is on the medium. A new file (nothing was at its name) goes in place a
// batch at a time as the restore goes, before the set's check has passed: nothing earlier rests
// on it, and should the check fail it is named in the error list. A file that replaces an
// earlier one waits under its temporary name until the checking pass (CVerifyPass, started at
// the first such file) has read the whole set: it goes in place only when the set's check passed
// and the entry's digest matched; until then the earlier file stays untouched. A damaged set
// writes only new files (each named) up to the entry where the damage starts.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "engine/EntryReader.h"
#include "engine/FileOutput.h"
#include "engine/PlaceFile.h"
#include "engine/RestoreTarget.h"
#include "engine/SetScan.h"
#include "engine/VerifyPass.h"
#include "engine/WaitingFile.h"

class CRestoreBatch {
 public:
  // How restored files reach the medium before an earlier copy is let go. PerSet: one syncfs
  // of the drive for each batch of files (and each file by itself on FUSE, where syncfs may
  // not reach the daemon); PerFile: fdatasync of every file; None: no flush (measurements).
  enum class Flush { PerSet, PerFile, None };

  // scan: the restore's own reading of the set, at setPath.
  CRestoreBatch(CRestoreTarget& target, CSetScan& scan, Flush flush);
  ~CRestoreBatch();  // an unfinished restore puts nothing more in place; its temporaries go
  CRestoreBatch(const CRestoreBatch&) = delete;
  CRestoreBatch& operator=(const CRestoreBatch&) = delete;

  // Makes the checking pass ready over a stream of its own; it starts at the first file that
  // would replace an earlier one. False when the set cannot be opened.
  bool StartVerify(const std::string& setPath, std::function<bool()> stopped);

  // The steps of the restore's scan. Next: whether the next entry may be read at all (the
  // drive is still there, the set's checks allow it). Open: the file an entry's data goes to
  // (wanted: false for an entry the caller does not restore, read for its digest alone);
  // entry.name becomes the target path, entry.error why nothing is written. Close: after the
  // data. Ended: the set's end was read.
  bool Next();
  CEntryReader::Output* Open(CEntryReader::Entry& entry, bool wanted);
  CSetScan::Step Close(CEntryReader::Entry& entry, bool whole);
  bool Ended();

  // Ends the restore: reads the rest of a set that was not checked (whether its check passes),
  // puts the waiting files in place or drops them, flushes the drive, and appends the rows of
  // files that need the user's attention.
  void Finish(std::vector<std::string>& fileNames, std::vector<std::string>& errorTexts);

  // True once damage was found in the set, by the reading or by the checking pass.
  bool SetDamaged() const { return ReadDamaged() || m_state == CVerifyPass::State::Damaged; }

 private:
  // A new file put in place while the set was still being checked.
  struct PlacedEarly {
    std::string path;
    size_t index = 0;
    uint32_t digest = 0;
  };

  bool ReadDamaged() const { return m_bMismatch || m_scan.Damaged(); }
  // The entry being read lies beyond what the set's checks allow to be written.
  bool Beyond() const {
    return ReadDamaged() || (m_state == CVerifyPass::State::Damaged && m_nEntry > m_digests.size());
  }
  void LaunchVerify();
  // Waits for the checking pass, if one runs, and applies its result.
  void JoinVerify();
  void ApplyVerify(CVerifyPass::Result& result);
  void Keep(CFileOutput& out, const CEntryReader::Entry& entry);
  // Puts waiting files in place (or drops them) by the rules above; final: the set has been
  // read to its end or its damage, nothing stays waiting. forRoom: the drive is short of room,
  // so files waiting for a running check wait for it now.
  void CommitPending(bool final, bool forRoom = false);
  // While the set is checked: too many files wait (or their folders held open) to go on.
  bool TooManyWaiting() const;
  // While the set is still being checked: puts the waiting files that replace nothing in place.
  void PlaceNewFilesEarly();
  void DropAll(std::vector<CWaitingFile>& files);

  CRestoreTarget& m_target;
  CSetScan& m_scan;
  CPlaceFile m_place;
  Flush m_flush;
  size_t m_nMaxFolders;  // folders of waiting files held open, at most

  CVerifyPass m_pass;
  CVerifyPass::State m_state = CVerifyPass::State::Unverified;
  std::vector<uint32_t> m_digests;  // of the checking pass, one per entry read in full
  bool m_bVerifyStopped = false;    // the pass ended on a stop: nothing is put in place
  bool m_bMismatch = false;         // an entry differs from the checked set
  bool m_bOverrun = false;          // the entry read lies past the end of the checked set
  size_t m_nEntry = 0;              // entries whose header was read

  // The entry being written.
  std::unique_ptr<CFileOutput> m_out;
  CRestoreTarget::File m_file;
  std::string m_tempLeaf;
  bool m_bReplace = false;

  std::vector<CWaitingFile> m_pending;
  // Folder and name of every file that may still wait (some may have gone since): a restore
  // over thousands of waiting files looks each new name up here, not along the whole list.
  std::unordered_set<std::string> m_waitingNames;
  uint64_t m_nPendingBytes = 0;
  size_t m_nPendingNew = 0;  // waiting files that replace nothing, while the set is checked
  uint64_t m_nPendingNewBytes = 0;
  std::vector<PlacedEarly> m_placedEarly;  // to be named should the check fail
};
