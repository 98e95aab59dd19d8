#include "storage/SetFormat.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "storage/FixedText.h"
#include "storage/StreamFile.h"

namespace fern {

std::string BackupsFolderOf(const std::string& currentFolder) {
  std::string folder = currentFolder;
  if (!folder.empty() && folder.back() != '/') folder += '/';
  return folder + "backups";
}

std::string GetBackupsFolder() {
  char buffer[4096];
  std::string current;
  if (getcwd(buffer, sizeof buffer) != nullptr) current = buffer;
  std::string folder = BackupsFolderOf(current);
  // Usually there already; any real failure shows when the folder is used.
  mkdir(folder.c_str(), 0777);
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
