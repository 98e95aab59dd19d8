// What the prompts share: the frame of a modal template dialog and its geometry in dialog units.
#pragma once

#include <QDialog>
#include <QRect>

class QLabel;
class QMessageBox;

namespace fern {

// A fixed-size dialog with caption, window menu and close box, in the template's font.
void SetUpTemplateDialog(QDialog* dialog, const char* caption, int widthDlu, int heightDlu);

// The template rectangle in pixels for the dialog font ("MS Shell Dlg", 8 points).
QRect TemplateRect(int x, int y, int width, int height);

// A static icon control: the icon at its natural size, placed at the template position.
QLabel* StaticIcon(QWidget* parent, int iconId, int x, int y);

// Widens a message box whose text is short ("error reading") so that the window manager has
// room for its whole caption beside the title-bar buttons instead of cutting it to "Fe...tle".
void KeepCaptionWhole(QMessageBox& box);

}  // namespace fern
