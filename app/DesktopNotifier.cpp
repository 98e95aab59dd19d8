#include "app/DesktopNotifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>

#include "app/RunController.h"
#include "res/Version.h"

namespace {

const QString kService = QStringLiteral("org.freedesktop.Notifications");
const QString kPath = QStringLiteral("/org/freedesktop/Notifications");
// A service that does not answer within this time is given up; the program never waits for it.
const int kCallTimeoutMs = 5000;
const int kErrorNamesShown = 3;

QString Q(const std::string& s) { return QString::fromStdString(s); }

QString DriveText(const std::string& driveName, bool markup) {
  if (driveName.empty()) return QStringLiteral("the USB drive");
  return markup ? CDesktopNotifier::EscapeMarkup(Q(driveName)) : Q(driveName);
}

QString Count(unsigned n, const char* one, const char* many) {
  return QStringLiteral("%1 %2").arg(n).arg(QString::fromUtf8(n == 1 ? one : many));
}

QString SetName(const std::string& setPath, bool markup) {
  const size_t slash = setPath.rfind('/');
  const QString name = Q(slash == std::string::npos ? setPath : setPath.substr(slash + 1));
  return markup ? CDesktopNotifier::EscapeMarkup(name) : name;
}

// "no errors", or the count and the first few names.
QString ErrorsText(const std::vector<std::string>& names, bool markup) {
  if (names.empty()) return QStringLiteral("no errors");
  QStringList shown;
  for (size_t i = 0; i < names.size() && i < static_cast<size_t>(kErrorNamesShown); ++i)
    shown << (markup ? CDesktopNotifier::EscapeMarkup(Q(names[i])) : Q(names[i]));
  QString text = Count(static_cast<unsigned>(names.size()), "error", "errors") + QStringLiteral(": ") +
                 shown.join(QStringLiteral(", "));
  if (names.size() > static_cast<size_t>(kErrorNamesShown))
    text += QStringLiteral(" and %1 more").arg(names.size() - kErrorNamesShown);
  return text;
}

}  // namespace

CDesktopNotifier::CDesktopNotifier(QObject* parent) : CDesktopNotifier(QDBusConnection::sessionBus(), parent) {}

CDesktopNotifier::CDesktopNotifier(const QDBusConnection& bus, QObject* parent) : QObject(parent), m_bus(bus) {}

QString CDesktopNotifier::EscapeMarkup(const QString& text) {
  QString out;
  out.reserve(text.size());
  for (QChar c : text) {
    switch (c.unicode()) {
      case '&': out += QStringLiteral("&amp;"); break;
      case '<': out += QStringLiteral("&lt;"); break;
      case '>': out += QStringLiteral("&gt;"); break;
      case '"': out += QStringLiteral("&quot;"); break;
      case '\'': out += QStringLiteral("&apos;"); break;
      default: out += c; break;
    }
  }
  return out;
}

CDesktopNotifier::Message CDesktopNotifier::StartMessage(const std::string& driveName, bool fullBackup,
                                                         bool markup) {
  Message m;
  m.summary = QStringLiteral("Backing up %1").arg(DriveText(driveName, false));
  m.body = QStringLiteral("The scheduled %1 of %2 has started.")
               .arg(fullBackup ? QStringLiteral("Full Backup") : QStringLiteral("Quick Backup"),
                    DriveText(driveName, markup));
  return m;
}

