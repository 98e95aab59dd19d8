#include "res/gui/DialogUnits.h"

#include <QFontMetricsF>
#include <QStringList>
#include <cmath>

namespace fern {

QFont DialogFont(const char* face, int points) {
  (void)face;  // Windows faces do not exist here; the desktop's sans-serif stands in
  QFont font;
  font.setStyleHint(QFont::SansSerif);
  font.setFamilies(QStringList{QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  font.setPointSize(points);
  return font;
}

// The base units of a font as Windows computes them: the average width of the 52 letters
// and the character height.
static void BaseUnits(const QFont& font, double& baseX, double& baseY) {
  QFontMetricsF metrics(font);
  static const QString letters =
      QStringLiteral("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ");
  baseX = metrics.horizontalAdvance(letters) / 52.0;
  baseY = metrics.height();
  if (baseX <= 0) baseX = 6;
  if (baseY <= 0) baseY = 13;
}

QRect DluToPixels(const QFont& font, int x, int y, int width, int height) {
  double bx, by;
  BaseUnits(font, bx, by);
  auto px = [bx](int v) { return static_cast<int>(std::lround(v * bx / 4.0)); };
  auto py = [by](int v) { return static_cast<int>(std::lround(v * by / 8.0)); };
  return QRect(px(x), py(y), px(width), py(height));
}

QSize DluToPixels(const QFont& font, int width, int height) {
  QRect r = DluToPixels(font, 0, 0, width, height);
  return r.size();
}

}  // namespace fern
