#include "app/SetListView.h"

#include <unistd.h>

#include <QAction>
#include <QCursor>
#include <QEvent>
#include <QHeaderView>
#include <QMenu>
#include <QTimer>
#include <QTreeWidget>

#include "app/GridDelegate.h"
#include "dialogs/KeyboardMenu.h"
#include "res/gui/ListPictures.h"
#include "engine/SetCatalog.h"
#include "res/Resource.h"
#include "storage/SetFormat.h"
#include "viewer/ViewBackup.h"

namespace {

// The row keeps the bytes of the path and the name as the file system gave them: a name that
// is not valid UTF-8 would not survive the round trip through the shown text.
enum { ROLE_IMAGE = Qt::UserRole, ROLE_BYTES = Qt::UserRole + 1 };

std::string RowBytes(const QTreeWidgetItem* item, int column) {
  const QVariant bytes = item->data(column, ROLE_BYTES);
  return bytes.isValid() ? bytes.toByteArray().toStdString() : item->text(column).toStdString();
}

}  // namespace

CSetListView::CSetListView(QWidget* window) : QObject(window), m_list(new QTreeWidget(window)) {
  QTreeWidget* list = m_list;
  list->setObjectName(QString::number(IDC_LIST_SETS));
  list->setColumnCount(3);
  list->setHeaderLabels({QStringLiteral("Date"), QStringLiteral("Name"), QStringLiteral("FileName")});
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setUniformRowHeights(true);
  list->setSortingEnabled(false);
  list->setSelectionMode(QAbstractItemView::ExtendedSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setAllColumnsShowFocus(true);
  list->setIconSize(QSize(16, 16));
  list->setItemDelegate(new CGridDelegate(list));
  list->setFrameShape(QFrame::StyledPanel);
  list->setFrameShadow(QFrame::Sunken);
  QHeaderView* header = list->header();
  header->setSectionsClickable(false);
  header->setSectionsMovable(false);
  header->setMinimumSectionSize(0);
  header->setStretchLastSection(false);
  header->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  list->setColumnWidth(0, 80);
  list->setColumnWidth(1, 80);
  list->setColumnWidth(2, 0);
  list->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(list, &QTreeWidget::customContextMenuRequested, this, [this] { emit MenuRequested(QCursor::pos()); });
  connect(list, &QTreeWidget::itemSelectionChanged, this, [this] { emit SelectionChanged(); });
  list->viewport()->installEventFilter(this);
  list->installEventFilter(this);  // the Menu key and Shift+F10
}

bool CSetListView::eventFilter(QObject* watched, QEvent* event) {
  if (watched == m_list->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    QTimer::singleShot(0, this, [this] { emit ViewRequested(); });
    return true;
  }
  if (watched == m_list && fern::IsKeyboardMenuRequest(event)) {
    // At the current row when it is selected, else at the first selected one.
    QTreeWidgetItem* row = m_list->currentItem();
    if (row == nullptr || !row->isSelected()) {
      const QList<QTreeWidgetItem*> selected = m_list->selectedItems();
      row = selected.isEmpty() ? nullptr : selected.first();
    }
    emit MenuRequested(fern::MenuPointOfRow(*m_list, row != nullptr ? m_list->indexFromItem(row) : QModelIndex()));
    return true;
  }
  return QObject::eventFilter(watched, event);
}

std::string CSetListView::RowPath(const QTreeWidgetItem* item) { return RowBytes(item, 2); }

std::string CSetListView::RowDriveName(const QTreeWidgetItem* item) { return RowBytes(item, 1); }

void CSetListView::InsertRow(const std::string& date, const std::string& name, const std::string& path,
                             int image) {
  auto* item = new QTreeWidgetItem(
      QStringList{QString::fromStdString(date), QString::fromStdString(name), QString::fromStdString(path)});
  item->setData(0, ROLE_IMAGE, image);
  item->setData(1, ROLE_BYTES, QByteArray::fromStdString(name));
  item->setData(2, ROLE_BYTES, QByteArray::fromStdString(path));
  if (image >= 0 && image < IMAGE_COUNT) item->setIcon(0, QIcon(fern::ListPicture(image)));
  m_list->insertTopLevelItem(0, item);
}

void CSetListView::Fill(const std::string& backupsFolder) {
  const fern::CSetCatalog catalog(backupsFolder);
  for (const fern::CCatalogEntry& match : catalog.Matches())
    InsertRow(fern::FormatSetDate(match.file.mtime), fern::DriveNameOfSet(match.file.name), match.file.fullPath,
              fern::IsQuickSet(match.file.name) ? IMAGE_QUICKSET : IMAGE_FULLSET);
}

int CSetListView::SelectedCount() const {
  int n = 0;
  for (int i = 0; i < m_list->topLevelItemCount(); ++i)
    if (m_list->topLevelItem(i)->isSelected()) ++n;
  return n;
}

std::vector<CSetRow> CSetListView::SelectedRows() const {
  std::vector<CSetRow> rows;
  for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = m_list->topLevelItem(i);
    if (item->isSelected()) rows.push_back({RowDriveName(item), RowPath(item)});
  }
  return rows;
}

QMenu* CSetListView::BuildMenu(bool attached) const {
  const int n = SelectedCount();
  auto* menu = new QMenu(m_list->window());
  auto add = [menu](const char* text, int id, bool enabled) {
    QAction* action = menu->addAction(QString::fromUtf8(text));
    action->setData(id);
    action->setObjectName(QString::number(id));
    action->setEnabled(enabled);
  };
  add("Restore...", IDC_RESTORE, n > 0 && attached);
  add("Delete...", IDC_DELETE, n > 0);
  add("View...", IDC_VIEW, n == 1);
  return menu;
}

void CSetListView::DeleteSelected() {
  for (int i = 0; i < m_list->topLevelItemCount(); ++i) {
    QTreeWidgetItem* item = m_list->topLevelItem(i);
    if (!item->isSelected()) continue;
    if (::unlink(RowPath(item).c_str()) == 0) {
      delete m_list->takeTopLevelItem(i);
      --i;
    }
  }
}

void CSetListView::ViewSelected(const std::string& driveRoot) {
  QTreeWidgetItem* first = nullptr;
  for (int i = 0; i < m_list->topLevelItemCount() && first == nullptr; ++i)
    if (m_list->topLevelItem(i)->isSelected()) first = m_list->topLevelItem(i);
  if (first == nullptr) return;
  CViewBackup dlg;
  dlg.SetSetAndDrive(RowPath(first), driveRoot);
  dlg.exec();
}
