// Where backup sets live, how they are named and recognised, and the entry layout inside them.
#pragma once

#include <cstdint>
#include <string>

class CStreamFile;

namespace fern {

// The per-user folder of the sets, $XDG_DATA_HOME/ferncastle/backups ($HOME/.local/share when
// XDG_DATA_HOME is unset or not absolute; the account's home when HOME is unset too), whatever
// the current folder: a program started from the desktop has the home as its current folder,
// whose "backups" may hold anything of the user's. No trailing '/'; nothing is created.
std::string BackupsFolderPath();
// BackupsFolderPath(), created with its parents when missing; the "ferncastle" and "backups"
// folders it creates are the owner's alone (0700 whatever the umask), folders that were there
// already are left as they are. When error is given it receives 0, or the errno of the folder
// that could not be made; the caller without one learns of a failure when it uses the folder.
std::string GetBackupsFolder(int* error = nullptr);

// "<folder>/<label>-<tick>.fcf" for a Full Backup, ".fci" for a Quick Backup. A '/' in the
// label is written as '_' (here and in the patterns below), so a set never lands elsewhere.
std::string SetFilePath(const std::string& backupsFolder, const std::string& label, uint32_t tick,
                        bool fullBackup);

// Whether a file name (no folder) is a set as SetFilePath writes it: a label, "-", a decimal
// tick (digits only, no leading zero, at most 4294967295), ".fcf" or ".fci", the extension in
// either case. The label is everything before the last "-" (it may hold '-' itself, or be
// empty). Anything else that matches "*.fc*" (a user's "bracket.FCStd", "x-12.fcfz") is not a set.
bool ParseSetName(const std::string& fileName, std::string& label, uint32_t& tick, bool& full);

// File-name patterns (matched without regard to case) of the sets in the backups folder; they
// find candidates, ParseSetName decides.
inline const char* AllSetsPattern() { return "*.fc*"; }
std::string FullSetsPattern(const std::string& label);   // "<label>-*.fcf"
std::string QuickSetsPattern(const std::string& label);  // "<label>-*.fci"

// Equal but for the case of ASCII letters. The locale is not asked: under a Turkish one, for
// instance, 'I' would not fold to 'i' and "X-1.FCI" would stop being a Quick Backup set.
bool EqualsIgnoringCase(const std::string& a, const std::string& b);

// A set is a Quick Backup when the last three characters of its name are "fci", ignoring case.
bool IsQuickSet(const std::string& fileName);
// The drive name of a set: its file title (name less extension) up to its first '-'; "" without one.
std::string DriveNameOfSet(const std::string& fileName);
// The part of a path after its last '/'.
std::string BareFileName(const std::string& path);

// Local time in the form 12/08/05 14:30:00.
std::string FormatSetDate(int64_t time);

// The 16-byte entry header, little-endian whatever the host.
constexpr unsigned kEntryHeaderSize = 16;
constexpr unsigned kNameBufferSize = 512;
constexpr unsigned kCopyChunk = 16384;

struct EntryHeader {
  uint32_t nameLength = 0;
  uint32_t dataLength = 0;
  int64_t time = 0;
};

void EncodeEntryHeader(const EntryHeader& header, unsigned char out[kEntryHeaderSize]);
EntryHeader DecodeEntryHeader(const unsigned char in[kEntryHeaderSize]);

enum class HeaderResult {
  Entry,    // header and name read; the data follows in the stream
  End,      // the set ended exactly before this entry
  Damaged,  // a partial or failed header read, a name of 512 bytes or more, or a short name
};

// Reads the next header and the name (into a zeroed 512-byte buffer, the name being the text
// up to the first zero byte). Never reads past the buffer nor parses a partial header.
HeaderResult ReadEntryHeader(CStreamFile& stream, EntryHeader& header, std::string& name);

}  // namespace fern
