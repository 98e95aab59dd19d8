// The loader's lookup of a node's children by label, so that finding one segment of a stored
// name costs one hash lookup however wide the folder is. Nodes are named by their number in
// the viewer's creation order; the top level is parent -1.
#pragma once

#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

class CTreeIndex {
 public:
  // The child of parent whose label equals label byte for byte, or -1.
  int Find(int parent, const std::string& label) const;
  // Records child under parent; a label already present is not replaced. The label is kept by
  // reference: it must live as long as the index (the node's own m_strText does).
  void Add(int parent, const std::string& label, int child);
  void Clear() { m_children.clear(); }

 private:
  using Children = std::unordered_map<std::string_view, int>;
  std::vector<std::unique_ptr<Children>> m_children;  // by parent + 1; null for a node without children
};
