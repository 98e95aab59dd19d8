// The loader's lookup of a node's children by label, so that finding one segment of a stored
// name costs one hash lookup however wide the folder is.
#pragma once

#include <string>
#include <unordered_map>

class CTreeItem;

class CTreeIndex {
 public:
  // The child of parent (null: the top level) whose label equals label byte for byte, or null.
  CTreeItem* Find(const CTreeItem* parent, const std::string& label) const;
  // Records child under parent by its m_strText; a label already present is not replaced.
  void Add(const CTreeItem* parent, CTreeItem* child);
  void Clear() { m_children.clear(); }

 private:
  std::unordered_map<const CTreeItem*, std::unordered_map<std::string, CTreeItem*>> m_children;
};
