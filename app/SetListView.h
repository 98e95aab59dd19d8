// The main window's list of backup sets: filled from the backups folder, a row per set (the
// bytes of its path and drive name kept as found), the selection, the context menu, deleting
// the selected sets and opening the viewer on one.
#pragma once

#include <QObject>
#include <QPoint>
#include <string>
#include <vector>

#include "engine/RestoreRun.h"

class QMenu;
class QTreeWidget;
class QTreeWidgetItem;
class QWidget;

class CSetListView : public QObject {
  Q_OBJECT
 public:
  // Makes the list control as a child of window.
  explicit CSetListView(QWidget* window);

  QTreeWidget* List() const { return m_list; }

  // A row per match in the backups folder, files and folders alike; each goes to the top, so the
  // list shows the folder's order reversed.
  void Fill(const std::string& backupsFolder);
  // A row at the top (image: IMAGE_FULLSET or IMAGE_QUICKSET).
  void InsertRow(const std::string& date, const std::string& name, const std::string& path, int image);
  // A row's set path and drive name, byte for byte as they were found.
  static std::string RowPath(const QTreeWidgetItem* item);
  static std::string RowDriveName(const QTreeWidgetItem* item);

  int SelectedCount() const;
  // The selected rows in list order.
  std::vector<CSetRow> SelectedRows() const;

  // The context menu with its graying (attached: a drive is attached); the caller shows it
  // (and owns it). Each entry's data is its command id.
  QMenu* BuildMenu(bool attached) const;
  // Deletes the selected sets row by row: a set that cannot be deleted keeps its row, selected.
  void DeleteSelected();
  // The viewer, modal, on the first selected set (driveRoot: "" when no drive is attached).
  void ViewSelected(const std::string& driveRoot);

 signals:
  void SelectionChanged();
  // The set menu at globalPos: the mouse pointer, or the selected row for the Menu key and
  // Shift+F10.
  void MenuRequested(const QPoint& globalPos);
  void ViewRequested();  // a double click in the list

 protected:
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  QTreeWidget* m_list;
};
