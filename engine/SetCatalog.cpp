#include "engine/SetCatalog.h"

#include <cstdint>

#include "storage/SetFormat.h"

namespace fern {

namespace {

std::string LowerAscii(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

}  // namespace

CSetCatalog::CSetCatalog(const std::string& backupsFolder) {
  if (backupsFolder.empty()) return;
  std::vector<CFindData> found;
  FindFiles(backupsFolder, AllSetsPattern(), found);
  for (CFindData& file : found) {
    if (file.name == "." || file.name == "..") continue;
    CCatalogEntry entry;
    uint32_t tick = 0;
    entry.isSet = !file.isDir && !file.isLink && file.isRegular &&
                  ParseSetName(file.name, entry.label, tick, entry.full);
    if (entry.isSet) entry.label = LowerAscii(entry.label);
    entry.file = std::move(file);
    m_entries.push_back(std::move(entry));
  }
}

std::vector<const CCatalogEntry*> CSetCatalog::Sets() const { return SetsMatching(AllSetsPattern()); }

std::vector<const CCatalogEntry*> CSetCatalog::SetsMatching(const std::string& pattern) const {
  std::vector<const CCatalogEntry*> sets;
  for (const CCatalogEntry& entry : m_entries)
    if (entry.isSet && MatchesPattern(entry.file.name, pattern)) sets.push_back(&entry);
  return sets;
}

}  // namespace fern
