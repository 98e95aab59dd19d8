#include "viewer/CheckedRestore.h"

#include "engine/RestoreRun.h"
#include "storage/SetFormat.h"

CCheckedRestore::CCheckedRestore(IEngineUI& ui, const std::atomic<int>& stop) : m_ui(ui), m_bStop(stop) {}

void CCheckedRestore::RestoreCheckedFiles(const std::string& setPath, const std::string& driveRoot,
                                          const fern::CDriveIdentity* driveAtOpen,
                                          std::vector<std::string>& pickList) {
  m_nOverwriteAnswer = OverwriteAnswer::None;
  if (pickList.empty()) return;  // nothing picked: reading the set would write nothing

  std::vector<char> copyBuffer(fern::kCopyChunk);  // this transfer's own
  // Only onto the drive the viewer was opened for, while it is still mounted there; the whole
  // set is checked by a pass of its own before anything on it is replaced.
  CRestoreRun run(m_ui, [this] { return m_bStop != 0; }, copyBuffer.data(), m_nOverwriteAnswer, nullptr);
  if (driveAtOpen && driveAtOpen->valid) run.SetExpectedDrive(*driveAtOpen);
  run.RestoreSet(setPath, driveRoot, &pickList);
}
