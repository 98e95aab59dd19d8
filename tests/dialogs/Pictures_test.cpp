#include <QFile>
#include <QImage>
#include <QSet>
#include <QSvgRenderer>
#include <gtest/gtest.h>

#include "res/Resource.h"
#include "res/gui/Pictures.h"

namespace {

QImage Bitmap(int id) { return fern::LoadBitmapRes(id).toImage().convertToFormat(QImage::Format_ARGB32); }

QImage IconImage(int id, int size) {
  return fern::LoadIconRes(id).pixmap(size, size).toImage().convertToFormat(QImage::Format_ARGB32);
}

QSet<QRgb> Colours(const QImage& image) {
  QSet<QRgb> colours;
  for (int y = 0; y < image.height(); ++y)
    for (int x = 0; x < image.width(); ++x) colours.insert(image.pixel(x, y));
  return colours;
}

const QRgb kWhite = qRgb(255, 255, 255), kNavy = qRgb(0, 0, 128), kPurple = qRgb(128, 0, 128),
           kBlue = qRgb(0, 0, 255), kYellow = qRgb(255, 255, 0), kLightGrey = qRgb(192, 192, 192);

// Bitmap ids of one button: normal, pressed, focused, disabled.
struct Button { int normal, pressed, focused, disabled; bool purple; };
const Button kButtons[] = {{134, 133, 135, 136, false}, {138, 140, 139, 137, false},
                           {142, 144, 143, 141, false}, {146, 148, 147, 145, false},
                           {150, 152, 151, 149, false}, {154, 156, 155, 153, false},
                           {158, 160, 159, 157, false}, {162, 164, 163, 161, true},
                           {166, 168, 167, 165, true}};

TEST(PicturesTest, ButtonPicturesFollowTheFourSchemes) {
  QSet<QByteArray> glyphs;
  for (const Button& b : kButtons) {
    const QRgb ink = b.purple ? kPurple : kNavy;
    QImage normal = Bitmap(b.normal), pressed = Bitmap(b.pressed), focused = Bitmap(b.focused),
           disabled = Bitmap(b.disabled);
    for (const QImage* image : {&normal, &pressed, &focused, &disabled})
      ASSERT_EQ(image->size(), QSize(15, 17)) << b.normal;

    EXPECT_EQ(normal.pixel(2, 2), kWhite) << b.normal;
    EXPECT_EQ(pressed.pixel(2, 2), b.purple ? kPurple : kBlue) << b.pressed;
    EXPECT_EQ(focused.pixel(2, 2), kYellow) << b.focused;
    EXPECT_EQ(disabled.pixel(2, 2), kWhite) << b.disabled;

    EXPECT_TRUE(Colours(normal).contains(ink)) << b.normal;
    EXPECT_TRUE(Colours(focused).contains(ink)) << b.focused;
    EXPECT_TRUE(Colours(pressed).contains(kWhite)) << b.pressed;
    EXPECT_FALSE(Colours(pressed).contains(kYellow)) << b.pressed;
    QSet<QRgb> grey = Colours(disabled);
    EXPECT_TRUE(grey.contains(kLightGrey)) << b.disabled;
    EXPECT_FALSE(grey.contains(kNavy) || grey.contains(kPurple)) << b.disabled;

    // The same glyph in every scheme: wherever the normal picture has ink, the pressed one
    // has white and the disabled one light grey.
    int inked = 0;
    for (int y = 1; y < 16; ++y)
      for (int x = 1; x < 14; ++x)
        if (normal.pixel(x, y) == ink) {
          ++inked;
          EXPECT_EQ(pressed.pixel(x, y), kWhite) << b.pressed << " " << x << "," << y;
          EXPECT_EQ(disabled.pixel(x, y), kLightGrey) << b.disabled << " " << x << "," << y;
          EXPECT_EQ(focused.pixel(x, y), ink) << b.focused << " " << x << "," << y;
        }
    EXPECT_GT(inked, 8) << b.normal;
    glyphs.insert(QByteArray(reinterpret_cast<const char*>(normal.constBits()), normal.sizeInBytes()));
  }
  EXPECT_EQ(glyphs.size(), 9) << "every button has a glyph of its own";
  // The arrows point their own ways: the right arrow's tip is at the right, the left one's
  // at the left.
  EXPECT_EQ(Bitmap(134).pixel(12, 8), kNavy);
  EXPECT_EQ(Bitmap(134).pixel(2, 8), kWhite);
  EXPECT_EQ(Bitmap(154).pixel(2, 8), kNavy);
  EXPECT_EQ(Bitmap(154).pixel(12, 8), kWhite);
}

TEST(PicturesTest, IconsHaveTheirSizesAndLooks) {
  for (int id : {IDI_ERRORROW, IDI_FULLSET, IDI_QUICKSET, IDI_FOLDER, IDI_FILE}) {
    QIcon icon = fern::LoadIconRes(id);
    ASSERT_FALSE(icon.isNull()) << id;
    EXPECT_EQ(icon.availableSizes().value(0), QSize(16, 16)) << id;
  }
  for (int id : {IDR_MAINFRAME, IDI_DRIVE, IDI_NODRIVE, IDI_ERRORBIG, IDI_QUESTION}) {
    QIcon icon = fern::LoadIconRes(id);
    ASSERT_FALSE(icon.isNull()) << id;
    EXPECT_TRUE(icon.availableSizes().contains(QSize(32, 32))) << id;
  }
  EXPECT_TRUE(fern::LoadIconRes(IDR_MAINFRAME).availableSizes().contains(QSize(16, 16)));

  // The grey drive is the coloured one without its colour.
  QImage drive = IconImage(IDI_DRIVE, 32), noDrive = IconImage(IDI_NODRIVE, 32);
  bool coloured = false;
  for (int y = 0; y < 32; ++y)
    for (int x = 0; x < 32; ++x) {
      QColor c = noDrive.pixelColor(x, y), d = drive.pixelColor(x, y);
      EXPECT_TRUE(c.red() == c.green() && c.green() == c.blue()) << x << "," << y;
      EXPECT_EQ(c.alpha(), d.alpha()) << x << "," << y;
      if (d.alpha() == 255 && d.red() != d.blue()) coloured = true;
    }
  EXPECT_TRUE(coloured);

  // The quick-set floppy is the full-set one with every other pixel left out.
  QImage full = IconImage(IDI_FULLSET, 16), quick = IconImage(IDI_QUICKSET, 16);
  for (int y = 0; y < 16; ++y)
    for (int x = 0; x < 16; ++x) {
      if ((x + y) % 2 == 1) {
        EXPECT_EQ(qAlpha(quick.pixel(x, y)), 0) << x << "," << y;
      } else {
        EXPECT_EQ(quick.pixel(x, y), full.pixel(x, y)) << x << "," << y;
      }
    }
  QColor floppy = full.pixelColor(3, 6);
  EXPECT_GT(floppy.green(), floppy.red() + 50);

  QColor mark = IconImage(IDI_ERRORBIG, 32).pixelColor(16, 10);
  EXPECT_GT(mark.red(), 150);
  EXPECT_LT(mark.green(), 90);
  QColor question = IconImage(IDI_QUESTION, 32).pixelColor(16, 27);
  EXPECT_GT(question.red(), question.green() + 50);
  EXPECT_GT(question.blue(), question.green() + 50);
  QColor folder = IconImage(IDI_FOLDER, 16).pixelColor(8, 10);
  EXPECT_GT(folder.red(), 200);
  EXPECT_GT(folder.green(), 150);
  EXPECT_LT(folder.blue(), 100);

  for (int id : {0, 129, 134, 144, 168}) EXPECT_TRUE(fern::LoadIconRes(id).isNull()) << id;
  for (int id : {0, 128, 131, 132, 169}) EXPECT_TRUE(fern::LoadBitmapRes(id).isNull()) << id;
}

TEST(PicturesTest, ToolbarStripHoldsThreeImagesOfThirtyNinePixels) {
  QImage strip = Bitmap(IDB_VIEWTOOLBAR);
  ASSERT_EQ(strip.size(), QSize(117, 24));
  for (int cell = 0; cell < 3; ++cell) {
    int glyph = 0, caption = 0, green = 0;
    for (int y = 0; y < 24; ++y)
      for (int x = cell * 39; x < cell * 39 + 39; ++x) {
        QColor c = strip.pixelColor(x, y);
        if (c.alpha() < 128) continue;
        (y < 15 ? glyph : caption)++;
        if (c.green() > c.red() + 60 && c.green() > c.blue() + 60) ++green;
      }
    EXPECT_GT(glyph, 20) << cell;
    EXPECT_GT(caption, 10) << cell << ": the caption is painted under the glyph";
    if (cell != 1) {
      EXPECT_GT(green, 10) << cell << ": the green arrow";
    }
  }
}

TEST(PicturesTest, DesktopFilesAreInstallable) {
  QSvgRenderer svg(QStringLiteral(FERN_SOURCE_DIR "/res/icons/fernapp.svg"));
  EXPECT_TRUE(svg.isValid());
  QFile desktop(QStringLiteral(FERN_SOURCE_DIR "/res/io.github.ferncastle.Ferncastle.desktop"));
  ASSERT_TRUE(desktop.open(QIODevice::ReadOnly));
  QByteArray text = desktop.readAll();
  for (const char* line : {"[Desktop Entry]\n", "\nName=Ferncastle\n", "\nExec=fernapp\n",
                           "\nIcon=io.github.ferncastle.Ferncastle\n", "\nType=Application\n"})
    EXPECT_TRUE(text.contains(line)) << line;
}

}  // namespace
