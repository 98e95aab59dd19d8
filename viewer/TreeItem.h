// One node of a set's folder tree: the record of the entry that created it and its label.
#pragma once

#include <cstdint>
#include <string>

class CTreeItem {
 public:
  CTreeItem() = default;
  virtual ~CTreeItem();

  std::string m_strName;  // stored name of the first entry, in set order, through this node
  int64_t m_time = 0;     // that entry's modified time
  uint64_t m_dwSize = 0;  // that entry's file length
  std::string m_strText;  // the node's own path segment ("E:", a folder name or a file name)
  int32_t m_bFolder = 0;  // nonzero when a backslash followed the segment in the stored name
};
