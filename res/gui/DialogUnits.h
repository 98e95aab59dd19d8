// Dialog templates are laid out in dialog units: a horizontal unit is a quarter of the
// template font's base width, a vertical unit an eighth of its base height.
#pragma once

#include <QFont>
#include <QRect>
#include <QSize>

namespace fern {

// The font a template names. "MS Shell Dlg" becomes the desktop's sans-serif face at that point
// size. "Small Fonts", a tiny narrow face, becomes a semi-condensed sans-serif face of 8 pixels,
// whose letters are about as wide as the original's, so the texts fit where they always did.
QFont DialogFont(const char* face, int points);

// Base width and height of a template font in pixels.
struct DialogBaseUnits {
  double x;
  double y;
};

// The base units a template was drawn with. For "Small Fonts" 7 point these are the reference
// desktop's, 5 x 11 pixels: the main window's skin is fixed in pixels (its separator at x = 120,
// its 15 x 17 pictures) and its template only keeps its proportions in these units. Every other
// template takes the base units of its stand-in font: the average width of the 52 letters and
// the font's height.
DialogBaseUnits TemplateBaseUnits(const char* face, int points);

// A rectangle given in dialog units, in pixels.
QRect DluToPixels(const DialogBaseUnits& units, int x, int y, int width, int height);
QSize DluToPixels(const DialogBaseUnits& units, int width, int height);
// The same with the base units of a font.
QRect DluToPixels(const QFont& font, int x, int y, int width, int height);
QSize DluToPixels(const QFont& font, int width, int height);

}  // namespace fern
