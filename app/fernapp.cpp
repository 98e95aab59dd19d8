#include "app/fernapp.h"

#include <QApplication>
#include <QFileInfo>
#include <cstdio>
#include <cstring>
#include <iostream>

#include "app/AutostartEntry.h"
#include "app/fernappDlg.h"
#include "res/Version.h"
#include "storage/SetFormat.h"

// Constructed during static initialisation, before main.
CBackupApp theApp;

CBackupApp::CBackupApp() : m_pCopyBuffer(new char[fern::kCopyChunk]), m_nOverwriteAnswer(OverwriteAnswer::None) {}

CBackupApp::~CBackupApp() { delete[] m_pCopyBuffer; }

void CBackupApp::InitSharedResources() {
  if (QCoreApplication::organizationName() != QLatin1String("KW"))
    QCoreApplication::setOrganizationName(QStringLiteral("KW"));
}

std::string CBackupApp::GetBackupsFolder() { return fern::GetBackupsFolder(); }

int CBackupApp::InitInstance(int argc, char** argv) {
  // Answered before Qt starts, so they need no display.
  for (int i = 1; i < argc; ++i) {
    if (argv[i] != nullptr && strcmp(argv[i], "--version") == 0) {
      printf("fernapp %s\n", FERN_VERSION);
      return fflush(stdout) == 0 ? 0 : 1;
    }
  }
  // Start at login: set up without a window, then done.
  if (argc >= 2 && std::strcmp(argv[1], "--autostart") == 0)
    return fern::AutostartCommand(argc == 3 ? argv[2] : nullptr, std::cout, std::cerr);
  for (int i = 1; i < argc; ++i)
    if (std::strcmp(argv[i], fern::kStartInTrayArg) == 0) m_bStartInTray = true;
  QApplication app(argc, argv);
  // Ties the windows to the installed desktop entry (its icon and name in docks on Wayland).
  QGuiApplication::setDesktopFileName(QStringLiteral(FERN_APP_ID));
  // The window hides to the tray; only closing the main dialog ends the program.
  QApplication::setQuitOnLastWindowClosed(false);
  QCoreApplication::setOrganizationName(QStringLiteral("KW"));
  if (argc > 0 && argv[0] != nullptr)
    QCoreApplication::setApplicationName(QFileInfo(QString::fromLocal8Bit(argv[0])).completeBaseName());
  InitSharedResources();
  {
    // The main dialog is the program's one window and lives as long as the program: shown
    // under the application's loop, not run modally, so hiding it to the tray never ends the
    // loop and the tray icon still gets its clicks. Only its confirmed close ends the program.
    CBackupDlg dlg;
    QObject::connect(&dlg, &QDialog::finished, &app, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
    if (m_bStartInTray)
      dlg.Tray().HideToTray();
    else
      dlg.show();
    app.exec();
  }
  return 0;
}
