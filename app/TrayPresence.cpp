#include "app/TrayPresence.h"

#include <QAction>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QMenu>
#include <QWidget>

#include "res/Resource.h"

CTrayPresence::CTrayPresence(QWidget* window, const QIcon& icon, std::function<void(int)> command)
    : QObject(window), m_pWindow(window) {
  m_pTrayMenu = new QMenu(window);
  QAction* open = m_pTrayMenu->addAction(QStringLiteral("Open Ferncastle..."));
  open->setObjectName(QString::number(ID_TRAY_OPEN));
  connect(open, &QAction::triggered, this, [command] { command(ID_TRAY_OPEN); });
  QAction* exit = m_pTrayMenu->addAction(QStringLiteral("Exit Ferncastle..."));
  exit->setObjectName(QString::number(IDCANCEL));
  connect(exit, &QAction::triggered, this, [command] { command(IDCANCEL); });

  m_pTray = new QSystemTrayIcon(this);
  if (!icon.isNull()) m_pTray->setIcon(icon);
  m_pTray->setToolTip(QStringLiteral("Ferncastle"));
  m_pTray->setContextMenu(m_pTrayMenu);
  m_bTrayActivates = StatusNotifierHostPresent();
  connect(m_pTray, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { OnTrayActivated(reason); });
  // Without a tray the window simply runs without the icon.
  if (!icon.isNull()) m_pTray->show();
}

CTrayPresence::~CTrayPresence() {
  if (m_pTray != nullptr) m_pTray->hide();
}

bool CTrayPresence::StatusNotifierHostPresent() {
  // Qt shows a tray icon as a StatusNotifierItem exactly when, as the icon is made, a watcher
  // on the session bus reports a registered host; otherwise it embeds the icon in an XEmbed
  // tray. The same question, asked at the same moment, tells which kind of events will come.
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || bus.interface() == nullptr) return false;
  const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
  if (!bus.interface()->isServiceRegistered(watcher).value()) return false;
  QDBusInterface host(watcher, QStringLiteral("/StatusNotifierWatcher"), watcher, bus);
  return host.isValid() && host.property("IsStatusNotifierHostRegistered").toBool();
}

void CTrayPresence::OnTrayActivated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::DoubleClick:
      // An XEmbed tray: the left double click on the icon.
      ShowFromTray();
      break;
    case QSystemTrayIcon::Trigger:
      // A StatusNotifierItem host's activation (its single primary click): the host knows no
      // double click, so this is the way back. An XEmbed tray reports every left press so;
      // there only the double click shows the window.
      if (m_bTrayActivates) ShowFromTray();
      break;
    default:
      // Context: the menu comes up by itself (Qt pops it up on an XEmbed tray, the host shows
      // the exported menu); MiddleClick and the rest do nothing.
      break;
  }
}

bool CTrayPresence::Usable() const {
  return m_pTray != nullptr && m_pTray->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void CTrayPresence::HideOrMinimise() {
  // A hidden window without a tray icon could never be shown again: minimise instead.
  if (Usable())
    m_pWindow->hide();
  else
    m_pWindow->showMinimized();
}

void CTrayPresence::HideToTray() {
  HideOrMinimise();
  m_bInTray = true;
}

void CTrayPresence::ShowFromTray() {
  m_pWindow->showNormal();
  m_bInTray = false;
  m_pWindow->raise();
  m_pWindow->activateWindow();
}

void CTrayPresence::OnWindowStateChange(bool busy) {
  // Where minimising stands in for the tray, the user brings the window back from the task
  // bar: then it is no longer in the tray. (A run shows the window itself while busy.)
  if (!busy && m_bInTray && !Usable() && !(m_pWindow->windowState() & Qt::WindowMinimized) &&
      m_pWindow->isVisible())
    m_bInTray = false;
}
