#include "viewer/SetTreeBuilder.h"

#include <algorithm>

#include "viewer/SetTreeModel.h"

namespace {

int Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

}  // namespace

int CSetTreeBuilder::CompareItems(const CTreeItem& a, const CTreeItem& b) {
  if (a.m_bFolder && !b.m_bFolder) return -1;
  if (b.m_bFolder && !a.m_bFolder) return 1;
  const std::string& x = a.m_strText;
  const std::string& y = b.m_strText;
  const size_t n = std::min(x.size(), y.size());
  for (size_t i = 0; i < n; ++i) {
    const int d = Lower(static_cast<unsigned char>(x[i])) - Lower(static_cast<unsigned char>(y[i]));
    if (d != 0) return d;
  }
  if (x.size() != y.size()) return x.size() < y.size() ? -1 : 1;
  // Labels that differ only in case: capitals first, so that the order never depends on
  // which of the two was read first.
  const int c = x.compare(y);
  return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

void CSetTreeBuilder::AddBatch(const CEntryBatch& batch) {
  std::string name;
  for (const CEntryBatch::CEntry& entry : batch.entries) {
    name.assign(batch.names, entry.offset, entry.length);
    AddEntry(name, entry.size, entry.time);
  }
}

bool CSetTreeBuilder::ShowPending(CSetTreeModel& model) {
  // The tree takes the batch's nodes in one go.
  model.AddNodes(m_pending, m_items);
  const QModelIndex top = model.index(0, 0);
  bool topGrew = false;
  if (top.isValid()) {
    const int topNumber = static_cast<int>(top.internalId());
    topGrew = std::any_of(m_pending.begin(), m_pending.end(),
                          [topNumber](const std::pair<int, int>& entry) { return entry.first == topNumber; });
  }
  m_pending.clear();
  return topGrew;
}

void CSetTreeBuilder::AddEntry(const std::string& name, uint64_t size, int64_t time) {
  const size_t n = name.size();
  if (n == 0) return;
  // Entries of one folder follow each other: the folders this name shares with the previous
  // one (the same bytes up to and including a backslash) are the same nodes, found again
  // without a lookup.
  const size_t common = static_cast<size_t>(
      std::mismatch(name.begin(), name.end(), m_strLastName.begin(), m_strLastName.end()).first - name.begin());
  size_t reused = 0;
  while (reused < m_lastChain.size() && m_lastChain[reused].first < common && m_lastChain[reused].first < n - 1)
    ++reused;
  m_lastChain.resize(reused);
  int parent = reused > 0 ? m_lastChain.back().second : -1;
  const size_t start = reused > 0 ? m_lastChain.back().first + 1 : 0;

  size_t segmentStart = start;
  for (size_t i = start; i < n; ++i) {
    if (name[i] != '\\' && i != n - 1) continue;
    // The segment ends here; the last byte belongs to the last segment.
    const std::string_view segment(name.data() + segmentStart, i - segmentStart + (i == n - 1 ? 1 : 0));
    segmentStart = i + 1;
    int found = FindChildItem(parent, segment);
    if (found < 0) {
      auto node = std::make_unique<CTreeItem>();
      node->m_strName = name;
      node->m_dwSize = size;
      node->m_time = time;
      node->m_strText = segment;
      node->m_bFolder = i < n - 1 ? 1 : 0;
      found = static_cast<int>(m_items.size());
      m_items.push_back(std::move(node));
      m_index.Add(parent, m_items.back()->m_strText, found);
      m_pending.emplace_back(parent, found);
    }
    parent = found;
    if (i < n - 1) m_lastChain.emplace_back(i, found);
  }
  m_strLastName.assign(name);
}

int CSetTreeBuilder::FindChildItem(int parent, std::string_view label) const { return m_index.Find(parent, label); }
