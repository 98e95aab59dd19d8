// The loader's index of children by label, through several growths of its table.
#include "viewer/TreeIndex.h"

#include <gtest/gtest.h>

#include <deque>
#include <string>

TEST(TreeIndex, FindsEveryChildByParentAndExactLabelThroughGrowth) {
  CTreeIndex index;
  EXPECT_EQ(index.Find(-1, "E:"), -1);
  std::deque<std::string> labels;  // the index keeps them by reference
  // The same labels under many parents, and labels differing only in case or length.
  int next = 0;
  for (int parent = -1; parent < 300; ++parent) {
    for (const char* base : {"docs", "Docs", "doc", "", "a\\b"}) {
      labels.push_back(std::string(base) + (parent % 7 == 0 ? "" : std::to_string(parent % 5)));
      index.Add(parent, labels.back(), next++);
    }
  }
  next = 0;
  for (int parent = -1; parent < 300; ++parent) {
    for (const char* base : {"docs", "Docs", "doc", "", "a\\b"}) {
      const std::string label = std::string(base) + (parent % 7 == 0 ? "" : std::to_string(parent % 5));
      ASSERT_EQ(index.Find(parent, label), next++) << parent << " " << label;
    }
  }
  EXPECT_EQ(index.Find(300, "docs"), -1);
  EXPECT_EQ(index.Find(0, "DOCS"), -1);
  EXPECT_EQ(index.Find(0, "docs "), -1);

  // A label already there keeps its child.
  const std::string again = "docs";
  index.Add(0, again, 99999);
  EXPECT_EQ(index.Find(0, "docs"), 5);

  index.Clear();
  EXPECT_EQ(index.Find(0, "docs"), -1);
  index.Add(0, again, 7);
  EXPECT_EQ(index.Find(0, "docs"), 7);
}
