// Dialog templates are laid out in dialog units: a horizontal unit is a quarter of the dialog
// font's average character width, a vertical unit an eighth of its height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace fern {

// The font a template names: "MS Shell Dlg" and "Small Fonts" become the desktop's sans-serif
// face at that point size.
QFont DialogFont(const char* face, int points);

// A rectangle given in dialog units, in pixels for that font.
QRect DluToPixels(const QFont& font, int x, int y, int width, int height);
QSize DluToPixels(const QFont& font, int width, int height);

}  // namespace fern
