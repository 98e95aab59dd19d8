// The nodes of a set's folder tree, made from its entries as they are read: one node per path
// segment, shared by every entry through it, numbered in creation order. The builder keeps the
// nodes the tree does not show yet and hands them to the tree's model in one go per batch.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "viewer/TreeIndex.h"
#include "viewer/TreeItem.h"

class CSetTreeModel;

class CSetTreeBuilder {
 public:
  // Entries read by the loader and not yet in the tree: their stored names one after the
  // other, with the piece of each and its size and time.
  struct CEntryBatch {
    struct CEntry {
      size_t offset;
      size_t length;
      uint64_t size;
      int64_t time;
    };
    std::string names;
    std::vector<CEntry> entries;
  };

  // Sibling order: folders first, then labels without regard to case, then byte order.
  static int CompareItems(const CTreeItem& a, const CTreeItem& b);

  // Adds the nodes of a batch's entries.
  void AddBatch(const CEntryBatch& batch);
  void AddEntry(const std::string& name, uint64_t size, int64_t time);
  // Gives the nodes added since the last call to the model. True when the first row of the top
  // level gained children by it.
  bool ShowPending(CSetTreeModel& model);

  size_t NodeCount() const { return m_items.size(); }
  // A node by number (creation order).
  const CTreeItem& Node(size_t number) const { return *m_items[number]; }

 private:
  // The number of parent's child (parent -1: the top level) labelled label exactly, or -1.
  int FindChildItem(int parent, std::string_view label) const;

  std::vector<std::unique_ptr<CTreeItem>> m_items;  // every node, in creation order
  // The index of the nodes by number; the folder chain of the previous entry, which the next
  // one usually shares; the nodes that the tree does not show yet.
  CTreeIndex m_index;
  std::string m_strLastName;
  std::vector<std::pair<size_t, int>> m_lastChain;  // backslash position, folder node
  std::vector<std::pair<int, int>> m_pending;       // parent (-1: top), node
};
