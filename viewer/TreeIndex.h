// The loader's lookup of a node's children by label, so that finding one segment of a stored
// name costs one hash lookup however wide the folder is. Nodes are named by their number in
// the viewer's creation order; the top level is parent -1. One flat table for every folder:
// no allocation per node, which a set of a hundred thousand files would otherwise pay for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

class CTreeIndex {
 public:
  // The child of parent whose label equals label byte for byte, or -1.
  int Find(int parent, std::string_view label) const;
  // Records child under parent; a label already present is not replaced. The label is kept by
  // reference: the bytes it views must live as long as the index.
  void Add(int parent, std::string_view label, int child);
  void Clear();

 private:
  struct CSlot {
    uint64_t hash = 0;
    const char* label = nullptr;  // null: the slot is free
    size_t length = 0;
    int parent = 0;
    int child = 0;
  };
  static uint64_t Hash(int parent, std::string_view label);
  // The slot holding (parent, label), or the free slot where it would go.
  size_t Probe(uint64_t hash, int parent, std::string_view label) const;
  void Grow();

  std::vector<CSlot> m_slots;  // open addressing, a power of two in size, at most half full
  size_t m_nUsed = 0;
};
