// Picked entries of a set written under their bare names into a folder: the scratch folder (the
// viewer's copy and open) or a folder of the user's (fernset extract). Each file is written under
// a temporary name and renamed only once complete, so a copy cut short never replaces (nor
// passes for) a good file.
#pragma once

#include <functional>
#include <set>
#include <string>
#include <vector>

#include "engine/EngineUI.h"
#include "engine/FileOutput.h"
#include "engine/SetScan.h"
#include "platform/SafeOpen.h"

class CExtractFiles : public CSetScan::Visitor {
 public:
  struct Pick {
    std::string name;     // the stored name asked for
    std::string path;     // where its entry goes ("" when its bare name is no plain name)
    bool found = false;   // an entry of the set matched it
    bool written = false; // that entry was read whole and its file written
  };

  // folder: "" for the scratch folder. Unless replaceExisting is set, a file already in a
  // folder of the user's is never replaced; either way a second picked entry of the same bare
  // name never replaces the first (both are rows).
  explicit CExtractFiles(const std::vector<std::string>& names, const std::string& folder = std::string(),
                         bool replaceExisting = false);

  // Reads the set at setPath through the one set loop ("error reading" shown on ui once).
  // stopped: asked between entries. False when the set cannot be opened.
  bool ExtractFrom(const std::string& setPath, IEngineUI& ui, char* copyBuffer,
                   const std::function<bool()>& stopped = nullptr);

  const std::vector<Pick>& Picks() const { return m_picks; }
  // Picked entries read whole whose file was not written, with the reason, in the set's order.
  const std::vector<std::string>& RowNames() const { return m_rowNames; }
  const std::vector<std::string>& RowTexts() const { return m_rowTexts; }

  bool Next() override { return !m_stopped || !m_stopped(); }
  CEntryReader::Output* Open(CEntryReader::Entry& entry) override;
  CSetScan::Step Close(CEntryReader::Entry& entry, bool whole) override;

 private:
  bool OpenFile(CEntryReader::Entry& entry, const std::string& path);

  std::vector<Pick> m_picks;
  std::string m_strFolder;
  bool m_bReplace;
  std::function<bool()> m_stopped;
  std::set<std::string> m_written;  // bare names written into a folder of the user's
  std::vector<std::string> m_rowNames, m_rowTexts;

  // The entry being written.
  int m_nPick = -1;
  fern::CFolderFd m_folder;
  std::string m_leaf, m_tempLeaf;
  std::unique_ptr<CFileOutput> m_out;
};
