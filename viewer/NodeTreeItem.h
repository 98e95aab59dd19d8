// A row of the viewer's tree: refers to its node (owned by the viewer) and answers the tree's
// questions about it from the node itself, so that a row costs little to make.
#pragma once

#include <QTreeWidgetItem>

class CTreeItem;

class CNodeTreeItem : public QTreeWidgetItem {
 public:
  enum { Type = QTreeWidgetItem::UserType + 1 };

  // An unchecked row for a node; the node is referred to, not owned.
  explicit CNodeTreeItem(CTreeItem* node);

  CTreeItem* Node() const { return m_pNode; }

  // Qt::DisplayRole the label; Qt::DecorationRole the folder or file picture; Qt::UserRole the
  // node's address; Qt::ToolTipRole "Last Modified: Tue Dec 06, 2005"; Qt::CheckStateRole the box.
  QVariant data(int column, int role) const override;
  void setData(int column, int role, const QVariant& value) override;

  // The tip text for a node's time.
  static QString LastModifiedTip(int64_t time);

 private:
  CTreeItem* m_pNode;
  Qt::CheckState m_check = Qt::Unchecked;
};
