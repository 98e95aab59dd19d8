// The notifications of scheduled backups: their texts and escaping, and the calls to a
// notification service of the test's own on a private session bus.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QProcess>
#include <QStandardPaths>
#include <QVariantMap>
#include <vector>

#include "AppTestUtil.h"
#include "app/DesktopNotifier.h"

// Failures show the texts, not their UTF-16 units.
inline void PrintTo(const QString& text, std::ostream* os) { *os << text.toStdString(); }

using namespace apptest;

namespace {

using Result = CBackupRun::Result;

CBackupOutcome Outcome(Result result, unsigned entries, std::vector<std::string> errors = {}) {
  CBackupOutcome o;
  o.driveName = "R&D <1>";
  o.fullBackup = true;
  o.result = result;
  o.setPath = "/home/ann/.local/share/ferncastle/backups/R&D <1>-1234.fcf";
  o.entries = entries;
  o.errorNames = std::move(errors);
  return o;
}

TEST(NotificationTexts, EscapedOnlyForMarkupAndSayWhatHappened) {
  EXPECT_EQ(CDesktopNotifier::EscapeMarkup(QStringLiteral("a&b <i>\"q\" 'x'</i> é")),
            QStringLiteral("a&amp;b &lt;i&gt;&quot;q&quot; &apos;x&apos;&lt;/i&gt; é"));

  CDesktopNotifier::Message start = CDesktopNotifier::StartMessage("R&D <1>", true, true);
  // The summary is plain text on every server; the body is escaped for a markup server only.
  EXPECT_EQ(start.summary, QStringLiteral("Backing up R&D <1>"));
  EXPECT_EQ(start.body, QStringLiteral("The scheduled Full Backup of R&amp;D &lt;1&gt; has started."));
  EXPECT_EQ(CDesktopNotifier::StartMessage("R&D <1>", false, false).body,
            QStringLiteral("The scheduled Quick Backup of R&D <1> has started."));
  EXPECT_EQ(CDesktopNotifier::StartMessage("", true, false).summary, QStringLiteral("Backing up the USB drive"));

  CDesktopNotifier::Message done = CDesktopNotifier::EndMessage(Outcome(Result::Done, 3), true);
  EXPECT_EQ(done.summary, QStringLiteral("Backup of R&D <1> finished"));
  EXPECT_EQ(done.body, QStringLiteral("Set R&amp;D &lt;1&gt;-1234.fcf: 3 files stored, no errors."));
  EXPECT_FALSE(done.error);
  EXPECT_EQ(CDesktopNotifier::EndMessage(Outcome(Result::Done, 1, {"a<b>.txt"}), false).body,
            QStringLiteral("Set R&D <1>-1234.fcf: 1 file stored, 1 error: a<b>.txt."));

  CDesktopNotifier::Message many =
      CDesktopNotifier::EndMessage(Outcome(Result::Done, 7, {"x&1", "x2", "x3", "x4", "x5"}), true);
  EXPECT_EQ(many.body,
            QStringLiteral("Set R&amp;D &lt;1&gt;-1234.fcf: 7 files stored, 5 errors: x&amp;1, x2, x3 and 2 more."));
  EXPECT_TRUE(many.error);

  CDesktopNotifier::Message lost = CDesktopNotifier::EndMessage(Outcome(Result::DriveLost, 2, {"/m/R/"}), false);
  EXPECT_EQ(lost.summary, QStringLiteral("Backup of R&D <1> stopped"));
  EXPECT_EQ(lost.body, QStringLiteral("The drive was removed. Set R&D <1>-1234.fcf: 2 files stored, 1 error: /m/R/."));
  EXPECT_EQ(CDesktopNotifier::EndMessage(Outcome(Result::DriveLost, 0), false).body,
            QStringLiteral("The drive was removed before any file was stored."));

  CDesktopNotifier::Message failed = CDesktopNotifier::EndMessage(Outcome(Result::WriteFailed, 2, {"set"}), false);
  EXPECT_EQ(failed.summary, QStringLiteral("Backup of R&D <1> failed"));
  EXPECT_EQ(failed.body, QStringLiteral("The set R&D <1>-1234.fcf could not be written; 1 error: set."));
  EXPECT_TRUE(failed.error);
  EXPECT_EQ(CDesktopNotifier::EndMessage(Outcome(Result::NoSet, 0), false).body,
            QStringLiteral("No backup set could be made."));
  EXPECT_EQ(CDesktopNotifier::EndMessage(Outcome(Result::NoChanges, 0), false).body,
            QStringLiteral("No file was stored: no set was written; no errors."));

  CBackupOutcome stopped = Outcome(Result::Done, 4);
  stopped.stopped = true;
  EXPECT_EQ(CDesktopNotifier::EndMessage(stopped, false).summary, QStringLiteral("Backup of R&D <1> cancelled"));
  CBackupOutcome never = Outcome(Result::NoSet, 0);
  never.started = false;
  EXPECT_EQ(CDesktopNotifier::EndMessage(never, false).summary,
            QStringLiteral("Backup of R&D <1> could not start"));
}

// The notification service's side: answers GetCapabilities and Notify, and keeps the calls.
class FakeNotificationServer : public QDBusVirtualObject {
 public:
  QStringList capabilities;
  std::vector<QList<QVariant>> notifies;
  uint nextId = 41;

