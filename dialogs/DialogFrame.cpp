#include "dialogs/DialogFrame.h"

#include <QIcon>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QMessageBox>
#include <QSpacerItem>

#include "res/gui/DialogUnits.h"
#include "res/gui/Pictures.h"

namespace fern {

static QFont TemplateFont() { return DialogFont("MS Shell Dlg", 8); }

void SetUpTemplateDialog(QDialog* dialog, const char* caption, int widthDlu, int heightDlu) {
  dialog->setWindowFlags(Qt::Dialog | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint |
                         Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint);
  dialog->setWindowTitle(QString::fromUtf8(caption));
  dialog->setFont(TemplateFont());
  dialog->setFixedSize(DluToPixels(TemplateFont(), widthDlu, heightDlu));
}

QRect TemplateRect(int x, int y, int width, int height) {
  return DluToPixels(TemplateFont(), x, y, width, height);
}

QLabel* StaticIcon(QWidget* parent, int iconId, int x, int y) {
  auto* label = new QLabel(parent);
  QIcon icon = LoadIconRes(iconId);
  // The standard icon size where the icon has it.
  const QList<QSize> sizes = icon.availableSizes();
  QSize size = sizes.isEmpty() || sizes.contains(QSize(32, 32)) ? QSize(32, 32) : sizes.first();
  label->setPixmap(icon.pixmap(size));
  // A static icon sizes itself to the icon, whatever the template says.
  label->setGeometry(QRect(TemplateRect(x, y, 0, 0).topLeft(), size));
  return label;
}

void KeepCaptionWhole(QMessageBox& box) {
  auto* grid = qobject_cast<QGridLayout*>(box.layout());
  if (grid == nullptr) return;
  // Title fonts are larger and bolder than the box's own, and the frame has its icon and three
  // buttons: room for twice the caption in the box's font plus those is room enough.
  const int width = 2 * QFontMetrics(box.font()).horizontalAdvance(box.windowTitle()) + 160;
  // A message box sets its own size from its layout, so the room is a spacer across the grid.
  grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Expanding), grid->rowCount(), 0, 1,
                grid->columnCount());
}

}  // namespace fern
