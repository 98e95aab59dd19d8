// The one reader of set entries. Each call takes the next entry from an open set stream and
// writes its data under a target folder, into the scratch folder, or nowhere.
//
// A restore never leaves the drive worse than before. Each file is written under a short
// temporary name in its folder (created with O_EXCL) and put in place by a rename only once it
// is complete, its data is on the medium and it is known to come from a set whose gzip check
// passed: either VerifySet read the whole set first and the entry's digest matches, or the
// set's end has been read with its check passed. Until then the earlier file stays untouched.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "engine/EngineUI.h"
#include "engine/RestoreJournal.h"
#include "platform/DriveRoot.h"
#include "storage/StreamFile.h"

class CEntryReader {
 public:
  // How restored files reach the medium before an earlier copy is let go. PerSet: one syncfs
  // of the drive for each batch of files (and each file by itself on FUSE, where syncfs may
  // not reach the daemon); PerFile: fdatasync of every file; None: no flush (measurements).
  enum class Flush { PerSet, PerFile, None };

  // copyBuffer: 16 KiB owned by the caller, used by this transfer alone. overwriteAnswer: the
  // remembered answer to the overwrite prompt (None: none), kept across entries by the caller.
  CEntryReader(IEngineUI& ui, char* copyBuffer, OverwriteAnswer& overwriteAnswer);
  ~CEntryReader();
  CEntryReader(const CEntryReader&) = delete;
  CEntryReader& operator=(const CEntryReader&) = delete;

  // targetFolder: "" to write nothing, else the drive root ending in '/'. pickList: null for
  // every entry, else the stored names wanted (a picked element is replaced by its scratch
  // path). errorText: null or the reason the entry's file was not written ("" when it was).
  // name receives the stored name as UTF-8 (see DecodeStoredName), replaced by the target path
  // when the entry goes there.
  // Returns true when the entry's data was read completely; false at the end of the set,
  // after a damaged header or data (then "error reading" has been shown once), and once the
  // drive is gone (DriveLost(); nothing is shown, the caller ends as for a cancel).
  bool ExtractEntry(CStreamFile& stream, std::string& name, uint32_t& size, int64_t& time,
                    const std::string& targetFolder, std::vector<std::string>* pickList,
                    std::string* errorText);

  // A first pass over the whole set that writes nothing: records each entry's digest and
  // learns whether the set's check passes. False for a damaged set ("error reading" shown).
  // The caller then opens the set again for the restore itself: with a good set files are put
  // in place batch by batch as it goes; with a damaged one only files that did not exist are
  // written (each named in the error list) and existing ones are kept (also named), up to the
  // entry where this pass stopped. stopped: asked between entries; true ends the pass at once
  // (false returned, nothing shown) and the caller restores nothing.
  bool VerifySet(CStreamFile& stream, const std::function<bool()>& stopped = nullptr);

  // The same pass on a thread of its own, over its own stream of the set at setPath, while the
  // caller opens the set again and restores. The thread starts at the first file that would
  // replace an earlier one; a restore that replaces nothing needs no second reading of the set
  // (its new files are named should its own reading meet damage). Files that replace one wait
  // under their temporary names; whenever a batch must be put in place (and at the end) the
  // pass is waited for and its result applied, so nothing earlier is replaced before the set's
  // check passed and the entry's digest matched. A stop drops every file still waiting. False
  // when the set cannot be opened (nothing runs then).
  bool StartVerify(const std::string& setPath, std::function<bool()> stopped);

  // The drive a restore writes to. expected: the drive as the caller saw it when its restore
  // (or its window) started; null takes it as it is now. Without this call the first target
  // folder is taken. False (errno set) when it cannot be opened or is not that drive.
  bool SetDrive(const std::string& root, const fern::CDriveIdentity* expected = nullptr);
  // True once the drive was found gone or changed; nothing is written from then on.
  bool DriveLost() const { return m_bDriveLost; }
  // True once damage was found in the set, by the reading or by the checking pass: entries from
  // there on were not read.
  bool SetDamaged() const { return m_bDamaged || m_state == SetState::Damaged; }

  // Ends a restore: reads the rest of a set that was not verified (to learn whether its check
  // passes), puts the written files in place or drops them, flushes the drive, and appends the
  // rows of files that need the user's attention to the two lists.
  void FinishRestore(CStreamFile& stream, std::vector<std::string>& fileNames,
                     std::vector<std::string>& errorTexts);

  void SetFlush(Flush flush) { m_flush = flush; }

  // Creates every folder on the way to a file; failures are ignored.
  static void CreateFolderChain(const std::string& path);

  // Picked entries without a target folder go into this folder (under their bare names)
  // instead of the scratch folder; "" (the default) is the scratch folder. Unless
  // replaceExisting is set, a file already there is never replaced; either way, a second picked
  // entry of the same bare name never replaces the first (both are error rows).
  void SetPickFolder(const std::string& folder, bool replaceExisting = false) {
    m_strPickFolder = folder;
    m_bPickReplace = replaceExisting;
    m_pickWritten.clear();
  }

  // The prefix of the temporary names restored files are written under.
  static const char* TempPrefix();

  // The rows of a restore whose drive was removed: rows naming a temporary name go, and one row
  // naming the drive root says what happened. FinishRestore does this itself once the drive is
  // found gone; a caller that found it gone otherwise calls it.
  static void NoteDriveRemoved(const std::string& root, std::vector<std::string>& fileNames,
                               std::vector<std::string>& errorTexts);

