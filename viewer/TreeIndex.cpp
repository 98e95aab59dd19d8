#include "viewer/TreeIndex.h"

#include "viewer/TreeItem.h"

CTreeItem* CTreeIndex::Find(const CTreeItem* parent, const std::string& label) const {
  auto children = m_children.find(parent);
  if (children == m_children.end()) return nullptr;
  auto child = children->second.find(label);
  return child == children->second.end() ? nullptr : child->second;
}

void CTreeIndex::Add(const CTreeItem* parent, CTreeItem* child) {
  m_children[parent].emplace(child->m_strText, child);
}
