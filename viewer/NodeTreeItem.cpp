#include "viewer/NodeTreeItem.h"

#include <locale.h>
#include <time.h>

#include <QFile>
#include <QIcon>

#include "app/fernapp.h"
#include "viewer/TreeItem.h"

namespace {

// The two pictures, made once: every row shares them.
const QIcon& NodeIcon(bool folder) {
  static const QIcon folderIcon =
      theApp.m_imageList.size() > IMAGE_FOLDER ? QIcon(theApp.m_imageList[IMAGE_FOLDER]) : QIcon();
  static const QIcon fileIcon =
      theApp.m_imageList.size() > IMAGE_FILE ? QIcon(theApp.m_imageList[IMAGE_FILE]) : QIcon();
  return folder ? folderIcon : fileIcon;
}

}  // namespace

CNodeTreeItem::CNodeTreeItem(CTreeItem* node) : QTreeWidgetItem(Type), m_pNode(node) {
  // No automatic tristate: the viewer sets the boxes of folders itself.
  setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
}

QVariant CNodeTreeItem::data(int column, int role) const {
  if (column == 0 && m_pNode != nullptr) {
    switch (role) {
      case Qt::DisplayRole:
      case Qt::EditRole: return QFile::decodeName(QByteArray::fromStdString(m_pNode->m_strText));
      case Qt::DecorationRole: return NodeIcon(m_pNode->m_bFolder != 0);
      case Qt::UserRole: return QVariant::fromValue(static_cast<void*>(m_pNode));
      case Qt::ToolTipRole: return LastModifiedTip(m_pNode->m_time);
      case Qt::CheckStateRole: return static_cast<int>(m_check);
      default: break;
    }
  }
  return QTreeWidgetItem::data(column, role);
}

void CNodeTreeItem::setData(int column, int role, const QVariant& value) {
  if (column == 0 && role == Qt::CheckStateRole) {
    const auto state = static_cast<Qt::CheckState>(value.toInt());
    if (state == m_check) return;
    m_check = state;
    emitDataChanged();  // the tree repaints the box and reports the change
    return;
  }
  QTreeWidgetItem::setData(column, role, value);
}

QString CNodeTreeItem::LastModifiedTip(int64_t time) {
  // Day and month names in English whatever the user's locale, as the program's other texts.
  static const locale_t cLocale = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
  time_t t = static_cast<time_t>(time);
  struct tm local {};
  char text[64] = "";
  if (localtime_r(&t, &local) == nullptr) return QStringLiteral("Last Modified: ");
  if (cLocale != static_cast<locale_t>(nullptr))
    strftime_l(text, sizeof text, "%a %b %d, %Y", &local, cLocale);
  else
    strftime(text, sizeof text, "%a %b %d, %Y", &local);
  return QStringLiteral("Last Modified: ") + QString::fromLatin1(text);
}
