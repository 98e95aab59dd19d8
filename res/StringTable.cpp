#include "res/StringTable.h"

#include <unordered_map>

#include "res/Resource.h"

namespace fern {

std::string LoadString(int id) {
  static const std::unordered_map<int, const char*> table = {
      {IDS_ABOUTBOX, "&About fernapp..."},
      {ID_RESTORE_CHECKED, "Restore\nRestore the checked file(s) to the USB Flash drive"},
      {ID_COPY_TO_CLIPBOARD,
       "Copy\nCopy the selected file to the windows clipboard to paste into Windows Explorer"},
      {ID_PREVIEW, "Open\nPreview the selected file"},
      {IDS_FILE_NONE, "No error occurred."},
      {IDS_FILE_GENERIC, "An unknown error occurred while accessing %1."},
      {IDS_FILE_NOTFOUND, "%1 was not found."},
      {IDS_FILE_BADPATH, "%1 contains an invalid path."},
      {IDS_FILE_TOOMANYOPEN, "%1 could not be opened because there are too many open files."},
      {IDS_FILE_ACCESSDENIED, "Access to %1 was denied."},
      {IDS_FILE_INVALIDFILE, "An invalid file handle was associated with %1."},
      {IDS_FILE_REMOVECURRENT, "%1 could not be removed because it is the current directory."},
      {IDS_FILE_DIRFULL, "%1 could not be created because the directory is full."},
      {IDS_FILE_BADSEEK, "Seek failed on %1"},
      {IDS_FILE_HARDIO, "A hardware I/O error was reported while accessing %1."},
      {IDS_FILE_SHARING, "A sharing violation occurred while accessing %1."},
      {IDS_FILE_LOCKING, "A locking violation occurred while accessing %1."},
      {IDS_FILE_DISKFULL, "Disk full while accessing %1."},
      {IDS_FILE_ENDOFFILE, "An attempt was made to access %1 past its end."},
      {IDS_FILE_EXISTS, "File already exists. Cannot overwrite."},
      {IDS_FILE_ISFOLDER, "%1 is a folder, so no file of that name can be written."},
      {IDS_FILE_NAMETOOLONG, "The name of %1 is too long for the drive."},
  };
  auto it = table.find(id);
  return it == table.end() ? std::string() : std::string(it->second);
}

}  // namespace fern
