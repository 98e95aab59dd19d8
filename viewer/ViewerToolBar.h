// The viewer's toolbar 130: Restore, Copy and Preview, each a picture of the strip with its
// tip from the string table, all disabled until the command rules enable them.
#pragma once

#include <QToolBar>

#include "res/Resource.h"

class CViewerToolBar : public QToolBar {
  Q_OBJECT
 public:
  static constexpr int kCommandIds[3] = {ID_RESTORE_CHECKED, ID_COPY_TO_CLIPBOARD, ID_PREVIEW};

  explicit CViewerToolBar(QWidget* parent);
  // The action of that command id, or null.
  QAction* CommandAction(int id) const;
};
