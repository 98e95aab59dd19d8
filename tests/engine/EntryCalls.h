// Reads a set through the engine's one set loop as each of its users does (the viewer's load,
// an extraction of picked entries into a folder, a restore of every or of picked entries) and
// records what became of each entry: one record per entry reached, and a last one (more false,
// no name) when the set ended or its damage came between two entries.
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "engine/ExtractFiles.h"
#include "engine/RestoreBatch.h"
#include "engine/RestoreTarget.h"
#include "engine/SetScan.h"

namespace restore_test {

struct EntryCall {
  bool more = false;        // the entry was read whole and the set goes on
  std::string name, error;  // the target path of a restored entry, else its stored name
  uint64_t size = 0;
  int64_t time = 0;
};

class CEntryCalls : public CSetScan::Visitor {
 public:
  // target: "" or the drive root a restore writes to. picks: null for every entry, else the
  // stored names wanted; with no target they go into pickFolder ("" the scratch folder) and
  // each element becomes the path its entry went to.
  static std::vector<EntryCall> Read(IEngineUI& ui, char* buffer, OverwriteAnswer& answer, const std::string& set,
                                     const std::string& target, std::vector<std::string>* picks,
                                     const std::string& pickFolder = std::string(),
                                     std::vector<std::string>* laterNames = nullptr,
                                     std::vector<std::string>* laterTexts = nullptr,
                                     const std::string& verifySet = std::string(),
                                     std::function<bool()> verifyStopped = nullptr,
                                     std::function<bool()> stopped = nullptr) {
    CSetScan scan(&ui, buffer);
    if (!scan.Open(set)) return {};
    CRestoreTarget drive(ui, answer);
    if (!target.empty() && !drive.SetDrive(target)) return {};
    CRestoreBatch batch(drive, scan, CRestoreBatch::Flush::PerSet);
    // A restore with a checking pass beside it (of verifySet, the set itself or another).
    if (!verifySet.empty() && !batch.StartVerify(verifySet, std::move(verifyStopped))) return {};
    CExtractFiles extract(picks != nullptr ? *picks : std::vector<std::string>(), pickFolder);
    CEntryCalls calls(target.empty() ? nullptr : &batch, picks, picks != nullptr && target.empty() ? &extract : nullptr);
    calls.m_stopped = std::move(stopped);
    scan.Run(calls);
    if (calls.m_calls.empty() || calls.m_calls.back().more) calls.m_calls.push_back(EntryCall());
    std::vector<std::string> names, texts;
    if (!target.empty()) batch.Finish(names, texts);
    if (laterNames != nullptr) *laterNames = names;
    if (laterTexts != nullptr) *laterTexts = texts;
    if (calls.m_pExtract != nullptr)
      for (size_t i = 0; i < picks->size(); ++i)
        if (extract.Picks()[i].found) (*picks)[i] = extract.Picks()[i].path;
    scan.Close();
    return calls.m_calls;
  }

  CEntryReader::Output* Open(CEntryReader::Entry& entry) override {
    if (m_pExtract != nullptr) return m_pExtract->Open(entry);
    if (m_pBatch == nullptr) return nullptr;
    const bool wanted = m_bAll;
    const int pick = CEntryReader::FindPick(m_picks, entry.name);
    if (pick >= 0) m_picks.erase(m_picks.begin() + pick);
    return m_pBatch->Open(entry, wanted || pick >= 0);
  }
  CSetScan::Step Close(CEntryReader::Entry& entry, bool whole) override {
    CSetScan::Step step = CSetScan::Step::Go;
    if (m_pExtract != nullptr) step = m_pExtract->Close(entry, whole);
    if (m_pBatch != nullptr) step = m_pBatch->Close(entry, whole);
    m_calls.push_back({whole && step == CSetScan::Step::Go, entry.name, entry.error, entry.size, entry.time});
    return step;
  }
  bool Next() override {
    if (m_stopped && m_stopped()) return false;
    return m_pBatch == nullptr || m_pBatch->Next();
  }
  bool Ended() override { return m_pBatch == nullptr || m_pBatch->Ended(); }

 private:
  CEntryCalls(CRestoreBatch* batch, std::vector<std::string>* picks, CExtractFiles* extract)
      : m_pBatch(batch), m_pExtract(extract), m_bAll(picks == nullptr) {
    if (picks != nullptr) m_picks = *picks;
  }

  CRestoreBatch* m_pBatch;
  CExtractFiles* m_pExtract;
  bool m_bAll;
  std::vector<std::string> m_picks;
  std::vector<EntryCall> m_calls;
  std::function<bool()> m_stopped;  // asked before each entry
};

}  // namespace restore_test
