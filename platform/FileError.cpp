#include "platform/FileError.h"

#include <cerrno>

#include "res/Resource.h"
#include "res/StringTable.h"

namespace fern {

int FileErrorStringId(int error) {
  switch (error) {
    case 0:
      return IDS_FILE_NONE;
    case ENOENT:
      return IDS_FILE_NOTFOUND;
    case EEXIST:  // another file took the name first (a second restore, a case-only clash)
      return IDS_FILE_EXISTS;
    case EISDIR:
      return IDS_FILE_ISFOLDER;
    case ENAMETOOLONG:
      return IDS_FILE_NAMETOOLONG;
    case ENOTDIR:
    case ELOOP:
    case EINVAL:  // a name the file system refuses (FUSE file systems say so with EINVAL)
    case EILSEQ:  // a name not in the file system's character set
    case ENXIO:
    case ENODEV:
      return IDS_FILE_BADPATH;
    case EMFILE:
    case ENFILE:
      return IDS_FILE_TOOMANYOPEN;
    case EACCES:
    case EPERM:
    case EROFS:
      return IDS_FILE_ACCESSDENIED;
    case EBADF:
      return IDS_FILE_INVALIDFILE;
    case EMLINK:
      return IDS_FILE_DIRFULL;
    case ESPIPE:
      return IDS_FILE_BADSEEK;
    case EIO:
    case ENOTCONN:  // a FUSE stick whose daemon is gone: the drive is not ready
    case ENOMEDIUM:
    case EUCLEAN:
      return IDS_FILE_HARDIO;
    case EBUSY:
    case ETXTBSY:
      return IDS_FILE_SHARING;
    case EDEADLK:
    case ENOLCK:
      return IDS_FILE_LOCKING;
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
      return IDS_FILE_DISKFULL;
    case EOVERFLOW:
      return IDS_FILE_ENDOFFILE;
    default:
      return IDS_FILE_GENERIC;
  }
}

std::string FormatFileErrorId(int stringId, const std::string& path) {
  std::string text = LoadString(stringId);
  auto at = text.find("%1");
  if (at != std::string::npos) text.replace(at, 2, path);
  if (text.size() > 511) {
    // Cut at a character boundary so a long UTF-8 path does not end in half a character.
    size_t cut = 511;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    text.resize(cut);
  }
  return text;
}

std::string FormatFileError(int error, const std::string& path) {
  return FormatFileErrorId(FileErrorStringId(error), path);
}

}  // namespace fern
