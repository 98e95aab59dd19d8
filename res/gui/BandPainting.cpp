#include "res/gui/BandPainting.h"

#include <QFontMetrics>
#include <QPainter>
#include <QWidget>

namespace fern {

namespace {

QColor LowBytes(int r, int g, int b) { return QColor(r & 0xFF, g & 0xFF, b & 0xFF); }

}  // namespace

QColor BandColumnColour(const QColor& caption, int x) {
  // Plus 4 a column for the columns 0 to 14, minus 4 a column from 15 on.
  const int columnsUp = x < 15 ? x + 1 : 15;
  const int columnsDown = x < 15 ? 0 : x - 14;
  const int step = 4 * (columnsUp - columnsDown);
  return LowBytes(caption.red() + step, caption.green() + step, caption.blue() + step);
}

QColor BandLabelColour(const QColor& caption) {
  return LowBytes(caption.red() - 50, caption.green() - 50, caption.blue() - 50);
}

int PaintBand(QPainter& painter, const QWidget& window, const QFont& font, const QString& label) {
  const QPalette& palette = window.palette();
  const QColor caption = palette.color(QPalette::Active, QPalette::Highlight);
  painter.fillRect(window.rect(), palette.color(QPalette::Button));
  for (int x = 0; x < kBandWidth; ++x)
    painter.fillRect(QRect(x, 0, 1, window.height()), BandColumnColour(caption, x));
  if (label.isEmpty()) return 0;

  const QFontMetrics metrics(font);
  const int extent = metrics.horizontalAdvance(label);
  const int h = metrics.height();
  painter.save();
  painter.setFont(font);
  painter.setPen(BandLabelColour(caption));
  // Aligned to the bottom of the rectangle (3, 0)-(30, extent + 40): the text's cell starts at
  // y = extent + 40 - h and runs up from there.
  painter.translate(3, extent + 40 - h);
  painter.rotate(-90);
  painter.drawText(QRect(0, 0, extent, h), Qt::AlignLeft | Qt::AlignTop | Qt::TextSingleLine, label);
  painter.restore();
  return extent;
}

}  // namespace fern