 private:
  struct Output;
  enum class SetState { Unverified, Good, Damaged };
  // A complete file under its temporary name, waiting to be put in place.
  struct Pending {
    std::shared_ptr<fern::CFolderFd> folder;
    std::string folderRel;  // relative to the drive root
    std::string tempLeaf, leaf, path;
    bool replace = false;   // an earlier file is there
    bool verified = false;  // the entry matched the verifying pass of a good set
    size_t index = 0;       // the entry's place in the set
    uint32_t digest = 0;    // of the entry as written
    uint64_t bytes = 0;
  };
  // A new file put in place while the set was still being checked.
  struct PlacedEarly {
    std::string path;
    size_t index = 0;
    uint32_t digest = 0;
  };
  // What the verifying thread hands over; touched by that thread alone until it is joined.
  struct VerifyResult {
    std::vector<uint32_t> digests;
    SetState state = SetState::Unverified;  // Unverified: stopped before the end
  };

  bool OpenTarget(const std::string& targetFolder, const std::string& stored, int64_t time,
                  uint32_t size, std::string& name, Output& out, std::string* errorText);
  bool OpenPicked(const std::string& pickPath, Output& out, std::string* errorText);
  void Finish(Output& out, bool complete, std::string* errorText);
  void FinishTarget(Output& out, bool complete, bool digestOk, size_t index, uint32_t digest,
                    std::string* errorText);
  bool CheckDrive(const std::string& targetFolder);
  void ReportDamage();
  // Reads the set, recording digests; buffer is the reader's own 16 KiB.
  static VerifyResult ReadDigests(CStreamFile& stream, char* buffer,
                                  const std::function<bool()>& stopped);
  void ApplyVerify(VerifyResult& result);
  // Starts the verifying thread StartVerify prepared, unless it runs already.
  void LaunchVerify();
  // Waits for the verifying thread, if one runs, and applies its result; one prepared but not
  // started is let go.
  void JoinVerify();
  // The entry being read lies beyond what the set's checks allow to be written.
  bool Beyond() const { return m_bDamaged || (m_state == SetState::Damaged && m_nEntry > m_digests.size()); }
  // Puts pending files in place (or drops them) by the rules above; final: the set has been
  // read to its end or its damage, nothing stays pending.
  // forRoom: the drive is short of room, so files waiting for a running check wait for it now.
  void CommitPending(bool final, bool forRoom = false);
  // While the set is checked: too many files wait (or their folders held open) to go on.
  bool TooManyWaiting() const;
  // False when the file could not be put in place (a row says why).
  bool Place(Pending& p, const char* note);
  // While the set is still being checked: puts the pending files that replace nothing in place.
  void PlaceNewFilesEarly();
  void Later(const std::string& path, const std::string& text);
  // Removes a temporary file (leaf, in the folder of path); one that stays is named in a row.
  void DropTemp(int folderFd, const std::string& leaf, const std::string& path);
  // Removes what interrupted restores left on the drive just opened.
  void CleanDrive();
  // True (and DriveLost() from then on) once the drive is no longer mounted where it was.
  bool Gone();
  // A temporary name for a file in folder (relative to the root), listed in the journal (made
  // at the first) before it is handed out. False with errno.
  bool TakeTempName(const std::string& folder, std::string& leaf);
  // Closes the journal: removed when nothing it lists is left on the drive.
  void EndJournal();

  IEngineUI& m_ui;
  char* m_pCopyBuffer;
  OverwriteAnswer& m_nOverwriteAnswer;
  std::string m_strPickFolder;
  bool m_bPickReplace = false;
  std::set<std::string> m_pickWritten;  // bare names written into the pick folder

  Flush m_flush = Flush::PerSet;
  fern::CDriveRoot m_drive;
  bool m_bDriveLost = false;
  int m_nDriveError = 0;  // why the drive root could not be opened
  SetState m_state = SetState::Unverified;
  std::vector<uint32_t> m_digests;  // of the verifying pass, one per entry read in full
  size_t m_nEntry = 0;              // entries read so far by ExtractEntry
  bool m_bEnded = false;            // the set's end was read, its check passed
  bool m_bDamaged = false;          // damage met by ExtractEntry
  bool m_bDamageShown = false;      // "error reading" has been shown
  bool m_bPlaced = false;           // a file was put in place since the last flush
  std::vector<Pending> m_pending;
  uint64_t m_nPendingBytes = 0;
  size_t m_nPendingNew = 0;  // pending files that replace nothing, while the set is checked
  uint64_t m_nPendingNewBytes = 0;
  size_t m_nMaxFolders;  // folders of pending files held open, at most
  std::map<std::string, std::shared_ptr<fern::CFolderFd>> m_folders;  // of the pending batch
  std::vector<std::string> m_laterNames, m_laterTexts;

  CRestoreJournal m_journal;
  // Temporary names listed in the journal and not yet used, per folder.
  struct Reserved {
    std::vector<std::string> names;
    size_t batch = 0;
  };
  std::map<std::string, Reserved> m_reserved;
  bool m_bLeftBehind = false;  // a listed file stays on the drive: the journal must stay too

  // The verifying thread and what only it touches while it runs.
  std::thread m_verifier;
  std::unique_ptr<CStreamFile> m_verifyStream;  // set from StartVerify until the join
  bool m_bVerifyLaunched = false;
  std::vector<char> m_verifyBuffer;
  std::function<bool()> m_verifyStopped;
  std::atomic<bool> m_bAbandon{false};  // the reader goes away: the thread ends at once
  VerifyResult m_verifyResult;
  bool m_bVerifyStopped = false;  // the pass ended on a stop: nothing is put in place
  std::vector<PlacedEarly> m_placedEarly;  // to be named should the check fail
};
