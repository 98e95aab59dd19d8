#include "engine/RestoreRun.h"

#include "engine/ErrorRow.h"
#include "engine/RestoreTarget.h"
#include "engine/SetScan.h"
#include "storage/SetFormat.h"

namespace {

const char kOtherDriveQuestion[] =
    "The selected backup set is not from the currently attached USB Flash Drive. Do you want to "
    "restore it to this flash drive anyway?";

}  // namespace

// The restore's side of the set loop: which entries are wanted, the rows, the cap, the stop.
class CRestoreRun::CEntries : public CSetScan::Visitor {
 public:
  CEntries(CRestoreRun& run, CRestoreBatch& batch, const std::string& driveRoot, const std::vector<std::string>* picks)
      : m_run(run), m_batch(batch), m_root(driveRoot), m_bAll(picks == nullptr) {
    if (picks != nullptr) m_picks = *picks;
  }
  bool Next() override {
    return !rows.Full() && !m_run.m_stopped() && m_run.DriveStillThere(m_root) && m_batch.Next();
  }
  CEntryReader::Output* Open(CEntryReader::Entry& entry) override {
    bool wanted = m_bAll;
    const int pick = CEntryReader::FindPick(m_picks, entry.name);
    if (pick >= 0) {
      wanted = true;
      m_picks.erase(m_picks.begin() + pick);  // a later entry of that name is not picked
    }
    m_counted.Begin(m_batch.Open(entry, wanted));
    return m_counted.Target() != nullptr ? &m_counted : nullptr;
  }
  CSetScan::Step Close(CEntryReader::Entry& entry, bool whole) override {
    const CSetScan::Step step = m_batch.Close(entry, whole);
    if (step != CSetScan::Step::Go) return step;
    lastWhole = entry.name;
    m_run.m_ui.SetInfoText(entry.name);
    // The rest of an entry that was not written (kept, not picked) counts as done too.
    if (entry.size > m_counted.Bytes()) m_run.m_ui.AddBytesDone(entry.size - m_counted.Bytes());
    if (!entry.error.empty()) rows.Add(entry.name, entry.error);
    return step;
  }
  bool Ended() override { return m_batch.Ended(); }

  CErrorRow rows;
  std::string lastWhole;

 private:
  // The data of an entry as it goes to the drive, told to the user interface chunk by chunk, so a
  // large file shows progress too.
  class CCountedOutput : public CEntryReader::Output {
   public:
    explicit CCountedOutput(IEngineUI& ui) : m_ui(ui) {}
    void Begin(CEntryReader::Output* target) {
      m_pTarget = target;
      m_nBytes = 0;
    }
    CEntryReader::Output* Target() const { return m_pTarget; }
    uint64_t Bytes() const { return m_nBytes; }
    void Write(const char* data, unsigned length) override {
      m_pTarget->Write(data, length);
      m_nBytes += length;
      m_ui.AddBytesDone(length);
    }

   private:
    IEngineUI& m_ui;
    CEntryReader::Output* m_pTarget = nullptr;
    uint64_t m_nBytes = 0;
  };

  CRestoreRun& m_run;
  CRestoreBatch& m_batch;
  CCountedOutput m_counted{m_run.m_ui};
  const std::string& m_root;
  bool m_bAll;
  std::vector<std::string> m_picks;
};

CRestoreRun::CRestoreRun(IEngineUI& ui, std::function<bool()> stopped, char* copyBuffer,
                         OverwriteAnswer& overwriteAnswer, std::function<std::string()> driveRootNow)
    : m_ui(ui),
      m_stopped(std::move(stopped)),
      m_pCopyBuffer(copyBuffer),
      m_nOverwriteAnswer(overwriteAnswer),
      m_driveRootNow(std::move(driveRootNow)) {}

void CRestoreRun::AddDamagedSetRow(const std::string& setPath, const std::string& lastWhole,
                                   std::vector<std::string>& fileNames, std::vector<std::string>& errorTexts) {
  const std::string text =
      lastWhole.empty() ? std::string("The backup set is damaged: none of its files could be read.")
                        : "The backup set is damaged: the files stored after " + lastWhole + " could not be read.";
  fileNames.insert(fileNames.begin(), setPath);
  errorTexts.insert(errorTexts.begin(), text);
}

bool CRestoreRun::DriveStillThere(const std::string& driveRoot) {
  if (m_bDriveChanged) return false;
  if (m_driveRootNow && m_driveRootNow() != driveRoot) m_bDriveChanged = true;
  return !m_bDriveChanged;
}

void CRestoreRun::RestoreSelectedSets(const std::vector<CSetRow>& selectedRows,
                                      const std::string& driveName, const std::string& driveRoot) {
  m_bDriveChanged = false;
  // Every set goes to this very drive: same device and folder, still mounted at its root.
  if (!fern::IdentifyFolder(driveRoot, m_driveAtStart)) {
    m_bDriveChanged = true;
    return;
  }
  for (const CSetRow& row : selectedRows) {
    if (m_stopped()) break;
    // Entries must stay on the drive the run started on.
    if (!DriveStillThere(driveRoot)) break;
    if (!fern::EqualsIgnoringCase(row.driveName, driveName) &&
        !m_ui.AskYesNo(kOtherDriveQuestion))
      continue;
    RestoreSet(row.setPath, driveRoot);
  }
}

bool CRestoreRun::RestoreSet(const std::string& setPath, const std::string& driveRoot,
                             const std::vector<std::string>* picks) {
  m_nOverwriteAnswer = OverwriteAnswer::None;
  // Without a drive every entry would land relative to the current folder.
  if (driveRoot.empty()) return false;
  // Inflating the set overlaps writing the files.
  CSetScan scan(&m_ui, m_pCopyBuffer);
  if (!scan.Open(setPath, true)) return false;

  CRestoreTarget target(m_ui, m_nOverwriteAnswer);
  if (!target.SetDrive(driveRoot, m_driveAtStart.valid ? &m_driveAtStart : nullptr)) {
    m_bDriveChanged = true;
    std::vector<std::string> fileNames, errorTexts;
    CRestoreTarget::NoteDriveRemoved(driveRoot, fileNames, errorTexts);
    m_ui.ShowErrorList(fileNames, errorTexts);
    return true;
  }
  CRestoreBatch batch(target, scan, m_flush);
  // The whole set is checked by a pass of its own beside the restore: a set that fails its
  // check never replaces a file on the drive.
  if (!batch.StartVerify(setPath, m_stopped)) return true;

  CEntries entries(*this, batch, driveRoot, picks);
  scan.Run(entries);
  const bool capped = entries.rows.Full();
  std::vector<std::string>& fileNames = entries.rows.Names();
  std::vector<std::string>& errorTexts = entries.rows.Texts();
  batch.Finish(fileNames, errorTexts);
  if (target.Lost())
    m_bDriveChanged = true;
  else if (m_bDriveChanged)
    CRestoreTarget::NoteDriveRemoved(driveRoot, fileNames, errorTexts);
  else if (batch.SetDamaged())
    AddDamagedSetRow(setPath, entries.lastWhole, fileNames, errorTexts);
  if (capped) entries.rows.AddClosingRow();
  scan.Close();
  m_ui.RefreshDriveInfo();
  if (!fileNames.empty()) m_ui.ShowErrorList(fileNames, errorTexts);
  return true;
}
