#include "storage/SetFormat.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cstdlib>
#include <ctime>

#include "storage/FixedText.h"
#include "storage/StreamFile.h"

namespace fern {

namespace {

std::string HomeFolder() {
  const char* env = getenv("HOME");
  if (env != nullptr && env[0] == '/') return env;
  if (struct passwd* pw = getpwuid(getuid()))
    if (pw->pw_dir != nullptr && pw->pw_dir[0] == '/') return pw->pw_dir;
  return std::string();
}

// Makes one folder with the given mode; one this call made gets exactly that mode, whatever the
// umask, while one that was there is left alone. 0, or the errno.
int MakeFolder(const std::string& path, mode_t mode, bool exactMode) {
  if (mkdir(path.c_str(), mode) == 0) {
    if (exactMode && chmod(path.c_str(), mode) != 0) return errno;
    return 0;
  }
  if (errno != EEXIST) return errno;
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno;
  return S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
}

// Makes the folders on the way to path that are missing (0700, as base folders of the user's
// data are made); 0 or the errno of the first that could not be made.
int MakeParents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (path[slash - 1] == '/') continue;
    struct stat st;
    const std::string parent = path.substr(0, slash);
    if (stat(parent.c_str(), &st) == 0) continue;
    if (int err = MakeFolder(parent, 0700, false)) return err;
  }
  return 0;
}

}  // namespace

std::string BackupsFolderPath() {
  std::string data;
  const char* env = getenv("XDG_DATA_HOME");
  if (env != nullptr && env[0] == '/') {
    data = env;
  } else {
    // An account without any home gets a path below "/", where an ordinary user cannot write:
    // the failure shows rather than sets going to a folder that is emptied at the next start.
    data = HomeFolder() + "/.local/share";
  }
  while (data.size() > 1 && data.back() == '/') data.pop_back();
  if (data == "/") data.clear();
  return data + "/ferncastle/backups";
}

std::string GetBackupsFolder(int* error) {
  const std::string folder = BackupsFolderPath();
  const std::string own = folder.substr(0, folder.rfind('/'));  // ".../ferncastle"
  int err = MakeParents(own);
  if (err == 0) err = MakeFolder(own, 0700, true);
  if (err == 0) err = MakeFolder(folder, 0700, true);
  if (error != nullptr) *error = err;
  return folder;
}

// Labels of Linux file systems may hold '/', which in a file name would lead out of the
// backups folder ("../../x"); it stands as '_' in set names and in the patterns that find them.
static std::string LabelInName(const std::string& label) {
  std::string part = label;
  for (char& c : part)
    if (c == '/') c = '_';
  return part;
}

std::string SetFilePath(const std::string& backupsFolder, const std::string& label, uint32_t tick,
                        bool fullBackup) {
  return backupsFolder + "/" + LabelInName(label) + "-" + std::to_string(tick) +
         (fullBackup ? ".fcf" : ".fci");
}

bool ParseSetName(const std::string& fileName, std::string& label, uint32_t& tick, bool& full) {
  if (fileName.size() < 6 || fileName.find('/') != std::string::npos) return false;
  const std::string extension = fileName.substr(fileName.size() - 4);
  bool isFull = EqualsIgnoringCase(extension, ".fcf");
  if (!isFull && !EqualsIgnoringCase(extension, ".fci")) return false;
  const std::string title = fileName.substr(0, fileName.size() - 4);
  const size_t dash = title.rfind('-');
  if (dash == std::string::npos) return false;
  const std::string digits = title.substr(dash + 1);
  // "4294967295" is the largest tick; the program writes none with a leading zero.
  if (digits.empty() || digits.size() > 10 || (digits.size() > 1 && digits[0] == '0')) return false;
  uint64_t value = 0;
  for (char c : digits) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) return false;
  label = title.substr(0, dash);
  tick = static_cast<uint32_t>(value);
  full = isFull;
  return true;
}

std::string FullSetsPattern(const std::string& label) { return LabelInName(label) + "-*.fcf"; }
std::string QuickSetsPattern(const std::string& label) { return LabelInName(label) + "-*.fci"; }

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

bool IsQuickSet(const std::string& fileName) {
  if (fileName.size() < 3) return false;
  return EqualsIgnoringCase(fileName.substr(fileName.size() - 3), "fci");
}

std::string BareFileName(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DriveNameOfSet(const std::string& fileName) {
  std::string title = BareFileName(fileName);
  auto dot = title.rfind('.');
  if (dot != std::string::npos) title.resize(dot);
  auto dash = title.find('-');
  return dash == std::string::npos ? std::string() : title.substr(0, dash);
}

std::string FormatSetDate(int64_t time) {
  // Written out: glibc's "%c" is another text than the one the list has always shown.
  return FixedTime("%m/%d/%y %H:%M:%S", time);
}

void EncodeEntryHeader(const EntryHeader& header, unsigned char out[kEntryHeaderSize]) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(header.nameLength >> (8 * i));
  for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<unsigned char>(header.dataLength >> (8 * i));
  uint64_t time = static_cast<uint64_t>(header.time);
  for (int i = 0; i < 8; ++i) out[8 + i] = static_cast<unsigned char>(time >> (8 * i));
}

EntryHeader DecodeEntryHeader(const unsigned char in[kEntryHeaderSize]) {
  EntryHeader header;
  for (int i = 0; i < 4; ++i) header.nameLength |= static_cast<uint32_t>(in[i]) << (8 * i);
  for (int i = 0; i < 4; ++i) header.dataLength |= static_cast<uint32_t>(in[4 + i]) << (8 * i);
  uint64_t time = 0;
  for (int i = 0; i < 8; ++i) time |= static_cast<uint64_t>(in[8 + i]) << (8 * i);
  header.time = static_cast<int64_t>(time);
  return header;
}

// Reads exactly length bytes unless the stream ends or fails; returns the count, or -1.
static int ReadFully(CStreamFile& stream, unsigned char* buffer, unsigned length) {
  unsigned done = 0;
  while (done < length) {
    int got = stream.Read(buffer + done, length - done);
    if (got < 0) return -1;
    if (got == 0) break;
    done += static_cast<unsigned>(got);
  }
  return static_cast<int>(done);
}

HeaderResult ReadEntryHeader(CStreamFile& stream, EntryHeader& header, std::string& name) {
  header = EntryHeader();
  name.clear();
  unsigned char raw[kEntryHeaderSize];
  int got = ReadFully(stream, raw, kEntryHeaderSize);
  if (got == 0) return HeaderResult::End;
  if (got != static_cast<int>(kEntryHeaderSize)) return HeaderResult::Damaged;
  header = DecodeEntryHeader(raw);
  if (header.nameLength >= kNameBufferSize) return HeaderResult::Damaged;
  char buffer[kNameBufferSize];
  memset(buffer, 0, sizeof buffer);
  got = ReadFully(stream, reinterpret_cast<unsigned char*>(buffer), header.nameLength);
  if (got != static_cast<int>(header.nameLength)) return HeaderResult::Damaged;
  name = buffer;  // the text up to the first zero byte
  return HeaderResult::Entry;
}

}  // namespace fern
