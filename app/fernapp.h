// The application object: the shared resources of the program and its start-up.
#pragma once

#include <QFont>
#include <QList>
#include <QPixmap>
#include <string>

#include "engine/EngineUI.h"

class CBackupApp {
 public:
  CBackupApp();
  ~CBackupApp();
  CBackupApp(const CBackupApp&) = delete;
  CBackupApp& operator=(const CBackupApp&) = delete;

  // Start-up: creates the QApplication, fills the image list, names the settings store, shows
  // the main dialog and runs the application's loop until the dialog's confirmed close.
  // Returns the process's exit status.
  int InitInstance(int argc, char** argv);

  // Fills the image list (indexes 0 to 4) and names the settings store; needs a running
  // QApplication. InitInstance calls it; tests that build windows without InitInstance too.
  void InitSharedResources();

  // The per-user backups folder ($XDG_DATA_HOME/ferncastle/backups), created when missing.
  std::string GetBackupsFolder();

  char* m_pCopyBuffer;        // 16 KiB, for the main dialog's backup and restore runs
  OverwriteAnswer m_nOverwriteAnswer;  // remembered across the entries of one set
  QFont m_fontVertical;       // 20 pixels, sans-serif; painted turned by 90 degrees
  QList<QPixmap> m_imageList; // 16 x 16: 0 error row, 1 full set, 2 quick set, 3 folder, 4 file
};

extern CBackupApp theApp;

// Image-list indexes.
enum { IMAGE_ERROR = 0, IMAGE_FULLSET = 1, IMAGE_QUICKSET = 2, IMAGE_FOLDER = 3, IMAGE_FILE = 4 };