  QString introspect(const QString&) const override { return QString(); }
  bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
    if (message.member() == QLatin1String("GetCapabilities")) {
      connection.send(message.createReply(QVariant(capabilities)));
      return true;
    }
    if (message.member() == QLatin1String("Notify")) {
      notifies.push_back(message.arguments());
      connection.send(message.createReply(QVariant::fromValue(++nextId)));
      return true;
    }
    return false;
  }
};

// A dbus-daemon of the test's own, ended with the test. It knows no services to start on
// demand, so a notification daemon installed on the machine never answers in the test's stead.
class PrivateBus {
 public:
  PrivateBus() {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) return;
    m_config = std::filesystem::temp_directory_path() / ("fern-bus-" + std::to_string(::getpid()) + ".conf");
    WriteFile(m_config.string(),
              "<busconfig><type>session</type><listen>unix:tmpdir=/tmp</listen>"
              "<policy context=\"default\"><allow send_destination=\"*\" eavesdrop=\"true\"/>"
              "<allow eavesdrop=\"true\"/><allow own=\"*\"/></policy></busconfig>\n");
    m_daemon.start(QStringLiteral("dbus-daemon"),
                   {QStringLiteral("--config-file=") + QString::fromStdString(m_config.string()),
                    QStringLiteral("--nofork"), QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    if (!m_daemon.waitForStarted(5000)) return;
    while (!m_daemon.canReadLine() && m_daemon.waitForReadyRead(5000)) {
    }
    m_address = QString::fromUtf8(m_daemon.readLine()).trimmed();
  }
  ~PrivateBus() {
    m_daemon.terminate();
    if (!m_daemon.waitForFinished(3000)) {
      m_daemon.kill();
      m_daemon.waitForFinished(3000);
    }
    std::error_code ec;
    std::filesystem::remove(m_config, ec);
  }
  const QString& Address() const { return m_address; }

 private:
  std::filesystem::path m_config;
  QProcess m_daemon;
  QString m_address;
};

TEST(DesktopNotifier, TellsAServiceOnTheBusAndNothingBreaksWithoutOne) {
  PrivateBus bus;
  if (bus.Address().isEmpty()) GTEST_SKIP() << "no dbus-daemon to run a private session bus";
  QDBusConnection client = QDBusConnection::connectToBus(bus.Address(), QStringLiteral("notify-client"));
  QDBusConnection server = QDBusConnection::connectToBus(bus.Address(), QStringLiteral("notify-server"));
  ASSERT_TRUE(client.isConnected());
  ASSERT_TRUE(server.isConnected());

  CDesktopNotifier notifier(client, nullptr);
  int shown = 0;
  QObject::connect(&notifier, &CDesktopNotifier::Shown, [&shown](uint) { ++shown; });

  // No service yet: the calls are answered with an error, dropped, and nothing waits.
  notifier.BackupStarted("STICK", true);
  notifier.BackupEnded(Outcome(Result::Done, 3));
  EXPECT_FALSE(notifier.Idle());
  ASSERT_TRUE(WaitUntil([&] { return notifier.Idle(); }, 10000));
  EXPECT_EQ(shown, 0);

  FakeNotificationServer service;
  service.capabilities = {QStringLiteral("body"), QStringLiteral("body-markup")};
  ASSERT_TRUE(server.registerVirtualObject(QStringLiteral("/org/freedesktop/Notifications"), &service));
  ASSERT_TRUE(server.registerService(QStringLiteral("org.freedesktop.Notifications")));

  notifier.BackupStarted("R&D <1>", true);
  notifier.BackupEnded(Outcome(Result::Done, 3, {"a<b>.txt"}));
  ASSERT_TRUE(WaitUntil([&] { return notifier.Idle() && shown == 2; }, 10000));
  ASSERT_EQ(service.notifies.size(), 2u);
  const QList<QVariant>& first = service.notifies[0];
  const QList<QVariant>& second = service.notifies[1];
  ASSERT_EQ(first.size(), 8);
  EXPECT_EQ(first[0].toString(), QStringLiteral("Ferncastle"));
  EXPECT_EQ(first[1].toUInt(), 0u);
  EXPECT_EQ(first[3].toString(), QStringLiteral("Backing up R&D <1>"));
  EXPECT_EQ(first[4].toString(), QStringLiteral("The scheduled Full Backup of R&amp;D &lt;1&gt; has started."));
  // The end replaces the start's bubble.
  EXPECT_EQ(second[1].toUInt(), 42u);
  EXPECT_EQ(second[3].toString(), QStringLiteral("Backup of R&D <1> finished"));
  EXPECT_EQ(second[4].toString(),
            QStringLiteral("Set R&amp;D &lt;1&gt;-1234.fcf: 3 files stored, 1 error: a&lt;b&gt;.txt."));

  // A server that shows the body as it is gets the names as they are.
  service.capabilities = {QStringLiteral("body")};
  notifier.BackupStarted("R&D <1>", false);
  ASSERT_TRUE(WaitUntil([&] { return notifier.Idle() && shown == 3; }, 10000));
  ASSERT_EQ(service.notifies.size(), 3u);
  EXPECT_EQ(service.notifies[2][4].toString(), QStringLiteral("The scheduled Quick Backup of R&D <1> has started."));

  server.unregisterService(QStringLiteral("org.freedesktop.Notifications"));
  QDBusConnection::disconnectFromBus(QStringLiteral("notify-server"));
  QDBusConnection::disconnectFromBus(QStringLiteral("notify-client"));
}

}  // namespace
