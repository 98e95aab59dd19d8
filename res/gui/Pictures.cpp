#include "res/gui/Pictures.h"

#include <QFile>
#include <QFont>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>

#include "res/Resource.h"

// The program icon lives in res/icons/fernapp.svg, shared with the desktop installation; the
// resource object sits in a static library, so it is pulled in by name.
static void InitPictureResources() {
  static const bool done = [] {
    Q_INIT_RESOURCE(Pictures);
    return true;
  }();
  (void)done;
}

namespace fern {
namespace {

// ---------------------------------------------------------------------------------------------
// Icons, as small vector drawings.

const char kFlashDriveSvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32">
  <g stroke="#5a2a05" stroke-width="1" stroke-linejoin="round">
    <rect x="11.5" y="1.5" width="9" height="8" fill="#dfe3e8"/>
    <rect x="8.5" y="9.5" width="15" height="21" rx="3" fill="#f08a24"/>
  </g>
  <rect x="13" y="4" width="2" height="2" fill="#5f6b7a"/>
  <rect x="17" y="4" width="2" height="2" fill="#5f6b7a"/>
  <rect x="11" y="13" width="10" height="2" rx="1" fill="#ffd9a8"/>
  <circle cx="16" cy="26" r="1.6" fill="#3fd43f" stroke="#1c6b1c" stroke-width="0.6"/>
</svg>)";

const char kExclamationSvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
  <path d="M5.5 1.5 H10.5 L9.5 10.5 H6.5 Z" fill="#e01818" stroke="#7a0000" stroke-width="1"
        stroke-linejoin="round"/>
  <rect x="6.5" y="12.5" width="3" height="3" fill="#e01818" stroke="#7a0000" stroke-width="1"/>
</svg>)";

const char kQuestionSvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 32 32">
  <g fill="none" stroke-linecap="round" stroke-linejoin="round">
    <path d="M9.5 10.5 A6.5 6.5 0 1 1 18.8 16.4 C17 17.3 16 18.5 16 20.5 V21.5"
          stroke="#3d0b52" stroke-width="6.5"/>
    <path d="M9.5 10.5 A6.5 6.5 0 1 1 18.8 16.4 C17 17.3 16 18.5 16 20.5 V21.5"
          stroke="#8e24aa" stroke-width="4.2"/>
  </g>
  <circle cx="16" cy="27.2" r="2.9" fill="#8e24aa" stroke="#3d0b52" stroke-width="1.1"/>
</svg>)";

const char kFloppySvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
  <g stroke="#0f4d1c" stroke-width="1" stroke-linejoin="round">
    <path d="M1.5 1.5 H12.5 L14.5 3.5 V14.5 H1.5 Z" fill="#2ea043"/>
    <rect x="4.5" y="1.5" width="6" height="4.5" fill="#d5d9df"/>
    <rect x="3.5" y="8.5" width="9" height="6" fill="#ffffff"/>
  </g>
  <rect x="8" y="2.5" width="1.5" height="2.5" fill="#2ea043"/>
</svg>)";

const char kFolderSvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
  <path d="M1.5 3.5 H6 L7.5 5 H14.5 V13.5 H1.5 Z" fill="#f5c518" stroke="#8a6d00"
        stroke-width="1" stroke-linejoin="round"/>
  <line x1="2" y1="6.5" x2="14" y2="6.5" stroke="#fff2a8" stroke-width="1"/>
</svg>)";

const char kDocumentWindowSvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
  <rect x="1.5" y="2.5" width="13" height="11" fill="#ffffff" stroke="#1f3f7a" stroke-width="1"/>
  <rect x="2" y="3" width="12" height="2.5" fill="#2f62c4"/>
  <g stroke="#8a94a3" stroke-width="1">
    <line x1="4" y1="7.5" x2="12" y2="7.5"/>
    <line x1="4" y1="9.5" x2="12" y2="9.5"/>
    <line x1="4" y1="11.5" x2="9" y2="11.5"/>
  </g>
</svg>)";

// Glyphs of the viewer's toolbar, 16 x 16, above their captions.
const char kRestoreGlyphSvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
  <path d="M1 8 L7 2 V5.5 H14.5 V10.5 H7 V14 Z" fill="#2ea043" stroke="#0f4d1c" stroke-width="1"
        stroke-linejoin="round"/>
</svg>)";

const char kCopyGlyphSvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
  <g stroke="#333a44" stroke-width="1">
    <rect x="1.5" y="1.5" width="8" height="9" fill="#ffffff"/>
    <line x1="3" y1="3.5" x2="8" y2="3.5"/><line x1="3" y1="5.5" x2="5" y2="5.5"/>
    <rect x="6.5" y="5.5" width="8" height="9" fill="#ffffff"/>
    <line x1="8" y1="8" x2="13" y2="8"/><line x1="8" y1="10" x2="13" y2="10"/>
    <line x1="8" y1="12" x2="11" y2="12"/>
  </g>
</svg>)";

