#include "engine/PlaceFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileError.h"
#include "platform/FileWrite.h"

namespace {

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

std::string Relative(const std::string& folder, const std::string& leaf) {
  return folder.empty() ? leaf : folder + "/" + leaf;
}

}  // namespace

void CPlaceFile::Drop(int folderFd, const std::string& leaf, const std::string& path) {
  if (unlinkat(folderFd, leaf.c_str(), 0) == 0 || errno == ENOENT) return;
  const int error = errno;
  m_target.NoteLeftBehind();  // the journal stays, so the next restore removes it
  if (m_target.Gone()) return;
  const std::string left = FolderOf(path) + leaf;
  m_target.Later(left, fern::FormatFileError(error, left));
}

bool CPlaceFile::Place(const CWaitingFile& p, const char* note) {
  const int folderFd = p.folder->Get();
  if (!p.replace) {
    // Nothing was there: never replace what may have appeared since.
    if (fern::RenameNoReplace(folderFd, p.tempLeaf, p.leaf) != 0) {
      int error = errno;
      // The file is there under its temporary name: "not found" can only mean the file system
      // refused the name itself (exfat-fuse answers ':' or '?' so).
      if (error == ENOENT) error = EINVAL;
      Drop(p);
      if (!m_target.Gone()) m_target.Later(p.path, fern::FormatFileError(error, p.path));
      return false;
    }
  } else if (renameat(folderFd, p.tempLeaf.c_str(), folderFd, p.leaf.c_str()) != 0 && !StepAside(p)) {
    return false;
  }
  m_bPlaced = true;
  if (note != nullptr) m_target.Later(p.path, note);
  return true;
}

bool CPlaceFile::StepAside(const CWaitingFile& p) {
  // A file system that will not rename over a file: the earlier file steps aside under a
  // temporary name of its own, the new one takes its place, then the earlier one goes.
  const int folderFd = p.folder->Get();
  int error = errno;
  std::string aside;
  int moved = -1;
  struct stat st;
  // Only the earlier file itself steps aside, never what took its place meanwhile.
  const bool plainFile = fstatat(folderFd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
  for (unsigned n = 0; plainFile && n < 100 && moved != 0; ++n) {
    aside = CRestoreJournal::TempName();
    // Listed with its real name before it moves: should the restore end here, the next one
    // puts it back (it may be the only copy).
    if (!m_target.Journal().AddAside(Relative(p.folderRel, aside), Relative(p.folderRel, p.leaf))) {
      error = errno;
      break;
    }
    moved = fern::RenameNoReplace(folderFd, p.leaf, aside);
    if (moved != 0 && errno != EEXIST) break;
  }
  if (moved != 0) {
    Drop(p);
    if (!m_target.Gone()) m_target.Later(p.path, fern::FormatFileError(error, p.path));
    return false;
  }
  if (renameat(folderFd, p.tempLeaf.c_str(), folderFd, p.leaf.c_str()) != 0) {
    error = errno;
    Drop(p);
    if (m_target.Gone()) return false;
    std::string text = fern::FormatFileError(error, p.path);
    if (fern::RenameNoReplace(folderFd, aside, p.leaf) != 0) {
      m_target.NoteLeftBehind();  // the journal lists it: the next restore puts it back
      text += " The earlier file is now " + FolderOf(p.path) + aside;
    }
    m_target.Later(p.path, text);
    return false;
  }
  // The new file is in place; an earlier copy that cannot go is named, not left unseen.
  m_target.Journal().Placed(Relative(p.folderRel, aside));  // lost, it only keeps the earlier copy
  Drop(folderFd, aside, p.path);
  return true;
}
