#include "engine/EntryReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/FileError.h"
#include "platform/SafeOpen.h"
#include "platform/TempFolder.h"
#include "res/Resource.h"
#include "storage/SetFormat.h"
#include "storage/StoredName.h"

namespace {

const char kErrorReading[] = "error reading";
const char kReadOnly[] = "File is read-only. Cannot overwrite.";
const char kExists[] = "File already exists. Cannot overwrite.";
constexpr int kOutputFlags = O_CREAT | O_TRUNC | O_WRONLY;
constexpr unsigned kMaxBackupNumber = 9999;

void SetError(std::string* errorText, const std::string& text) {
  if (errorText != nullptr) errorText->assign(text);
}

// Reads exactly length bytes unless the stream ends or fails.
unsigned ReadChunk(CStreamFile& stream, char* buffer, unsigned length) {
  unsigned done = 0;
  while (done < length) {
    int got = stream.Read(buffer + done, length - done);
    if (got <= 0) break;
    done += static_cast<unsigned>(got);
  }
  return done;
}

bool WriteAll(int fd, const char* data, size_t length) {
  while (length > 0) {
    ssize_t written = write(fd, data, length);
    if (written < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    if (written == 0) {
      errno = ENOSPC;
      return false;
    }
    data += written;
    length -= static_cast<size_t>(written);
  }
  return true;
}

// The part of a stored name after its last '\'.
std::string BareStoredName(const std::string& stored) {
  auto slash = stored.rfind('\\');
  return slash == std::string::npos ? stored : stored.substr(slash + 1);
}

}  // namespace

// The file one entry is written to: a leaf name in an open folder, and the earlier file's
// place while the new copy is being written.
struct CEntryReader::Output {
  fern::CFolderFd folder;
  std::string leaf;
  std::string backupLeaf;  // "" unless the earlier file was moved aside
  std::string tempLeaf;    // a picked file is written under this name, then renamed to leaf
  bool noReplace = false;  // the rename to leaf never replaces a file
  std::string path;        // for error texts
  int fd = -1;
  bool failed = false;
};

CEntryReader::CEntryReader(IEngineUI& ui, char* copyBuffer, int& overwriteAnswer)
    : m_ui(ui), m_pCopyBuffer(copyBuffer), m_nOverwriteAnswer(overwriteAnswer) {}

void CEntryReader::CreateFolderChain(const std::string& path) {
  auto last = path.rfind('/');
  if (last == std::string::npos) return;
  for (size_t i = 0; i <= last; ++i) {
    if (path[i] != '/' || i == 0) continue;
    mkdir(path.substr(0, i).c_str(), 0777);
  }
}

bool CEntryReader::OpenTarget(const std::string& targetFolder, const std::string& stored,
                              int64_t time, std::string& name, Output& out,
                              std::string* errorText) {
  std::string relative;
  std::string root = targetFolder;
  if (root.back() != '/') root += '/';
  if (!fern::StoredNameToRelative(stored, relative)) {
    // A name that could leave the drive is never written; the row names it as stored.
    SetError(errorText, fern::FormatFileErrorId(IDS_FILE_BADPATH, stored));
    return false;
  }
  out.path = root + relative;
  name = out.path;

  fern::CFolderFd rootFd(fern::OpenRootFolder(root));
  if (!rootFd.IsOpen()) {
    SetError(errorText, fern::FormatFileError(errno, out.path));
    return false;
  }
  const int folderError = fern::CreateFolderChainBeneath(rootFd.Get(), relative);
  std::string folder;
  fern::SplitRelative(relative, folder, out.leaf);
  out.folder = fern::CFolderFd(fern::OpenFolderBeneath(rootFd.Get(), folder));
  if (!out.folder.IsOpen()) {
    // A folder missing because the drive refused to make it: the refusal is the cause.
    SetError(errorText, fern::FormatFileError(errno == ENOENT && folderError != 0 ? folderError : errno, out.path));
    return false;
  }

  // Overwrite rules, on the status of whatever is at the target path (a link is not followed).
  struct stat st;
  bool exists = fstatat(out.folder.Get(), out.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
  if (!exists && errno != ENOENT) {
    SetError(errorText, fern::FormatFileError(errno, out.path));
    return false;
  }
  if (exists) {
    if (S_ISLNK(st.st_mode) || !S_ISREG(st.st_mode)) {
      // Never replace a link, a folder or a device by a restored file.
      SetError(errorText, fern::FormatFileError(S_ISDIR(st.st_mode) ? EISDIR : ELOOP, out.path));
      return false;
    }
    if ((st.st_mode & S_IWUSR) == 0) {
      SetError(errorText, kReadOnly);
      return false;
    }
    if (static_cast<int64_t>(st.st_mtim.tv_sec) > time) {
      if (m_nOverwriteAnswer == 1) return false;
      if (m_nOverwriteAnswer != 3) {
        m_nOverwriteAnswer = m_ui.AskOverwrite(out.path);
        if (m_nOverwriteAnswer <= 1) return false;
      }
    }
    // Move the earlier file aside without ever replacing a file: the user's own ".bak" (or a
    // leftover) stays, and the first free "<name>.bak.N" is taken instead.
    std::string candidate = out.leaf + ".bak";
    for (unsigned n = 1;; ++n) {
      if (fern::RenameNoReplace(out.folder.Get(), out.leaf, candidate) == 0) {
        out.backupLeaf = candidate;
        break;
      }
      if (errno != EEXIST || n > kMaxBackupNumber) {
        // Without a safety copy the earlier file would be lost on a failed write: keep it.
        SetError(errorText, fern::FormatFileError(errno == EEXIST ? EMLINK : errno, out.path));
        return false;
      }
      candidate = out.leaf + ".bak." + std::to_string(n);
    }
  }

  for (;;) {
    out.fd = openat(out.folder.Get(), out.leaf.c_str(), kOutputFlags | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out.fd >= 0 || errno != EINTR) break;
  }
  if (out.fd < 0) {
    int error = errno;
    // Creating a name in a folder held open: "not found" can only mean the file system refused
    // the name (exfat-fuse answers ':' or '?' so).
    if (error == ENOENT) error = EINVAL;
    if (!out.backupLeaf.empty() &&
        fern::RenameNoReplace(out.folder.Get(), out.backupLeaf, out.leaf) == 0)
      out.backupLeaf.clear();
    SetError(errorText, fern::FormatFileError(error, out.path));
    return false;
  }
  return true;
}

bool CEntryReader::OpenPicked(const std::string& pickPath, Output& out, std::string* errorText) {
  out.path = pickPath;
  auto slash = pickPath.rfind('/');
  if (pickPath.empty() || slash == std::string::npos || !fern::IsPlainName(pickPath.substr(slash + 1))) {
    SetError(errorText, fern::FormatFileErrorId(IDS_FILE_BADPATH, pickPath));
    return false;
  }
  out.leaf = pickPath.substr(slash + 1);
  out.folder = fern::CFolderFd(fern::OpenRootFolder(pickPath.substr(0, slash + 1)));
  if (!out.folder.IsOpen()) {
    SetError(errorText, fern::FormatFileError(errno, pickPath));
    return false;
  }
  if (!m_strPickFolder.empty()) {
    // The user's own files, and an entry taken earlier under the same bare name, stay.
    struct stat st;
    out.noReplace = !m_bPickReplace;
    if (m_pickWritten.count(out.leaf) != 0 ||
        (out.noReplace && fstatat(out.folder.Get(), out.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)) {
      SetError(errorText, kExists);
      return false;
    }
    m_pickWritten.insert(out.leaf);
  }
  // Written under a name of its own and renamed over the file of that name only once complete,
  // so a copy cut short never replaces (nor passes for) a good file.
  for (unsigned n = 0; n < 100; ++n) {
    out.tempLeaf = ".fernpart-" + std::to_string(getpid()) + "-" + std::to_string(n);
    out.fd = openat(out.folder.Get(), out.tempLeaf.c_str(),
                    O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out.fd >= 0 || (errno != EEXIST && errno != EINTR)) break;
  }
  if (out.fd < 0) {
    out.tempLeaf.clear();
    SetError(errorText, fern::FormatFileError(errno, pickPath));
    return false;
  }
  return true;
}

void CEntryReader::Finish(Output& out, bool complete, std::string* errorText) {
  if (out.fd >= 0) {
    if (close(out.fd) != 0 && !out.failed) {
      out.failed = true;
      SetError(errorText, fern::FormatFileError(errno, out.path));
    }
    out.fd = -1;
    bool good = complete && !out.failed;
    if (!out.tempLeaf.empty()) {
      int moved = 0;
      if (good && out.noReplace) {
        moved = fern::RenameNoReplace(out.folder.Get(), out.tempLeaf, out.leaf);
        if (moved != 0 && errno == EINVAL) {
          // FUSE file systems refuse the flag: look first, then rename.
          struct stat st;
          if (fstatat(out.folder.Get(), out.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            errno = EEXIST;
          else
            moved = renameat(out.folder.Get(), out.tempLeaf.c_str(), out.folder.Get(), out.leaf.c_str());
        }
      } else if (good) {
        moved = renameat(out.folder.Get(), out.tempLeaf.c_str(), out.folder.Get(), out.leaf.c_str());
      }
      if (moved != 0) {
        good = false;
        SetError(errorText, errno == EEXIST ? std::string(kExists) : fern::FormatFileError(errno, out.path));
      }
      if (!good) unlinkat(out.folder.Get(), out.tempLeaf.c_str(), 0);
    } else if (!out.backupLeaf.empty()) {
      if (good) {
        unlinkat(out.folder.Get(), out.backupLeaf.c_str(), 0);
      } else {
        // The earlier file takes the place of the incomplete copy.
        renameat(out.folder.Get(), out.backupLeaf.c_str(), out.folder.Get(), out.leaf.c_str());
      }
    } else if (!good) {
      // No earlier file to bring back: an incomplete copy must not pass for the real file.
      unlinkat(out.folder.Get(), out.leaf.c_str(), 0);
    }
  }
}

bool CEntryReader::ExtractEntry(CStreamFile& stream, std::string& name, uint32_t& size,
                                int64_t& time, const std::string& targetFolder,
                                std::vector<std::string>* pickList, std::string* errorText) {
  name.clear();
  size = 0;
  if (errorText != nullptr) errorText->clear();

  fern::EntryHeader header;
  std::string stored;
  switch (fern::ReadEntryHeader(stream, header, stored)) {
    case fern::HeaderResult::End:
      return false;
    case fern::HeaderResult::Damaged:
      m_ui.ShowMessage(kErrorReading);
      return false;
    case fern::HeaderResult::Entry:
      break;
  }
  // The name is the text up to its first zero byte; one that went on past a zero is not what
  // the set meant, and is not written anywhere.
  const bool nameCut = stored.size() != header.nameLength;
  // From here on the name is UTF-8 whoever wrote the set: the file written, the scratch copy
  // and every caller's display take the same text.
  stored = fern::DecodeStoredName(stored);
  name = stored;
  size = header.dataLength;
  time = header.time;

  bool picked = false;
  std::string pickPath;
  if (pickList != nullptr) {
    for (auto& element : *pickList) {
      if (!fern::SameStoredName(stored, element)) continue;
      picked = true;
      std::string bare = BareStoredName(stored);
      if (fern::IsPlainName(bare)) {
        if (m_strPickFolder.empty()) {
          std::string scratch = fern::ScratchFolder();
          if (!scratch.empty()) {
            mkdir(scratch.c_str(), 0700);
            pickPath = scratch + "/" + bare;
          }
        } else {
          pickPath = m_strPickFolder;
          if (pickPath.back() != '/') pickPath += '/';
          pickPath += bare;
        }
      }
      element = pickPath;
      break;
    }
  }

  Output out;
  const bool wanted = !targetFolder.empty() && (pickList == nullptr || picked);
  if ((wanted || picked) && nameCut) {
    SetError(errorText, fern::FormatFileErrorId(IDS_FILE_BADPATH, stored));
  } else if (wanted) {
    OpenTarget(targetFolder, stored, time, name, out, errorText);
  } else if (picked) {
    OpenPicked(pickPath, out, errorText);
  }

  uint32_t done = 0;
  while (done < size) {
    unsigned chunk = size - done < fern::kCopyChunk ? size - done : fern::kCopyChunk;
    if (ReadChunk(stream, m_pCopyBuffer, chunk) != chunk) {
      m_ui.ShowMessage(kErrorReading);
      break;
    }
    done += chunk;
    if (out.fd >= 0 && !out.failed && !WriteAll(out.fd, m_pCopyBuffer, chunk)) {
      out.failed = true;
      SetError(errorText, fern::FormatFileError(errno, out.path));
    }
  }
  bool result = done == size;
  Finish(out, result, errorText);
  return result;
}
