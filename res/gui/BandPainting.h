// The captionless skin's left band, shared by the main window and the viewer: the window
// filled with the button face, a 30-column gradient from the active-caption colour, and a label
// turned by 90 degrees that reads from bottom to top inside the band.
#pragma once

#include <QColor>
#include <QFont>
#include <QString>

class QPainter;
class QWidget;

namespace fern {

// The band is 30 pixels wide; what a window puts to its right starts there.
constexpr int kBandWidth = 30;

// Column x (0 to 29) of the band: the caption colour plus 4 for every column up to the middle,
// then back down by 4 a column. Each component keeps its low 8 bits, so a light caption colour
// (a component above 195) runs past 255 into dark values mid-band, as the skin has always done.
QColor BandColumnColour(const QColor& caption, int x);
// The label's colour: each component less 50, kept to its low 8 bits.
QColor BandLabelColour(const QColor& caption);

// Paints the background, the band from the window's active highlight (caption) colour, and the
// label in font, ending 40 pixels below the top. Returns the label's extent along its baseline
// (0 for an empty label, which is not drawn).
int PaintBand(QPainter& painter, const QWidget& window, const QFont& font, const QString& label);

}  // namespace fern
