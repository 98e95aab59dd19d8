// Tells the start and the end of a backup that the schedule started through the desktop's
// notification service (org.freedesktop.Notifications on the session bus). Every call is
// asynchronous and one notification is in flight at a time, so the end replaces the start's
// bubble; where no service runs, or no session bus, the notifications are simply dropped.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QString>
#include <deque>
#include <string>

#include "app/BackupOutcome.h"

class CRunController;

class CDesktopNotifier : public QObject {
  Q_OBJECT
 public:
  struct Message {
    QString summary;  // plain text on every server
    QString body;     // markup on servers that report "body-markup": names escaped there
    bool error = false;
  };

  explicit CDesktopNotifier(QObject* parent = nullptr);
  // bus: where the service is looked for (tests give a private bus).
  CDesktopNotifier(const QDBusConnection& bus, QObject* parent);

  // Tells the scheduled backups of these runs.
  void Follow(CRunController& runs);

  void BackupStarted(const std::string& driveName, bool fullBackup);
  void BackupEnded(const CBackupOutcome& outcome);

  // The texts, with the names escaped for a server that reads markup in the body.
  static Message StartMessage(const std::string& driveName, bool fullBackup, bool markup);
  static Message EndMessage(const CBackupOutcome& outcome, bool markup);
  // &, <, >, " and ' as entities: what a markup body shows as the characters themselves.
  static QString EscapeMarkup(const QString& text);

  // Nothing queued or waiting for the service's answer (tests).
  bool Idle() const { return !m_bInFlight && m_queue.empty(); }

 signals:
  // A notification went out and the service answered with its id (tests).
  void Shown(uint id);

 private:
  struct Pending {
    bool start;  // the run's start (else its end, which replaces the start's bubble)
    std::string driveName;
    bool fullBackup;
    CBackupOutcome outcome;
  };
  void Enqueue(Pending pending);
  void SendNext();
  void Send(const Pending& pending, bool markup);
  void Done();

  QDBusConnection m_bus;
  std::deque<Pending> m_queue;
  bool m_bInFlight = false;
  uint m_nStartId = 0;  // the bubble of the run's start, replaced by its end
};
