// fern_render_icon ICON.svg SIZE OUT.png: the program icon as a SIZE x SIZE PNG, for the icon
// theme's fixed sizes. Run at build time, so the PNGs always match the SVG.
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
  if (argc != 4) {
    fputs("usage: fern_render_icon ICON.svg SIZE OUT.png\n", stderr);
    return 2;
  }
  const int size = atoi(argv[2]);
  if (size <= 0 || size > 1024) {
    fprintf(stderr, "fern_render_icon: bad size '%s'\n", argv[2]);
    return 2;
  }
  // A build machine has no display.
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QGuiApplication app(argc, argv);
  QSvgRenderer svg(QString::fromLocal8Bit(argv[1]));
  if (!svg.isValid()) {
    fprintf(stderr, "fern_render_icon: %s: not a readable SVG\n", argv[1]);
    return 1;
  }
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QPainter painter(&image);
  painter.setRenderHint(QPainter::Antialiasing);
  svg.render(&painter);
  painter.end();
  if (!image.save(QString::fromLocal8Bit(argv[3]), "PNG")) {
    fprintf(stderr, "fern_render_icon: %s: cannot write the PNG\n", argv[3]);
    return 1;
  }
  return 0;
}