const char kPreviewGlyphSvg[] = R"(<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 16 16">
  <g stroke="#8a6d00" stroke-width="1" stroke-linejoin="round">
    <path d="M1.5 4.5 H5 L6.5 6 H11.5 V14.5 H1.5 Z" fill="#d9a800"/>
    <path d="M1.5 14.5 L4 8.5 H14.5 L12 14.5 Z" fill="#f5c518"/>
  </g>
  <path d="M7.5 3 H11 V0.8 L15 4 L11 7.2 V5 H7.5 Z" fill="#2ea043" stroke="#0f4d1c"
        stroke-width="0.8" stroke-linejoin="round"/>
</svg>)";

QImage RenderSvg(const QByteArray& svg, int size) {
  QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
  image.fill(Qt::transparent);
  QSvgRenderer renderer(svg);
  QPainter painter(&image);
  renderer.render(&painter);
  return image;
}

QImage RenderSvg(const char* svg, int size) { return RenderSvg(QByteArray(svg), size); }

QImage ProgramIconImage(int size) {
  InitPictureResources();
  QFile file(QStringLiteral(":/fern/fernapp.svg"));
  if (!file.open(QIODevice::ReadOnly)) return QImage();
  return RenderSvg(file.readAll(), size);
}

// The grey drive: the coloured one with each pixel's lightness kept.
QImage Greyed(QImage image) {
  image = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x) {
      int grey = qGray(line[x]);
      line[x] = qRgba(grey, grey, grey, qAlpha(line[x]));
    }
  }
  return image;
}

// Ghosted: every other pixel left out, in a checkerboard.
QImage Ghosted(QImage image) {
  image = image.convertToFormat(QImage::Format_ARGB32);
  for (int y = 0; y < image.height(); ++y) {
    auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
    for (int x = 0; x < image.width(); ++x)
      if ((x + y) % 2 == 1) line[x] = qRgba(0, 0, 0, 0);
  }
  return image;
}

QIcon IconOf(const QImage& image) {
  if (image.isNull()) return QIcon();
  QIcon icon;
  icon.addPixmap(QPixmap::fromImage(image));
  return icon;
}

// ---------------------------------------------------------------------------------------------
// Button pictures: one glyph per button, drawn in each of the four colour schemes.

enum Glyph { ARROW_RIGHT, BARS_ARROW_RIGHT, TICKED_BOX, LETTER_I, LETTER_X, ARROW_LEFT,
             MAGNIFIER, BAR_BOTTOM, CIRCLE_CROSS };
enum Scheme { NORMAL, PRESSED, FOCUSED, DISABLED };

struct ButtonPictures {
  Glyph glyph;
  bool purple;  // the window buttons (hide and close) are purple, the others navy
  int normal, pressed, focused, disabled;
};

const ButtonPictures kButtons[] = {
    {ARROW_RIGHT, false, 134, 133, 135, 136},       // 1009 Full Backup
    {BARS_ARROW_RIGHT, false, 138, 140, 139, 137},  // 1002 Quick Backup
    {TICKED_BOX, false, 142, 144, 143, 141},        // 1003 options
    {LETTER_I, false, 146, 148, 147, 145},          // 1010 About
    {LETTER_X, false, 150, 152, 151, 149},          // 1004 Delete
    {ARROW_LEFT, false, 154, 156, 155, 153},        // 1005 Restore
    {MAGNIFIER, false, 158, 160, 159, 157},         // 1006 View
    {BAR_BOTTOM, true, 162, 164, 163, 161},         // 3 hide to the tray
    {CIRCLE_CROSS, true, 166, 168, 167, 165},       // 2 close
};

const QColor kNavy(0, 0, 128), kPurple(128, 0, 128), kBlue(0, 0, 255), kYellow(255, 255, 0),
    kLightGrey(192, 192, 192), kGrey(128, 128, 128), kWhite(255, 255, 255);

// An arrow head: columns growing shorter by one pixel at each end towards the tip.
void ArrowHead(QPainter& p, int baseX, int step, int columns) {
  for (int i = 0; i < columns; ++i) p.fillRect(baseX + i * step, 4 + i, 1, 9 - 2 * i, p.pen().color());
}

