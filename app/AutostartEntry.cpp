#include "app/AutostartEntry.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <QStandardPaths>

#include "platform/FileWrite.h"
#include "res/Version.h"

namespace fern {

namespace {

const char* const kEntryName = "fernapp.desktop";

// Makes path and the folders on the way to it; 0 or the errno of the one that failed.
int MakeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1);; slash = path.find('/', slash + 1)) {
    const std::string part = path.substr(0, slash);
    if (!part.empty() && part.back() != '/' && mkdir(part.c_str(), 0700) != 0 && errno != EEXIST) return errno;
    if (slash == std::string::npos) break;
  }
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// The running program's own path, so the entry starts this very program.
std::string OwnPath() {
  char buffer[PATH_MAX];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return std::string();
  return std::string(buffer, static_cast<size_t>(n));
}

// Writes text to path through a temporary in the same folder: the entry is whole or absent.
int WriteWhole(const std::string& path, const std::string& text) {
  const std::string temp = path + ".tmp-" + RandomNameSuffix();
  const int fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return errno;
  int error = 0;
  if (!WriteAll(fd, text.data(), text.size()) || fsync(fd) != 0) error = errno;
  if (close(fd) != 0 && error == 0) error = errno;
  if (error == 0 && rename(temp.c_str(), path.c_str()) != 0) error = errno;
  if (error != 0) unlink(temp.c_str());
  return error;
}

}  // namespace

std::string AutostartFolder() {
  // $XDG_CONFIG_HOME when it is absolute, else ~/.config.
  const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  return config.isEmpty() ? std::string() : config.toStdString() + "/autostart";
}

std::string AutostartEntryPath() {
  const std::string folder = AutostartFolder();
  return folder.empty() ? std::string() : folder + "/" + kEntryName;
}

std::string ExecArgument(const std::string& argument) {
  static const char* const kReserved = " \t\n\"'\\><~|&;$*?#()`";
  std::string quoted;
  if (argument.empty() || argument.find_first_of(kReserved) != std::string::npos) {
    quoted = "\"";
    for (char c : argument) {
      if (c == '"' || c == '`' || c == '$' || c == '\\') quoted += '\\';
      quoted += c;
    }
    quoted += '"';
  } else {
    quoted = argument;
  }
  // The field codes' %, then the string value's own escapes.
  std::string value;
  for (char c : quoted) {
    switch (c) {
      case '%': value += "%%"; break;
      case '\\': value += "\\\\"; break;
      case '\n': value += "\\n"; break;
      default: value += c; break;
    }
  }
  return value;
}

std::string AutostartEntryText(const std::string& programPath) {
  return "[Desktop Entry]\n"
         "Type=Application\n"
         "Name=Ferncastle\n"
         "Comment=Back up USB flash drives when they are plugged in\n"
         "Exec=" + ExecArgument(programPath) + " " + kStartInTrayArg + "\n"
         "Icon=" FERN_APP_ID "\n"
         "Terminal=false\n"
         "X-GNOME-Autostart-enabled=true\n";
}

int AutostartCommand(const char* value, std::ostream& out, std::ostream& err) {
  const bool on = value != nullptr && std::strcmp(value, "on") == 0;
  if (!on && (value == nullptr || std::strcmp(value, "off") != 0)) {
    err << "usage: fernapp --autostart on|off\n";
    return 2;
  }
  const std::string folder = AutostartFolder();
  if (folder.empty()) {
    err << "fernapp: no home folder for the autostart entry\n";
    return 1;
  }
  const std::string path = folder + "/" + kEntryName;
  if (!on) {
    if (unlink(path.c_str()) != 0) {
      if (errno != ENOENT) {
        err << "fernapp: cannot remove " << path << ": " << std::strerror(errno) << "\n";
        return 1;
      }
      out << "Start at login is off (there was no " << path << ").\n";
      return 0;
    }
    out << "Start at login is off: removed " << path << ".\n";
    return 0;
  }
  const std::string program = OwnPath();
  if (program.empty()) {
    err << "fernapp: cannot find the program's own path: " << std::strerror(errno) << "\n";
    return 1;
  }
  int error = MakeFolders(folder);
  if (error == 0) error = WriteWhole(path, AutostartEntryText(program));
  if (error != 0) {
    err << "fernapp: cannot write " << path << ": " << std::strerror(error) << "\n";
    return 1;
  }
  out << "Start at login is on: wrote " << path << " (starts " << program << " in the tray).\n";
  return 0;
}

}  // namespace fern
