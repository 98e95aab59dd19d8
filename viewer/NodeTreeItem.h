// A row of the viewer's tree: refers to its node (owned by the viewer) and answers the tree's
// questions about it, the "Last Modified:" tip being made only when it is shown.
#pragma once

#include <QTreeWidgetItem>

class CTreeItem;

class CNodeTreeItem : public QTreeWidgetItem {
 public:
  enum { Type = QTreeWidgetItem::UserType + 1 };

  // The label, the folder or file picture, an unchecked box; the node is referred to, not owned.
  explicit CNodeTreeItem(CTreeItem* node);

  CTreeItem* Node() const { return m_pNode; }

  // Qt::UserRole: the node's address; Qt::ToolTipRole: "Last Modified: Tue Dec 06, 2005".
  QVariant data(int column, int role) const override;

  // The tip text for a node's time.
  static QString LastModifiedTip(int64_t time);

 private:
  CTreeItem* m_pNode;
};