void DrawGlyph(QPainter& p, Glyph glyph, const QColor& c) {
  p.setPen(QPen(c, 1));
  p.setBrush(Qt::NoBrush);
  switch (glyph) {
    case ARROW_RIGHT:
      p.fillRect(3, 7, 5, 3, c);
      ArrowHead(p, 8, 1, 5);
      break;
    case BARS_ARROW_RIGHT:
      p.fillRect(2, 4, 1, 9, c);
      p.fillRect(4, 4, 1, 9, c);
      p.fillRect(6, 7, 3, 3, c);
      ArrowHead(p, 9, 1, 5);
      break;
    case TICKED_BOX:
      p.drawRect(3, 5, 8, 8);
      for (int dy = 0; dy < 2; ++dy) {
        p.drawLine(5, 8 + dy, 7, 10 + dy);
        p.drawLine(7, 10 + dy, 12, 5 + dy);
      }
      break;
    case LETTER_I:
      p.fillRect(6, 3, 3, 2, c);
      p.fillRect(5, 6, 4, 1, c);
      p.fillRect(6, 6, 3, 7, c);
      p.fillRect(5, 13, 5, 1, c);
      break;
    case LETTER_X:
      for (int i = 0; i < 9; ++i) {
        p.fillRect(3 + i, 4 + i, 2, 1, c);
        p.fillRect(10 - i, 4 + i, 2, 1, c);
      }
      break;
    case ARROW_LEFT:
      p.fillRect(7, 7, 5, 3, c);
      ArrowHead(p, 6, -1, 5);
      break;
    case MAGNIFIER:
      p.setPen(QPen(c, 2));
      p.drawEllipse(QRect(3, 3, 6, 6));
      p.drawLine(9, 10, 12, 13);
      break;
    case BAR_BOTTOM:
      p.fillRect(4, 12, 7, 2, c);
      break;
    case CIRCLE_CROSS:
      p.drawEllipse(QRect(2, 3, 10, 10));
      p.drawLine(5, 6, 9, 10);
      p.drawLine(9, 6, 5, 10);
      break;
  }
}

QImage ButtonImage(const ButtonPictures& b, Scheme scheme) {
  const QColor ink = b.purple ? kPurple : kNavy;
  QColor background = kWhite, glyph = ink, frame = kGrey;
  switch (scheme) {
    case NORMAL: break;
    case PRESSED: background = b.purple ? kPurple : kBlue; glyph = kWhite; frame = ink; break;
    case FOCUSED: background = kYellow; break;
    case DISABLED: glyph = kLightGrey; frame = kLightGrey; break;
  }
  QImage image(15, 17, QImage::Format_RGB32);
  image.fill(background);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(QPen(frame, 1));
  p.drawRect(0, 0, 14, 16);
  DrawGlyph(p, b.glyph, glyph);
  return image;
}

QImage ButtonBitmap(int id) {
  for (const ButtonPictures& b : kButtons) {
    if (id == b.normal) return ButtonImage(b, NORMAL);
    if (id == b.pressed) return ButtonImage(b, PRESSED);
    if (id == b.focused) return ButtonImage(b, FOCUSED);
    if (id == b.disabled) return ButtonImage(b, DISABLED);
  }
  return QImage();
}

// The viewer's toolbar strip: three 39 x 24 images, a glyph over its caption.
QImage ToolbarStrip() {
  QImage strip(117, 24, QImage::Format_ARGB32_Premultiplied);
  strip.fill(Qt::transparent);
  QPainter p(&strip);
  QFont font;
  font.setFamilies({QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  font.setPixelSize(8);
  p.setFont(font);
  p.setPen(Qt::black);
  const struct { const char* svg; const char* caption; } cells[] = {
      {kRestoreGlyphSvg, "Restore"}, {kCopyGlyphSvg, "Copy"}, {kPreviewGlyphSvg, "Preview"}};
  for (int i = 0; i < 3; ++i) {
    p.drawImage(i * 39 + 12, -1, RenderSvg(cells[i].svg, 16));  // the glyphs' top row is empty
    p.drawText(QRect(i * 39, 15, 39, 9), Qt::AlignHCenter | Qt::AlignBottom,
               QString::fromLatin1(cells[i].caption));
  }
  return strip;
}

}  // namespace

QIcon LoadIconRes(int id) {
  switch (id) {
    case IDR_MAINFRAME: {
      QIcon icon;
      for (int size : {16, 24, 32, 48, 64, 128}) {
        QImage image = ProgramIconImage(size);
        if (!image.isNull()) icon.addPixmap(QPixmap::fromImage(image));
      }
      return icon;
    }
    case IDI_DRIVE: return IconOf(RenderSvg(kFlashDriveSvg, 32));
    case IDI_NODRIVE: return IconOf(Greyed(RenderSvg(kFlashDriveSvg, 32)));
    case IDI_ERRORROW: return IconOf(RenderSvg(kExclamationSvg, 16));
    case IDI_FULLSET: return IconOf(RenderSvg(kFloppySvg, 16));
    case IDI_QUICKSET: return IconOf(Ghosted(RenderSvg(kFloppySvg, 16)));
    case IDI_ERRORBIG: return IconOf(RenderSvg(kExclamationSvg, 32));
    case IDI_QUESTION: return IconOf(RenderSvg(kQuestionSvg, 32));
    case IDI_FOLDER: return IconOf(RenderSvg(kFolderSvg, 16));
    case IDI_FILE: return IconOf(RenderSvg(kDocumentWindowSvg, 16));
    default: return QIcon();
  }
}

QPixmap LoadBitmapRes(int id) {
  if (id == IDB_VIEWTOOLBAR) return QPixmap::fromImage(ToolbarStrip());
  if (id >= IDB_FIRST_BUTTON && id <= IDB_LAST_BUTTON) return QPixmap::fromImage(ButtonBitmap(id));
  return QPixmap();
}

}  // namespace fern
