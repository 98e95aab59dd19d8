#include "dialogs/KeyboardMenu.h"

#include <QAbstractItemView>
#include <QContextMenuEvent>
#include <QKeyEvent>

namespace fern {

bool IsKeyboardMenuRequest(const QEvent* event) {
  if (event->type() == QEvent::ContextMenu)
    return static_cast<const QContextMenuEvent*>(event)->reason() == QContextMenuEvent::Keyboard;
  if (event->type() != QEvent::KeyPress) return false;
  const auto* key = static_cast<const QKeyEvent*>(event);
  return key->key() == Qt::Key_F10 && (key->modifiers() & ~Qt::KeypadModifier) == Qt::ShiftModifier;
}

QPoint MenuPointOfRow(QAbstractItemView& view, const QModelIndex& row) {
  QWidget* viewport = view.viewport();
  if (!row.isValid()) return viewport->mapToGlobal(QPoint(0, 0));
  view.scrollTo(row);
  const QRect rect = view.visualRect(row).intersected(viewport->rect());
  // Below the row's start, as the menu of a click on it would open, and never outside the list.
  const QPoint point(rect.left() + rect.height(), rect.bottom());
  return viewport->mapToGlobal(rect.isEmpty() ? QPoint(0, 0) : point);
}

}  // namespace fern
