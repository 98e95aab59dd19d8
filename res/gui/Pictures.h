// The program's pictures by resource id: icons 128 and 135 to 143, button bitmaps 133 to 168
// (15 x 17 pixels) and the viewer's toolbar strip 130 (117 x 24 pixels). All are drawn by
// the program itself.
#pragma once

#include <QIcon>
#include <QPixmap>

namespace fern {

// The icon of that id at its natural size (32 x 32, or 16 x 16 for the image-list icons);
// a null icon for an unknown id.
QIcon LoadIconRes(int id);
// The bitmap of that id; a null pixmap for an unknown id.
QPixmap LoadBitmapRes(int id);

}  // namespace fern
