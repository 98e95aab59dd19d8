// The skin's band, painted for real into an image: its colours from the caption colour, with
// components that wrap past 255 (a light theme) rather than stop there, and the turned label.
#include "res/gui/BandPainting.h"

#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QImage>
#include <QPainter>
#include <QWidget>

namespace {

QImage PaintedBand(const QColor& caption, const QString& label, int* extent) {
  QWidget window;
  window.resize(200, 150);
  QPalette palette = window.palette();
  palette.setColor(QPalette::Active, QPalette::Highlight, caption);
  palette.setColor(QPalette::Button, QColor(212, 208, 200));
  window.setPalette(palette);
  QImage image(window.size(), QImage::Format_RGB32);
  image.fill(Qt::magenta);
  QPainter painter(&image);
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(20);
  *extent = fern::PaintBand(painter, window, font, label);
  return image;
}

TEST(BandPainting, ColumnsWrapPast255OnALightTheme) {
  int extent = 0;
  const QColor light(230, 240, 250);
  const QImage image = PaintedBand(light, QString(), &extent);
  EXPECT_EQ(extent, 0);
  // Plus 4 a column to plus 60 at column 14, each component kept to its low 8 bits.
  EXPECT_EQ(image.pixelColor(0, 100), QColor(234, 244, 254));
  EXPECT_EQ(image.pixelColor(1, 100), QColor(238, 248, 2));
  EXPECT_EQ(image.pixelColor(14, 100), QColor(34, 44, 54));
  EXPECT_EQ(image.pixelColor(15, 100), QColor(30, 40, 50));
  EXPECT_EQ(image.pixelColor(29, 100), light);
  // The rest is the button face, the band the full height.
  EXPECT_EQ(image.pixelColor(30, 100), QColor(212, 208, 200));
  EXPECT_EQ(image.pixelColor(14, 149), QColor(34, 44, 54));
  // A dark caption colour stays in range; its label wraps below 0.
  EXPECT_EQ(fern::BandColumnColour(QColor(0, 0, 128), 14), QColor(60, 60, 188));
  EXPECT_EQ(fern::BandLabelColour(QColor(0, 0, 128)), QColor(206, 206, 78));
  EXPECT_EQ(fern::BandLabelColour(light), QColor(180, 190, 200));
}

TEST(BandPainting, LabelReadsUpwardsInsideTheBand) {
  int extent = 0;
  const QColor caption(10, 36, 106);
  const QImage image = PaintedBand(caption, QStringLiteral("Fernlet"), &extent);
  ASSERT_GT(extent, 30);
  const QColor label = fern::BandLabelColour(caption);
  int top = image.height(), bottom = -1, right = -1;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x)
      if (image.pixelColor(x, y) == label) {
        top = std::min(top, y), bottom = std::max(bottom, y), right = std::max(right, x);
      }
  // Drawn in the label's colour inside the band, its cell of one line height ending 40 pixels
  // below the top of the text's extent.
  QFont font(QStringLiteral("DejaVu Sans"));
  font.setPixelSize(20);
  const int lineHeight = QFontMetrics(font).height();
  ASSERT_GE(bottom, 0);
  EXPECT_LT(right, fern::kBandWidth);
  EXPECT_LE(bottom, extent + 40 - lineHeight);
  EXPECT_GE(top, 40 - lineHeight);
  EXPECT_GT(bottom - top, extent / 2);  // runs along the height: the text is turned
}

}  // namespace
