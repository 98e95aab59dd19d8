#include "viewer/TreeIndex.h"

#include <functional>

uint64_t CTreeIndex::Hash(int parent, std::string_view label) {
  const uint64_t h = std::hash<std::string_view>()(label);
  // The parent spreads the same label in different folders over the table.
  return (h ^ (static_cast<uint64_t>(static_cast<uint32_t>(parent)) * 0x9E3779B97F4A7C15ull)) * 0xFF51AFD7ED558CCDull;
}

size_t CTreeIndex::Probe(uint64_t hash, int parent, std::string_view label) const {
  const size_t mask = m_slots.size() - 1;
  size_t at = static_cast<size_t>(hash >> 20) & mask;
  for (;;) {
    const CSlot& slot = m_slots[at];
    if (slot.label == nullptr) return at;
    if (slot.hash == hash && slot.parent == parent && std::string_view(slot.label, slot.length) == label) return at;
    at = (at + 1) & mask;
  }
}

int CTreeIndex::Find(int parent, std::string_view label) const {
  if (m_slots.empty()) return -1;
  const CSlot& slot = m_slots[Probe(Hash(parent, label), parent, label)];
  return slot.label == nullptr ? -1 : slot.child;
}

void CTreeIndex::Add(int parent, std::string_view label, int child) {
  if ((m_nUsed + 1) * 2 > m_slots.size()) Grow();
  const uint64_t hash = Hash(parent, label);
  CSlot& slot = m_slots[Probe(hash, parent, label)];
  if (slot.label != nullptr) return;
  slot.hash = hash;
  slot.label = label.data();
  slot.length = label.size();
  slot.parent = parent;
  slot.child = child;
  ++m_nUsed;
}

void CTreeIndex::Grow() {
  std::vector<CSlot> old;
  old.swap(m_slots);
  m_slots.resize(old.empty() ? 1024 : old.size() * 2);
  const size_t mask = m_slots.size() - 1;
  for (const CSlot& slot : old) {
    if (slot.label == nullptr) continue;
    size_t at = static_cast<size_t>(slot.hash >> 20) & mask;
    while (m_slots[at].label != nullptr) at = (at + 1) & mask;
    m_slots[at] = slot;
  }
}

void CTreeIndex::Clear() {
  m_slots.clear();
  m_nUsed = 0;
}
