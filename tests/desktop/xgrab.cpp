// Takes a picture of the X screen, or of a rectangle of it, as a user's screenshot tool would:
//   fern_xgrab OUT.(png|ppm) [X Y WIDTH HEIGHT]
// The desktop tests read the PPM pixels and look at the PNG.
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 2 && argc != 6) {
    std::fprintf(stderr, "usage: fern_xgrab OUT.(png|ppm) [X Y WIDTH HEIGHT]\n");
    return 2;
  }
  QGuiApplication app(argc, argv);
  QScreen* screen = QGuiApplication::primaryScreen();
  if (screen == nullptr) {
    std::fprintf(stderr, "fern_xgrab: no screen\n");
    return 1;
  }
  int x = 0, y = 0, width = -1, height = -1;
  if (argc == 6) {
    x = std::atoi(argv[2]);
    y = std::atoi(argv[3]);
    width = std::atoi(argv[4]);
    height = std::atoi(argv[5]);
  }
  const QImage image = screen->grabWindow(0, x, y, width, height).toImage().convertToFormat(QImage::Format_RGB888);
  if (image.isNull() || !image.save(QString::fromLocal8Bit(argv[1]))) {
    std::fprintf(stderr, "fern_xgrab: cannot grab or write %s\n", argv[1]);
    return 1;
  }
  return 0;
}
