#include "res/gui/ListPictures.h"

#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QStringList>
#include <array>

#include "res/Resource.h"
#include "res/gui/Pictures.h"

namespace fern {

QPixmap ListPicture(int image) {
  if (image < 0 || image >= IMAGE_COUNT) return QPixmap();
  // Kept as images, not pixmaps: an image outlives the QApplication without harm, so nothing
  // has to be released before the program's end.
  static const std::array<QImage, IMAGE_COUNT> pictures = [] {
    std::array<QImage, IMAGE_COUNT> made;
    static const int kIcons[IMAGE_COUNT] = {IDI_ERRORROW, IDI_FULLSET, IDI_QUICKSET, IDI_FOLDER, IDI_FILE};
    for (int i = 0; i < IMAGE_COUNT; ++i) {
      // Colour pictures without a mask: what an icon leaves transparent shows white.
      QImage picture(16, 16, QImage::Format_RGB32);
      picture.fill(Qt::white);
      QIcon icon = LoadIconRes(kIcons[i]);
      if (!icon.isNull()) {
        QPainter painter(&picture);
        icon.paint(&painter, QRect(0, 0, 16, 16));
      }
      made[static_cast<size_t>(i)] = picture;
    }
    return made;
  }();
  return QPixmap::fromImage(pictures[static_cast<size_t>(image)]);
}

QFont VerticalFont() {
  QFont font;
  font.setStyleHint(QFont::SansSerif);
  font.setFamilies(QStringList{QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  font.setPixelSize(20);
  font.setWeight(QFont::Normal);
  return font;
}

}  // namespace fern
