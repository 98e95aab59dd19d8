#include "res/gui/DialogUnits.h"

#include <QFontMetricsF>
#include <QStringList>
#include <cmath>
#include <cstring>

namespace fern {

static bool IsSmallFonts(const char* face) { return face != nullptr && std::strcmp(face, "Small Fonts") == 0; }

QFont DialogFont(const char* face, int points) {
  QFont font;
  font.setStyleHint(QFont::SansSerif);
  font.setFamilies(QStringList{QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  if (IsSmallFonts(face)) {
    // The narrow face where the desktop has one (DejaVu Sans Condensed); Qt narrows a
    // scalable face itself otherwise.
    font.setStretch(QFont::SemiCondensed);
    font.setPixelSize(8);
  } else {
    font.setPointSize(points);  // Windows faces do not exist here; the desktop's sans-serif stands in
  }
  return font;
}

// The base units of a font as Windows computes them: the average width of the 52 letters
// and the character height.
static DialogBaseUnits BaseUnitsOf(const QFont& font) {
  QFontMetricsF metrics(font);
  static const QString letters =
      QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
  DialogBaseUnits units{metrics.horizontalAdvance(letters) / 52.0, metrics.height()};
  if (units.x <= 0) units.x = 6;
  if (units.y <= 0) units.y = 13;
  return units;
}

DialogBaseUnits TemplateBaseUnits(const char* face, int points) {
  if (IsSmallFonts(face) && points == 7) return DialogBaseUnits{5, 11};
  return BaseUnitsOf(DialogFont(face, points));
}

QRect DluToPixels(const DialogBaseUnits& units, int x, int y, int width, int height) {
  auto px = [&units](int v) { return static_cast<int>(std::lround(v * units.x / 4.0)); };
  auto py = [&units](int v) { return static_cast<int>(std::lround(v * units.y / 8.0)); };
  return QRect(px(x), py(y), px(width), py(height));
}

QSize DluToPixels(const DialogBaseUnits& units, int width, int height) {
  return DluToPixels(units, 0, 0, width, height).size();
}

QRect DluToPixels(const QFont& font, int x, int y, int width, int height) {
  return DluToPixels(BaseUnitsOf(font), x, y, width, height);
}

QSize DluToPixels(const QFont& font, int width, int height) {
  return DluToPixels(BaseUnitsOf(font), 0, 0, width, height).size();
}

}  // namespace fern
