#include "viewer/ScratchActions.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QClipboard>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusUnixFileDescriptor>
#include <QDesktopServices>
#include <QFile>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QMimeData>
#include <QMimeDatabase>
#include <QProcess>
#include <QUrl>
#include <algorithm>
#include <cerrno>

#include "dialogs/ShownText.h"
#include "dialogs/DialogFrame.h"
#include "engine/ExtractFiles.h"
#include "storage/SetFormat.h"
#include "viewer/WaitCursor.h"

namespace {

int Lower(unsigned char c) { return (c >= 'A' && c <= 'Z') ? c - 'A' + 'a' : c; }

}  // namespace

CScratchActions::CScratchActions(QWidget& owner, QLabel& status, IEngineUI& ui, const std::atomic<int>& stop)
    : m_owner(owner), m_status(status), m_ui(ui), m_bStop(stop) {}

bool CScratchActions::ExtractToScratch(const std::string& setPath, std::vector<std::string>& pickList) {
  const QString saved = m_status.text();
  m_ui.SetStatusText("Extracting Files...");

  std::vector<char> copyBuffer(fern::kCopyChunk);  // this transfer's own
  CExtractFiles extract(pickList);
  const bool opened = extract.ExtractFrom(setPath, m_ui, copyBuffer.data(), [this] { return m_bStop != 0; });
  std::vector<bool> written;
  for (size_t i = 0; i < pickList.size(); ++i) {
    const CExtractFiles::Pick& pick = extract.Picks()[i];
    // A scratch copy is good only when the entry's data was read whole and written without error.
    if (pick.found) pickList[i] = pick.path;
    written.push_back(pick.written);
    if (pick.found && !pick.written && !pick.path.empty()) ::unlink(pick.path.c_str());
  }
  m_status.setText(saved);
  return opened && !written.empty() && std::all_of(written.begin(), written.end(), [](bool w) { return w; });
}

void CScratchActions::PutOnClipboard(const std::string& file) {
  const QString path = fern::ShownText(file);
  const QUrl url = QUrl::fromLocalFile(path);
  auto* data = new QMimeData;
  data->setUrls({url});                                                     // text/uri-list
  data->setData(QStringLiteral("x-special/gnome-copied-files"), "copy\n" + url.toEncoded());
  data->setText(path);                                                      // text/plain
  if (QClipboard* clipboard = QGuiApplication::clipboard())
    clipboard->setMimeData(data);
  else
    delete data;
}

bool CScratchActions::IsProgramLabel(const std::string& label) {
  std::string tail = label.size() > 3 ? label.substr(label.size() - 3) : label;
  for (char& c : tail) c = static_cast<char>(Lower(static_cast<unsigned char>(c)));
  return tail == "exe" || tail == "bat" || tail == "com";
}

std::string CScratchActions::OpenErrorText(int error) {
  switch (error) {
    case EMFILE:
    case ENFILE:
    case EAGAIN: return "The operating system is out of memory or resources.";
    case ENOENT: return "The specified file was not found.";
    case ENOTDIR:
    case ELOOP:
    case ENAMETOOLONG: return "The specified path was not found.";
    case EACCES:
    case EPERM: return "The operating system denied access to the specified file.";
    case ENOMEM: return "There was not enough memory to complete the operation.";
    case ENOEXEC: return "The .exe file is invalid (non-Microsoft Win32\u00ae .exe or error in .exe image).";
    case ETXTBSY: return "A sharing violation occurred.";
    case ELIBACC: return "The specified dynamic-link library (DLL) was not found.";
    default: return "Error opening!";
  }
}

bool CScratchActions::HasDefaultApplication(const std::string& path) {
  const QString type = QMimeDatabase().mimeTypeForFile(fern::ShownText(path)).name();
  QProcess query;
  query.start(QStringLiteral("xdg-mime"), {QStringLiteral("query"), QStringLiteral("default"), type});
  if (!query.waitForStarted(5000)) return false;  // no xdg-mime: no association known
  if (!query.waitForFinished(10000)) {
    query.kill();
    query.waitForFinished(1000);
    return false;
  }
  return query.exitStatus() == QProcess::NormalExit && query.exitCode() == 0 &&
         !query.readAllStandardOutput().trimmed().isEmpty();
}

bool CScratchActions::OpenWithChooser(const std::string& path) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return false;
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
  if (fd < 0) return false;
  const QDBusUnixFileDescriptor descriptor(fd);  // keeps a duplicate
  ::close(fd);
  QDBusMessage call = QDBusMessage::createMethodCall(
      QStringLiteral("org.freedesktop.portal.Desktop"), QStringLiteral("/org/freedesktop/portal/desktop"),
      QStringLiteral("org.freedesktop.portal.OpenURI"), QStringLiteral("OpenFile"));
  QVariantMap options;
  options.insert(QStringLiteral("ask"), true);
  call << QString() << QVariant::fromValue(descriptor) << options;
  const QDBusMessage reply = bus.call(call, QDBus::Block, 15000);
  return reply.type() == QDBusMessage::ReplyMessage;
}

void CScratchActions::OpenScratchFile(const std::string& path) {
  struct stat status {};
  if (::stat(path.c_str(), &status) != 0 || S_ISDIR(status.st_mode)) return;
  CWaitCursor wait;
  std::string message;
  if (!HasDefaultApplication(path)) {
    // No program for the type: the desktop's Open With chooser. Where no portal answers, the
    // user would otherwise see nothing happen at all.
    if (!OpenWithChooser(path)) message = "Error opening!";
  } else if (!QDesktopServices::openUrl(QUrl::fromLocalFile(fern::ShownText(path)))) {
    message = ::access(path.c_str(), R_OK) == 0 ? "Error opening!" : OpenErrorText(errno);
  }
  if (message.empty()) return;
  QMessageBox box(QMessageBox::Warning, QStringLiteral("Ferncastle"), QString::fromUtf8(message.c_str()),
                  QMessageBox::Ok, &m_owner);
  fern::KeepCaptionWhole(box);
  box.exec();
}
