// The 16 x 16 pictures of the program's lists (the set list, the viewer's tree) and the face of
// the labels painted turned by 90 degrees. Both are made on first use, so that no start-up step
// has to run before a window can show them; the pictures need a running QGuiApplication.
#pragma once

#include <QFont>
#include <QPixmap>

// List-picture indexes.
enum { IMAGE_ERROR = 0, IMAGE_FULLSET = 1, IMAGE_QUICKSET = 2, IMAGE_FOLDER = 3, IMAGE_FILE = 4, IMAGE_COUNT = 5 };

namespace fern {

// The list picture of that index; a null pixmap for an unknown index.
QPixmap ListPicture(int image);

// The face of the turned labels: 20 pixels, sans-serif, default weight.
QFont VerticalFont();

}  // namespace fern
