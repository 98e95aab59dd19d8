#include "viewer/ViewerToolBar.h"

#include <QAction>
#include <QFile>
#include <QIcon>
#include <string>

#include "dialogs/ShownText.h"
#include "res/StringTable.h"
#include "res/gui/Pictures.h"

CViewerToolBar::CViewerToolBar(QWidget* parent) : QToolBar(parent) {
  setObjectName(QStringLiteral("toolbar130"));
  setMovable(false);
  setFloatable(false);
  setIconSize(QSize(39, 24));
  setToolButtonStyle(Qt::ToolButtonIconOnly);
  setContentsMargins(5, 0, 0, 0);
  const QPixmap strip = fern::LoadBitmapRes(IDB_VIEWTOOLBAR);
  for (int i = 0; i < 3; ++i) {
    const int id = kCommandIds[i];
    const std::string resource = fern::LoadString(id);
    const size_t newline = resource.find('\n');
    std::string tip = newline == std::string::npos ? std::string() : resource.substr(newline + 1);
    if (tip.size() > 79) tip.resize(79);
    QIcon icon;
    if (!strip.isNull()) icon = QIcon(strip.copy(i * 39, 0, 39, 24));
    QAction* action = addAction(icon, fern::ShownText(resource.substr(0, newline)));
    action->setData(id);
    action->setToolTip(fern::ShownText(tip));
    action->setEnabled(false);
    // Tab reaches the enabled buttons (a toolbar's buttons take no focus by default); Space
    // presses the focused one.
    if (QWidget* button = widgetForAction(action)) button->setFocusPolicy(Qt::TabFocus);
  }
}

QAction* CViewerToolBar::CommandAction(int id) const {
  for (QAction* action : actions())
    if (action->data().toInt() == id) return action;
  return nullptr;
}
