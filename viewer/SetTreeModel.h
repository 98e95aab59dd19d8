// The rows of the viewer's tree: one per node, with its check box, siblings always in the
// order of CSetTreeBuilder::CompareItems. Nodes come in batches; each batch costs one insertion
// per folder that gains rows and one reordering, however many rows it brings, so a folder of
// tens of thousands of files loads in time proportional to its size.
#pragma once

#include <QAbstractItemModel>
#include <QIcon>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

class CTreeItem;

class CSetTreeModel : public QAbstractItemModel {
  Q_OBJECT
 public:
  explicit CSetTreeModel(QObject* parent = nullptr);

  QModelIndex index(int row, int column, const QModelIndex& parent = QModelIndex()) const override;
  QModelIndex parent(const QModelIndex& child) const override;
  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  // Qt::DisplayRole the label; Qt::DecorationRole the folder or file picture; Qt::UserRole the
  // node's address; Qt::ToolTipRole "Last Modified: Tue Dec 06, 2005"; Qt::CheckStateRole the box.
  QVariant data(const QModelIndex& index, int role) const override;
  bool setData(const QModelIndex& index, const QVariant& value, int role) override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

  // Adds nodes: (parent number, -1 for the top level; node number), numbers counting the nodes
  // in creation order from 0, parents before their children; nodes[number] is the node.
  void AddNodes(const std::vector<std::pair<int, int>>& pending,
                const std::vector<std::unique_ptr<CTreeItem>>& nodes);

  // The row of a node by number (invalid for an unknown number).
  QModelIndex IndexOfNode(int number) const;

  // The tip text for a node's time.
  static QString LastModifiedTip(int64_t time);

  // Whether a row's box is checked.
  static bool IsChecked(const QModelIndex& item);
  // The check-box rules after item's box changed: every descendant takes the item's state,
  // every ancestor the state computed for the parent.
  void SpreadCheck(const QModelIndex& item);
  void SetSubtreeCheck(const QModelIndex& item, int state);
  // Appends the stored names of the checked files below item, reached through checked folders.
  void CollectCheckedFiles(const QModelIndex& item, std::vector<std::string>& list) const;

 private:
  struct CRow {
    CTreeItem* node = nullptr;
    int parent = -1;
    int row = 0;
    Qt::CheckState check = Qt::Unchecked;
    bool folder = false;
    // The label's first 16 bytes, lower-cased, most significant first: most comparisons of
    // siblings are decided here without reaching the nodes.
    uint64_t head = 0;
    uint64_t tail = 0;
    std::vector<int> children;
  };
  std::vector<int>& ChildrenOf(int parent) { return parent < 0 ? m_top : m_rows[static_cast<size_t>(parent)].children; }
  const std::vector<int>& ChildrenOf(int parent) const {
    return parent < 0 ? m_top : m_rows[static_cast<size_t>(parent)].children;
  }
  bool Before(int a, int b) const;
  // Merges the sorted rows from 'from' on into the sorted rows before it.
  void MergeAdded(std::vector<int>& children, size_t from) const;
  void Renumber(int parent, size_t from);

  std::vector<CRow> m_rows;  // by node number
  std::vector<int> m_top;    // the top level, in order
  QIcon m_folderIcon;
  QIcon m_fileIcon;
};
