// Context menus from the keyboard: the Menu key (delivered by the platform as a context menu
// event of the keyboard) and Shift+F10 open a list's menu at its selected row, not at the mouse
// pointer, which may be anywhere on the screen.
#pragma once

#include <QPoint>

class QAbstractItemView;
class QEvent;
class QModelIndex;

namespace fern {

// Whether event asks for a context menu from the keyboard.
bool IsKeyboardMenuRequest(const QEvent* event);

// Where the menu of row opens, in global coordinates: below its start, scrolled into view first;
// without a row, the view's top left corner.
QPoint MenuPointOfRow(QAbstractItemView& view, const QModelIndex& row);

}  // namespace fern
