#include "viewer/TreeIndex.h"

#include <algorithm>

int CTreeIndex::Find(int parent, const std::string& label) const {
  const size_t slot = static_cast<size_t>(parent + 1);
  if (slot >= m_children.size() || !m_children[slot]) return -1;
  auto child = m_children[slot]->find(std::string_view(label));
  return child == m_children[slot]->end() ? -1 : child->second;
}

void CTreeIndex::Add(int parent, const std::string& label, int child) {
  const size_t slot = static_cast<size_t>(parent + 1);
  if (slot >= m_children.size()) m_children.resize(std::max(slot + 1, m_children.size() * 2));
  if (!m_children[slot]) m_children[slot] = std::make_unique<Children>();
  m_children[slot]->emplace(std::string_view(label), child);
}
