#include "engine/RestoreRun.h"


#include <cstdint>

#include "engine/EntryReader.h"
#include "storage/CompressedFile.h"
#include "storage/ReadAheadFile.h"
#include "storage/SetFormat.h"

namespace {

const char kOtherDriveQuestion[] =
    "The selected backup set is not from the currently attached USB Flash Drive. Do you want to "
    "restore it to this flash drive anyway?";
constexpr int kMaxErrors = 1000;

}  // namespace

CRestoreRun::CRestoreRun(IEngineUI& ui, const std::atomic<bool>& stop, char* copyBuffer,
                         OverwriteAnswer& overwriteAnswer, std::function<std::string()> driveRootNow)
    : m_ui(ui),
      m_bStop(stop),
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
    if (m_bStop.load()) break;
    // Entries must stay on the drive the run started on.
    if (!DriveStillThere(driveRoot)) break;
    if (!fern::EqualsIgnoringCase(row.driveName, driveName) &&
        !m_ui.AskYesNo(kOtherDriveQuestion))
      continue;
    RestoreSet(row.setPath, driveRoot);
  }
}

bool CRestoreRun::RestoreSet(const std::string& setPath, const std::string& driveRoot) {
  m_nOverwriteAnswer = OverwriteAnswer::None;
  // Without a drive every entry would land relative to the current folder.
  if (driveRoot.empty()) return false;
  CCompressedFile set;
  if (!set.Open(setPath.c_str(), 2)) return false;

  CEntryReader reader(m_ui, m_pCopyBuffer, m_nOverwriteAnswer);
  reader.SetFlush(m_flush);
  if (!reader.SetDrive(driveRoot, m_driveAtStart.valid ? &m_driveAtStart : nullptr)) {
    m_bDriveChanged = true;
    set.Close();
    std::vector<std::string> fileNames, errorTexts;
    CEntryReader::NoteDriveRemoved(driveRoot, fileNames, errorTexts);
    m_ui.ShowErrorList(fileNames, errorTexts);
    return true;
  }
  // The whole set is checked by a pass of its own beside the restore: a set that fails its
  // check never replaces a file on the drive.
  if (!reader.StartVerify(setPath, [this] { return m_bStop.load(); })) {
    set.Close();
    return true;
  }

  // Inflating the set overlaps writing the files.
  CReadAheadFile ahead(set);
  std::vector<std::string> fileNames, errorTexts;
  int errorCount = 0;
  std::string name, errorText, lastWhole;
  uint32_t size = 0;
  int64_t time = 0;
  bool more = !m_bStop.load() && DriveStillThere(driveRoot) &&
              reader.ExtractEntry(ahead, name, size, time, driveRoot, nullptr, &errorText);
  while (more) {
    lastWhole = name;
    m_ui.SetInfoText(name);
    if (!errorText.empty()) {
      ++errorCount;
      fileNames.push_back(name);
      errorTexts.push_back(errorText);
    }
    if (errorCount >= kMaxErrors) break;
    if (m_bStop.load()) break;
    if (!DriveStillThere(driveRoot)) break;
    more = reader.ExtractEntry(ahead, name, size, time, driveRoot, nullptr, &errorText);
  }
  reader.FinishRestore(ahead, fileNames, errorTexts);
  if (reader.DriveLost())
    m_bDriveChanged = true;
  else if (m_bDriveChanged)
    CEntryReader::NoteDriveRemoved(driveRoot, fileNames, errorTexts);
  else if (reader.SetDamaged())
    AddDamagedSetRow(setPath, lastWhole, fileNames, errorTexts);
  if (errorCount >= kMaxErrors) {
    fileNames.push_back("<Exceeded Maximum number of Errors>");
    errorTexts.push_back("<Cancelling operation>");
  }
  ahead.Close();
  m_ui.RefreshDriveInfo();
  if (!fileNames.empty()) m_ui.ShowErrorList(fileNames, errorTexts);
  return true;
}
