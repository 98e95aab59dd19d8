// The one reader of set entries. Each call takes the next entry from an open set stream and
// writes its data under a target folder, into the scratch folder, or nowhere.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "engine/EngineUI.h"
#include "storage/StreamFile.h"

class CEntryReader {
 public:
  // copyBuffer: 16 KiB owned by the caller, used by this transfer alone. overwriteAnswer: the
  // remembered answer to the overwrite prompt (-1 none), kept across entries by the caller.
  CEntryReader(IEngineUI& ui, char* copyBuffer, int& overwriteAnswer);

  // targetFolder: "" to write nothing, else the drive root ending in '/'. pickList: null for
  // every entry, else the stored names wanted (a picked element is replaced by its scratch
  // path). errorText: null or the reason the entry's file was not written ("" when it was).
  // name receives the stored name as UTF-8 (see DecodeStoredName), replaced by the target path when the entry goes there.
  // Returns true when the entry's data was read completely; false at the end of the set and
  // after a damaged header or data (then "error reading" has been shown once).
  bool ExtractEntry(CStreamFile& stream, std::string& name, uint32_t& size, int64_t& time,
                    const std::string& targetFolder, std::vector<std::string>* pickList,
                    std::string* errorText);

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

 private:
  // Where a picked entry's data goes when it is not written below a target folder.
  struct Output;
  bool OpenTarget(const std::string& targetFolder, const std::string& stored, int64_t time,
                  std::string& name, Output& out, std::string* errorText);
  bool OpenPicked(const std::string& pickPath, Output& out, std::string* errorText);
  void Finish(Output& out, bool complete, std::string* errorText);

  IEngineUI& m_ui;
  char* m_pCopyBuffer;
  int& m_nOverwriteAnswer;
  std::string m_strPickFolder;
  bool m_bPickReplace = false;
  std::set<std::string> m_pickWritten;  // bare names written into the pick folder
};
