#include "app/fernapp.h"

#include <QApplication>
#include <QFileInfo>
#include <QIcon>
#include <QPainter>
#include <QStringList>

#include "app/fernappDlg.h"
#include "res/Resource.h"
#include "res/gui/Pictures.h"
#include "storage/SetFormat.h"

// Constructed during static initialisation, before main.
CBackupApp theApp;

CBackupApp::CBackupApp() : m_pCopyBuffer(new char[fern::kCopyChunk]), m_nOverwriteAnswer(OverwriteAnswer::None) {
  // A 20-pixel sans-serif face of default weight; the dialog turns it by 90 degrees when it
  // paints, so the label reads from bottom to top.
  m_fontVertical.setStyleHint(QFont::SansSerif);
  m_fontVertical.setFamilies(QStringList{QStringLiteral("DejaVu Sans"), QStringLiteral("Sans Serif")});
  m_fontVertical.setPixelSize(20);
  m_fontVertical.setWeight(QFont::Normal);
}

CBackupApp::~CBackupApp() { delete[] m_pCopyBuffer; }

void CBackupApp::InitSharedResources() {
  if (QCoreApplication::organizationName() != QLatin1String("KW"))
    QCoreApplication::setOrganizationName(QStringLiteral("KW"));
  if (!m_imageList.isEmpty()) return;
  // Colour pictures without a mask: what an icon leaves transparent shows white.
  static const int kIcons[] = {IDI_ERRORROW, IDI_FULLSET, IDI_QUICKSET, IDI_FOLDER, IDI_FILE};
  for (int id : kIcons) {
    QPixmap picture(16, 16);
    picture.fill(Qt::white);
    QIcon icon = fern::LoadIconRes(id);
    if (!icon.isNull()) {
      QPainter painter(&picture);
      icon.paint(&painter, QRect(0, 0, 16, 16));
    }
    m_imageList.append(picture);
  }
}

std::string CBackupApp::GetBackupsFolder() { return fern::GetBackupsFolder(); }

int CBackupApp::InitInstance(int argc, char** argv) {
  QApplication app(argc, argv);
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
    dlg.show();
    app.exec();
  }
  m_imageList.clear();  // pixmaps must go before the QApplication
  return 0;
}
