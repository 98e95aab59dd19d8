// The application object: the shared resources of the program and its start-up.
#pragma once

#include <string>

#include "engine/EngineUI.h"
#include "res/gui/ListPictures.h"

class CBackupApp {
 public:
  CBackupApp();
  ~CBackupApp();
  CBackupApp(const CBackupApp&) = delete;
  CBackupApp& operator=(const CBackupApp&) = delete;

  // Start-up: creates the QApplication, names the settings store, shows the main dialog and
  // runs the application's loop until the dialog's confirmed close. Returns the process's exit
  // status.
  int InitInstance(int argc, char** argv);

  // Names the settings store; needs a running QApplication. InitInstance calls it; tests that
  // build windows without InitInstance too.
  void InitSharedResources();

  // The per-user backups folder ($XDG_DATA_HOME/ferncastle/backups), created when missing.
  std::string GetBackupsFolder();

  char* m_pCopyBuffer;        // 16 KiB, for the main dialog's backup and restore runs
  OverwriteAnswer m_nOverwriteAnswer;  // remembered across the entries of one set
  // Started into the tray (--tray, as at login): the window starts hidden and the drives
  // mounted already count as just plugged in.
  bool m_bStartInTray = false;
};

extern CBackupApp theApp;