CDesktopNotifier::Message CDesktopNotifier::EndMessage(const CBackupOutcome& o, bool markup) {
  using Result = CBackupRun::Result;
  Message m;
  const QString drive = DriveText(o.driveName, false);
  const QString stored = QStringLiteral("Set %1: %2, %3.")
                             .arg(SetName(o.setPath, markup), Count(o.entries, "file stored", "files stored"),
                                  ErrorsText(o.errorNames, markup));
  m.error = true;
  if (!o.started) {
    m.summary = QStringLiteral("Backup of %1 could not start").arg(drive);
    m.body = QStringLiteral("Nothing was read or written.");
  } else if (o.result == Result::DriveLost) {
    m.summary = QStringLiteral("Backup of %1 stopped").arg(drive);
    m.body = o.entries == 0 ? QStringLiteral("The drive was removed before any file was stored.")
                            : QStringLiteral("The drive was removed. ") + stored;
  } else if (o.result == Result::WriteFailed) {
    m.summary = QStringLiteral("Backup of %1 failed").arg(drive);
    m.body = QStringLiteral("The set %1 could not be written; %2.")
                 .arg(SetName(o.setPath, markup), ErrorsText(o.errorNames, markup));
  } else if (o.result == Result::NoSet) {
    m.summary = QStringLiteral("Backup of %1 failed").arg(drive);
    m.body = QStringLiteral("No backup set could be made.");
  } else if (o.result == Result::NoChanges) {
    m.error = !o.errorNames.empty();
    m.summary = QStringLiteral("Backup of %1 %2").arg(drive, o.stopped ? QStringLiteral("cancelled")
                                                                       : QStringLiteral("finished"));
    m.body = QStringLiteral("No file was stored: no set was written; %1.").arg(ErrorsText(o.errorNames, markup));
  } else {
    m.error = !o.errorNames.empty();
    m.summary = QStringLiteral("Backup of %1 %2").arg(drive, o.stopped ? QStringLiteral("cancelled")
                                                                       : QStringLiteral("finished"));
    m.body = stored;
  }
  return m;
}

void CDesktopNotifier::Follow(CRunController& runs) {
  connect(&runs, &CRunController::ScheduledBackupStarted, this,
          [this](const std::string& driveName, bool full) { BackupStarted(driveName, full); });
  connect(&runs, &CRunController::ScheduledBackupEnded, this,
          [this](const CBackupOutcome& outcome) { BackupEnded(outcome); });
}

void CDesktopNotifier::BackupStarted(const std::string& driveName, bool fullBackup) {
  Enqueue(Pending{true, driveName, fullBackup, CBackupOutcome()});
}

void CDesktopNotifier::BackupEnded(const CBackupOutcome& outcome) {
  Enqueue(Pending{false, outcome.driveName, outcome.fullBackup, outcome});
}

void CDesktopNotifier::Enqueue(Pending pending) {
  // Without a session bus there is no one to tell.
  if (!m_bus.isConnected()) return;
  m_queue.push_back(std::move(pending));
  if (!m_bInFlight) SendNext();
}

void CDesktopNotifier::SendNext() {
  if (m_queue.empty()) return;
  m_bInFlight = true;
  // Whether the body may carry markup is asked each time: the service may have been replaced.
  QDBusMessage ask = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("GetCapabilities"));
  auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(ask, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    QDBusPendingReply<QStringList> reply = *w;
    if (reply.isError()) {
      // No service (or none that answers): this notification and the rest are dropped.
      m_queue.clear();
      m_nStartId = 0;
      m_bInFlight = false;
      return;
    }
    const Pending pending = m_queue.front();
    m_queue.pop_front();
    Send(pending, reply.value().contains(QStringLiteral("body-markup")));
  });
}

void CDesktopNotifier::Send(const Pending& pending, bool markup) {
  const Message m = pending.start ? StartMessage(pending.driveName, pending.fullBackup, markup)
                                  : EndMessage(pending.outcome, markup);
  QVariantMap hints;
  hints.insert(QStringLiteral("category"),
               pending.start ? QStringLiteral("transfer")
                             : (m.error ? QStringLiteral("transfer.error") : QStringLiteral("transfer.complete")));
  QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kService, QStringLiteral("Notify"));
  call << QStringLiteral("Ferncastle") << (pending.start ? 0u : m_nStartId) << QStringLiteral(FERN_APP_ID)
       << m.summary << m.body << QStringList() << hints << -1;
  const bool start = pending.start;
  auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
  connect(watcher, &QDBusPendingCallWatcher::finished, this, [this, start](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    QDBusPendingReply<uint> reply = *w;
    const uint id = reply.isError() ? 0u : reply.value();
    m_nStartId = start ? id : 0u;
    if (id != 0) emit Shown(id);
    Done();
  });
}

void CDesktopNotifier::Done() {
  m_bInFlight = false;
  SendNext();
}
