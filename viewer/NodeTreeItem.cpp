#include "viewer/NodeTreeItem.h"

#include <locale.h>
#include <time.h>

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
  setText(0, QString::fromStdString(node->m_strText));
  setIcon(0, NodeIcon(node->m_bFolder != 0));
  // No automatic tristate: the viewer sets the boxes of folders itself.
  setFlags(Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
  setCheckState(0, Qt::Unchecked);
}

QVariant CNodeTreeItem::data(int column, int role) const {
  if (column == 0 && role == Qt::UserRole)
    return QVariant::fromValue(static_cast<void*>(m_pNode));
  if (column == 0 && role == Qt::ToolTipRole && m_pNode != nullptr)
    return LastModifiedTip(m_pNode->m_time);
  return QTreeWidgetItem::data(column, role);
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
