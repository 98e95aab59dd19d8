#include "viewer/SetTreeModel.h"

#include <QFile>
#include <algorithm>
#include <string>
#include <unordered_map>

#include "dialogs/ShownText.h"
#include "res/gui/ListPictures.h"
#include "storage/FixedText.h"
#include "viewer/SetTreeBuilder.h"
#include "viewer/TreeItem.h"

CSetTreeModel::CSetTreeModel(QObject* parent)
    : QAbstractItemModel(parent),
      m_folderIcon(fern::ListPicture(IMAGE_FOLDER)),
      m_fileIcon(fern::ListPicture(IMAGE_FILE)) {}

QModelIndex CSetTreeModel::index(int row, int column, const QModelIndex& parent) const {
  if (column != 0 || row < 0) return QModelIndex();
  const int parentNumber = parent.isValid() ? static_cast<int>(parent.internalId()) : -1;
  const std::vector<int>& children = ChildrenOf(parentNumber);
  if (static_cast<size_t>(row) >= children.size()) return QModelIndex();
  return createIndex(row, 0, static_cast<quintptr>(children[static_cast<size_t>(row)]));
}

QModelIndex CSetTreeModel::parent(const QModelIndex& child) const {
  if (!child.isValid()) return QModelIndex();
  const int parentNumber = m_rows[child.internalId()].parent;
  if (parentNumber < 0) return QModelIndex();
  return createIndex(m_rows[static_cast<size_t>(parentNumber)].row, 0, static_cast<quintptr>(parentNumber));
}

int CSetTreeModel::rowCount(const QModelIndex& parent) const {
  if (parent.isValid() && parent.column() != 0) return 0;
  return static_cast<int>(ChildrenOf(parent.isValid() ? static_cast<int>(parent.internalId()) : -1).size());
}

int CSetTreeModel::columnCount(const QModelIndex& /*parent*/) const { return 1; }

QVariant CSetTreeModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid()) return QVariant();
  const CRow& row = m_rows[index.internalId()];
  if (row.node == nullptr) return QVariant();
  switch (role) {
    case Qt::DisplayRole: return fern::ShownText(row.node->m_strText);
    case Qt::DecorationRole: return row.node->m_bFolder ? m_folderIcon : m_fileIcon;
    case Qt::UserRole: return QVariant::fromValue(static_cast<void*>(row.node));
    case Qt::ToolTipRole: return LastModifiedTip(row.node->m_time);
    case Qt::CheckStateRole: return static_cast<int>(row.check);
    default: return QVariant();
  }
}

bool CSetTreeModel::setData(const QModelIndex& index, const QVariant& value, int role) {
  if (!index.isValid() || role != Qt::CheckStateRole) return false;
  CRow& row = m_rows[index.internalId()];
  const auto state = static_cast<Qt::CheckState>(value.toInt());
  if (row.check != state) {
    row.check = state;
    emit dataChanged(index, index, {Qt::CheckStateRole});
  }
  return true;
}

Qt::ItemFlags CSetTreeModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  // No automatic tristate: the viewer sets the boxes of folders itself.
  return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable;
}

QModelIndex CSetTreeModel::IndexOfNode(int number) const {
  if (number < 0 || static_cast<size_t>(number) >= m_rows.size() || m_rows[static_cast<size_t>(number)].node == nullptr)
    return QModelIndex();
  return createIndex(m_rows[static_cast<size_t>(number)].row, 0, static_cast<quintptr>(number));
}

namespace {

// Labels hold no zero bytes, so the zero padding of a shorter label sorts it first, as a
// comparison of the whole texts would.
uint64_t PackLowered(const std::string& text, size_t from) {
  uint64_t packed = 0;
  for (size_t i = from; i < from + 8; ++i) {
    unsigned char c = i < text.size() ? static_cast<unsigned char>(text[i]) : 0;
    if (c >= 'A' && c <= 'Z') c = static_cast<unsigned char>(c - 'A' + 'a');
    packed = (packed << 8) | c;
  }
  return packed;
}

}  // namespace

bool CSetTreeModel::Before(int a, int b) const {
  const CRow& x = m_rows[static_cast<size_t>(a)];
  const CRow& y = m_rows[static_cast<size_t>(b)];
  if (x.folder != y.folder) return x.folder;
  if (x.head != y.head) return x.head < y.head;
  if (x.tail != y.tail) return x.tail < y.tail;
  return CSetTreeBuilder::CompareItems(*x.node, *y.node) < 0;
}

void CSetTreeModel::MergeAdded(std::vector<int>& children, size_t from) const {
  auto less = [this](int a, int b) { return Before(a, b); };
  std::sort(children.begin() + static_cast<std::ptrdiff_t>(from), children.end(), less);
  // Each added row finds its place by a galloping search from the place of the one before,
  // so a few rows added to a wide folder cost a few comparisons each, not one per old row.
  std::vector<int> merged;
  merged.reserve(children.size());
  const auto oldEnd = children.begin() + static_cast<std::ptrdiff_t>(from);
  auto old = children.begin();
  for (auto added = oldEnd; added != children.end(); ++added) {
    const auto start = old;
    size_t step = 1;
    auto bound = old;
    while (bound != oldEnd && less(*bound, *added)) {
      old = bound + 1;
      bound = static_cast<size_t>(oldEnd - old) > step ? old + static_cast<std::ptrdiff_t>(step) : oldEnd;
      step *= 2;
    }
    const auto place = std::lower_bound(old, bound, *added, less);
    merged.insert(merged.end(), start, place);
    merged.push_back(*added);
    old = place;
  }
  merged.insert(merged.end(), old, oldEnd);
  children.swap(merged);
}

