// The journal a restore keeps at the root of the drive while it runs, so that its temporary files
// are known beyond doubt: by the next restore of the drive, which removes what an interrupted one
// left, and by the backup walk, which never stores them. A user's own file of a similar name is
// listed by no journal, so it is never touched and still backed up.
//
// The journal is a hidden file ".fernjournal-XXXXXX" at the drive root: created with O_EXCL (two
// restores of one drive each keep their own), held under flock for the whole restore (a journal
// nobody holds is one an interrupted restore left), and removed at a clean end. It lists, one
// record a line, every temporary name (relative to the root) before a file of that name is
// created, and an earlier file moved aside (where the file system refuses a rename over a file)
// with its real name before it is moved. Records reach the medium before the names they list are
// used, so after a power cut no temporary can exist unlisted; a record cut short by one was never
// acted upon. Temporary names are listed a few at a time per folder ahead of their use, so the
// journal costs one flush per batch of files, not one per file.
#pragma once

#include <sys/types.h>

#include <set>
#include <string>
#include <vector>

#include "platform/SafeOpen.h"

class CRestoreJournal {
 public:
  CRestoreJournal() = default;
  ~CRestoreJournal();
  CRestoreJournal(const CRestoreJournal&) = delete;
  CRestoreJournal& operator=(const CRestoreJournal&) = delete;

  static const char* Prefix();      // of the journal's own name
  static const char* TempPrefix();  // of every temporary name a restore uses
  // A new temporary name: the prefix and a random suffix, the same length whatever the file's
  // own name, so it fits every file system. Restores and extracted files alike use it.
  static std::string TempName();

  bool IsOpen() const { return m_fd >= 0; }

  // Creates and locks a journal at the root (rootFd: a readable folder descriptor). False with
  // errno when it cannot.
  bool Create(int rootFd);

  // Lists names (relative to the root) of temporaries about to be created and flushes them to
  // the medium. False with errno.
  bool AddTemps(const std::vector<std::string>& relatives);
  // A listed name turned out to be taken by another file: it is not ours. Flushed, so the file of
  // that name is never taken for a leftover.
  bool NotOurs(const std::string& relative);
  // The restored file took the real name of the earlier file moved aside under asideRelative: the
  // earlier copy may go. Not flushed: lost, it only keeps the earlier copy.
  bool Placed(const std::string& asideRelative);
  // Lists an earlier file about to be moved aside under aside (both relative, one folder) and
  // flushes it. False with errno.
  bool AddAside(const std::string& asideRelative, const std::string& realRelative);

  // Ends the journal. remove: everything it lists is dealt with, the file goes; else it stays
  // for the next restore, which finds it unlocked. False with errno when it could not be removed.
  bool Close(bool remove);

  // What an interrupted restore left at the drive root, dealt with: every journal no live
  // process holds has its temporaries removed (regular files with the temporary prefix only,
  // never through a link) and every earlier file it moved aside put back under its real name
  // when that name is free (it may be the only copy) or removed otherwise; the journal then
  // goes. A journal whose listing could not all be dealt with stays, to be tried again.
  // Returns the number of journals removed.
  static int CleanStale(int rootFd);

  // Every name (relative to root) that a journal at root lists as a temporary or a file moved
  // aside, live journals included, and the journals themselves.
  static std::set<std::string> ListedNames(const std::string& root);

  // Whether relative (a file met below root) is a restore's own: a journal or a name one lists.
  // Only names with one of the two prefixes are looked up; one not found in listed has the
  // journals read again into listed, since a restore may be running beside the caller.
  static bool IsRestoreFile(const std::string& root, const std::string& relative, std::set<std::string>& listed);

 private:
  bool Append(const std::string& text, bool flush);

  int m_fd = -1;
  int m_rootFd = -1;  // a duplicate, for the removal
  std::string m_strName;
  off_t m_nWhole = 0;     // the length of the journal's whole lines
  bool m_bBroken = false;  // a cut line could not be taken back: no more records
};
