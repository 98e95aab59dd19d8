// The main window's presence in the tray: the icon with its menu, hiding the window there and
// showing it again, and which kind of tray (XEmbed or a StatusNotifierItem host) reports what.
// Where no tray can show the icon, minimising stands in for hiding.
#pragma once

#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>
#include <functional>

class QMenu;
class QWidget;

class CTrayPresence : public QObject {
  Q_OBJECT
 public:
  // window: the window that hides and shows; command: runs a menu entry's command id.
  CTrayPresence(QWidget* window, const QIcon& icon, std::function<void(int)> command);
  ~CTrayPresence() override;

  void HideToTray();
  void ShowFromTray();
  // Hides the window, or minimises it where a hidden window could not be shown again.
  void HideOrMinimise();
  // Whether the user put the window in the tray (or minimised it in the tray's stead).
  bool InTray() const { return m_bInTray; }

  // An event of the tray icon: the double click (XEmbed tray) or a host's activation
  // (StatusNotifierItem) shows the window; the menu comes up by itself.
  void OnTrayActivated(QSystemTrayIcon::ActivationReason reason);
  // Whether the tray icon is a StatusNotifierItem, whose host reports single activations.
  bool TrayActivates() const { return m_bTrayActivates; }
  // The window's state changed (busy: a run is active, which shows the window by itself).
  void OnWindowStateChange(bool busy);

 private:
  bool Usable() const;
  static bool StatusNotifierHostPresent();

  QWidget* m_pWindow;
  QSystemTrayIcon* m_pTray = nullptr;
  QMenu* m_pTrayMenu = nullptr;
  bool m_bTrayActivates = false;
  bool m_bInTray = false;
};