void CSetTreeModel::Renumber(int parent, size_t from) {
  const std::vector<int>& children = ChildrenOf(parent);
  for (size_t i = from; i < children.size(); ++i) m_rows[static_cast<size_t>(children[i])].row = static_cast<int>(i);
}

void CSetTreeModel::AddNodes(const std::vector<std::pair<int, int>>& pending,
                             const std::vector<std::unique_ptr<CTreeItem>>& nodes) {
  if (pending.empty()) return;
  const int known = static_cast<int>(m_rows.size());  // nodes the view has seen are below this
  int highest = known - 1;
  for (const auto& entry : pending) highest = std::max(highest, entry.second);
  m_rows.resize(static_cast<size_t>(highest) + 1);

  // Nodes below nodes of this batch join their parents quietly: the view meets them with
  // their first shown ancestor. The others are grouped by their shown parent.
  std::vector<int> newParents;
  std::vector<std::pair<int, std::vector<int>>> groups;  // shown parent, its new children
  std::unordered_map<int, size_t> groupOf;
  for (const auto& [parentNumber, number] : pending) {
    CRow& row = m_rows[static_cast<size_t>(number)];
    row.node = nodes[static_cast<size_t>(number)].get();
    row.parent = parentNumber;
    row.folder = row.node->m_bFolder != 0;
    row.head = PackLowered(row.node->m_strText, 0);
    row.tail = PackLowered(row.node->m_strText, 8);
    if (parentNumber >= known) {
      std::vector<int>& siblings = m_rows[static_cast<size_t>(parentNumber)].children;
      if (siblings.empty()) newParents.push_back(parentNumber);
      siblings.push_back(number);
      continue;
    }
    auto found = groupOf.emplace(parentNumber, groups.size());
    if (found.second) groups.emplace_back(parentNumber, std::vector<int>());
    groups[found.first->second].second.push_back(number);
  }
  for (int parentNumber : newParents) {
    std::vector<int>& children = ChildrenOf(parentNumber);
    std::sort(children.begin(), children.end(), [this](int a, int b) { return Before(a, b); });
    Renumber(parentNumber, 0);
  }
  if (groups.empty()) return;

  // One insertion per shown parent, the rows appended at its end...
  std::vector<size_t> oldCounts;
  for (auto& [parentNumber, added] : groups) {
    std::vector<int>& children = ChildrenOf(parentNumber);
    const size_t oldCount = children.size();
    oldCounts.push_back(oldCount);
    const QModelIndex parentIndex = parentNumber < 0 ? QModelIndex() : IndexOfNode(parentNumber);
    beginInsertRows(parentIndex, static_cast<int>(oldCount), static_cast<int>(oldCount + added.size()) - 1);
    children.insert(children.end(), added.begin(), added.end());
    Renumber(parentNumber, oldCount);
    endInsertRows();
  }
  // ...then one reordering puts them in their places before anything is painted.
  QList<QPersistentModelIndex> parents;
  for (const auto& group : groups) parents << QPersistentModelIndex(group.first < 0 ? QModelIndex() : IndexOfNode(group.first));
  emit layoutAboutToBeChanged(parents, QAbstractItemModel::VerticalSortHint);
  const QModelIndexList before = persistentIndexList();
  for (size_t g = 0; g < groups.size(); ++g) {
    MergeAdded(ChildrenOf(groups[g].first), oldCounts[g]);
    Renumber(groups[g].first, 0);
  }
  QModelIndexList after;
  after.reserve(before.size());
  for (const QModelIndex& index : before) {
    const size_t number = index.internalId();
    after << createIndex(m_rows[number].row, index.column(), static_cast<quintptr>(number));
  }
  changePersistentIndexList(before, after);
  emit layoutChanged(parents, QAbstractItemModel::VerticalSortHint);
}

QString CSetTreeModel::LastModifiedTip(int64_t time) {
  // English day and month names whatever the user's locale, as the program's other texts.
  return QStringLiteral("Last Modified: ") + QString::fromStdString(fern::FixedTime("%a %b %d, %Y", time));
}

bool CSetTreeModel::IsChecked(const QModelIndex& item) {
  return item.isValid() && item.data(Qt::CheckStateRole).toInt() == Qt::Checked;
}

void CSetTreeModel::SpreadCheck(const QModelIndex& item) {
  if (!item.isValid()) return;
  const int state = IsChecked(item) ? Qt::Checked : Qt::Unchecked;
  if (rowCount(item) > 0) SetSubtreeCheck(item, state);
  const QModelIndex parent = item.parent();
  if (parent.isValid()) {
    bool anyChecked = false;
    const int count = rowCount(parent);
    for (int i = 0; i < count && !anyChecked; ++i) anyChecked = IsChecked(index(i, 0, parent));
    for (QModelIndex up = parent; up.isValid(); up = up.parent())
      setData(up, anyChecked ? Qt::Checked : Qt::Unchecked, Qt::CheckStateRole);
  }
}

void CSetTreeModel::SetSubtreeCheck(const QModelIndex& item, int state) {
  const int count = rowCount(item);
  for (int i = 0; i < count; ++i) {
    const QModelIndex child = index(i, 0, item);
    setData(child, state, Qt::CheckStateRole);
    if (rowCount(child) > 0) SetSubtreeCheck(child, state);
  }
}

void CSetTreeModel::CollectCheckedFiles(const QModelIndex& item, std::vector<std::string>& list) const {
  const int count = rowCount(item);
  for (int i = 0; i < count; ++i) {
    const QModelIndex child = index(i, 0, item);
    if (!IsChecked(child)) continue;
    if (rowCount(child) > 0) {
      CollectCheckedFiles(child, list);
    } else if (const CTreeItem* node = m_rows[child.internalId()].node) {
      list.push_back(node->m_strName);
    }
  }
}
