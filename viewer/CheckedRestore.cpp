#include "viewer/CheckedRestore.h"

#include "engine/EntryReader.h"
#include "engine/RestoreRun.h"
#include "storage/CompressedFile.h"
#include "storage/ReadAheadFile.h"
#include "storage/SetFormat.h"

CCheckedRestore::CCheckedRestore(IEngineUI& ui, const std::atomic<int>& stop) : m_ui(ui), m_bStop(stop) {}

void CCheckedRestore::RestoreCheckedFiles(const std::string& setPath, const std::string& driveRoot,
                                          const fern::CDriveIdentity* driveAtOpen,
                                          std::vector<std::string>& pickList) {
  m_nOverwriteAnswer = OverwriteAnswer::None;
  if (pickList.empty()) return;  // nothing picked: reading the set would write nothing

  std::string target = driveRoot;
  if (target.back() != '/') target += '/';
  std::vector<std::string> fileNames;
  std::vector<std::string> errorTexts;
  CCompressedFile set;
  std::vector<char> copyBuffer(fern::kCopyChunk);  // this transfer's own
  CEntryReader reader(m_ui, copyBuffer.data(), m_nOverwriteAnswer);
  // Only onto the drive the viewer was opened for, while it is still mounted there; the whole
  // set is checked by a pass of its own before anything on it is replaced.
  if (reader.SetDrive(target, driveAtOpen) &&
      reader.StartVerify(setPath, [this] { return m_bStop != 0; }) &&
      set.Open(setPath.c_str(), 2)) {
    CReadAheadFile ahead(set);  // inflating overlaps writing the files
    std::string name;
    std::string errorText;
    std::string lastWhole;
    uint32_t size = 0;
    int64_t time = 0;
    while (!m_bStop && reader.ExtractEntry(ahead, name, size, time, target, &pickList, &errorText)) {
      lastWhole = name;
      if (!errorText.empty()) {
        fileNames.push_back(name);
        errorTexts.push_back(errorText);
      }
      if (m_bStop) break;
    }
    reader.FinishRestore(ahead, fileNames, errorTexts);
    if (!reader.DriveLost() && reader.SetDamaged())
      CRestoreRun::AddDamagedSetRow(setPath, lastWhole, fileNames, errorTexts);
    ahead.Close();
  } else if (reader.DriveLost()) {
    CEntryReader::NoteDriveRemoved(target, fileNames, errorTexts);
  }
  if (!fileNames.empty()) m_ui.ShowErrorList(fileNames, errorTexts);
}
