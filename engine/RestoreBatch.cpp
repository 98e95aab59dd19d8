#include "engine/RestoreBatch.h"

#include <sys/resource.h>

#include <algorithm>
#include <cerrno>

#include "platform/FileError.h"
#include "res/Resource.h"

namespace {

const char kFromDamagedSet[] = "Restored from a damaged backup set: the file may hold wrong data.";
const char kNotReplaced[] = "Not replaced: the backup set is damaged.";

// A batch of restored files waits under temporary names until one flush puts them all on the
// medium: this bounds what the batch adds to the stick's peak use, and its open folders.
constexpr uint64_t kBatchBytes = 64ull << 20;
constexpr size_t kBatchFiles = 256;
// Below this much free space beyond the next file, the batch is put in place first, which
// lets the earlier copies go.
constexpr uint64_t kSpareBytes = 1ull << 20;
// While the set is still being checked, files that replace one wait for the check and the
// restore goes on beside it as long as the drive has room (the rule above) and the waiting
// files stay within this count.
constexpr size_t kWaitFiles = 16384;

// The folders of waiting files are held open until the files are put in place: a batch (and
// the files waiting for the check) are put in place before they take a quarter of the
// descriptors the process may open.
size_t MaxOpenFolders() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 256;
  return std::clamp<size_t>(static_cast<size_t>(limit.rlim_cur / 4), 16, 4096);
}

// A waiting file's folder (the object, as the list compares them) and name as one key.
std::string WaitingName(const void* folder, const std::string& leaf) {
  return std::to_string(reinterpret_cast<uintptr_t>(folder)) + '/' + leaf;
}

}  // namespace

using State = CVerifyPass::State;

CRestoreBatch::CRestoreBatch(CRestoreTarget& target, CSetScan& scan, Flush flush)
    : m_target(target), m_scan(scan), m_place(target), m_flush(flush), m_nMaxFolders(MaxOpenFolders()) {}

CRestoreBatch::~CRestoreBatch() {
  m_pass.Abandon();
  CVerifyPass::Result ignored;
  m_pass.Join(ignored);
  // Not on a drive that is gone: nothing is written there any more.
  if (m_target.Lost()) return;
  if (m_out) {
    m_out->Finish(false, false);
    m_place.Drop(m_file.folder->Get(), m_tempLeaf, m_file.path);
  }
  DropAll(m_pending);
  m_target.EndJournal(true);
}

bool CRestoreBatch::StartVerify(const std::string& setPath, std::function<bool()> stopped) {
  return m_pass.Prepare(setPath, std::move(stopped));
}

void CRestoreBatch::LaunchVerify() {
  if (!m_pass.Launch()) JoinVerify();  // no thread: the pass ran here
}

void CRestoreBatch::JoinVerify() {
  CVerifyPass::Result result;
  switch (m_pass.Join(result)) {
    case CVerifyPass::Outcome::Done:
      ApplyVerify(result);
      break;
    case CVerifyPass::Outcome::Stopped:
      m_bVerifyStopped = true;
      break;
    case CVerifyPass::Outcome::None:
      break;
  }
}

void CRestoreBatch::ApplyVerify(CVerifyPass::Result& result) {
  m_digests = std::move(result.digests);
  if (result.state == State::Unverified) {
    m_bVerifyStopped = true;
    return;
  }
  m_state = result.state;
  if (m_state == State::Damaged) m_scan.ShowDamage();
  // New files put in place while the check ran: any not matched to a good set is named.
  for (const PlacedEarly& e : m_placedEarly) {
    const bool matches = m_state == State::Good && e.index < m_digests.size() && m_digests[e.index] == e.digest;
    if (m_state == State::Good && !matches) m_bMismatch = true;
    if (!matches) m_target.Later(e.path, kFromDamagedSet);
  }
  m_placedEarly.clear();
  // Files written before the result was known: one that matches a good set may replace its
  // earlier file; one the set does not hold as written (changed since, or past the point where
  // a damaged set stops) is dropped, as it would never have been written after a first pass.
  std::vector<CWaitingFile> keep;
  for (CWaitingFile& p : m_pending) {
    const bool held = p.index < m_digests.size();
    const bool matches = held && m_digests[p.index] == p.digest;
    if (m_state == State::Good && !matches) m_bMismatch = true;
    if (m_state == State::Good ? matches : held) {
      p.verified = m_state == State::Good;
      keep.push_back(std::move(p));
    } else if (!m_target.Lost()) {  // nothing is written on a drive that is gone
      m_place.Drop(p);
    }
  }
  m_pending = std::move(keep);
  if (m_bMismatch) m_scan.ShowDamage();
}

bool CRestoreBatch::Next() {
  if (m_target.Lost() || ReadDamaged()) return false;
  if (!m_target.Drive().StillMounted()) {
    m_target.Abandon();
    return false;
  }
  // A damaged set is restored only as far as the checking pass read it in full.
  return !(m_state == State::Damaged && m_nEntry >= m_digests.size());
}

CEntryReader::Output* CRestoreBatch::Open(CEntryReader::Entry& entry, bool wanted) {
  m_nEntry = entry.index + 1;
  m_bOverrun = m_state == State::Good && entry.index >= m_digests.size();
  if (m_bOverrun || !wanted) return nullptr;
  if (entry.nameCut) {
    // Not the name the set meant: not written anywhere.
    entry.error = fern::FormatFileErrorId(IDS_FILE_BADPATH, entry.name);
    return nullptr;
  }
  m_file = CRestoreTarget::File();
  const bool located = m_target.Locate(entry.name, entry.time, m_file, entry.error);
  if (!m_file.path.empty()) entry.name = m_file.path;
  if (!located) return nullptr;
  m_bReplace = m_file.exists;
  // The same name twice in one set: the later copy replaces the earlier one still waiting.
  if (m_pending.empty()) m_waitingNames.clear();
  if (m_waitingNames.count(WaitingName(m_file.folder.get(), m_file.leaf)) != 0)
    for (const CWaitingFile& p : m_pending)
      if (p.folder == m_file.folder && p.leaf == m_file.leaf) m_bReplace = true;
  // The checking pass is needed from the first file that would replace one; until then (and
  // onto an empty drive at all) the set is inflated once.
  if (m_bReplace) LaunchVerify();
  // Room for this file beside the earlier copies the batch still keeps? (Waits for a checking
  // pass still running: its result decides what may be put in place.)
  if ((m_state != State::Unverified || m_pass.Pending()) && !m_pending.empty()) {
    const bool lowRoom = m_target.Drive().FreeBytes() < entry.size + kSpareBytes;
    if (lowRoom || (!m_pass.Pending() && m_nPendingBytes + entry.size > kBatchBytes)) {
      CommitPending(false, lowRoom);
      if (m_target.Lost() || Beyond()) return nullptr;
    }
  }
  if (m_state == State::Damaged && m_bReplace) {
    entry.error = kNotReplaced;
    return nullptr;
  }
  const int fd = m_target.CreateTemp(m_file, m_tempLeaf);
  if (fd < 0) {
    entry.error = fern::FormatFileError(errno, m_file.path);
    return nullptr;
  }
  m_out = std::make_unique<CFileOutput>(fd, m_file.path, entry.error);
  return m_out.get();
}

CSetScan::Step CRestoreBatch::Close(CEntryReader::Entry& entry, bool whole) {
  if (m_bOverrun) return CSetScan::Step::Damaged;
  const bool digestOk = m_state != State::Good || (whole && entry.digest == m_digests[entry.index]);
  if (m_out) {
    std::unique_ptr<CFileOutput> out = std::move(m_out);
    const bool syncEach = m_flush == Flush::PerFile || (m_flush == Flush::PerSet && m_target.Drive().IsFuse());
    if (out->Finish(whole && digestOk && !Beyond(), syncEach))
      Keep(*out, entry);
    else  // the earlier file was never touched; the incomplete copy goes
      m_place.Drop(m_file.folder->Get(), m_tempLeaf, m_file.path);
    // A file that failed because the drive went is no fault of its own: the end of the restore
    // says what happened.
    if (!entry.error.empty() && m_target.Gone()) entry.error.clear();
  } else if (!entry.error.empty() && m_target.Gone()) {
    entry.error.clear();
  }
  if (Beyond()) return CSetScan::Step::Stop;
  return whole && digestOk ? CSetScan::Step::Go : CSetScan::Step::Damaged;
}

void CRestoreBatch::Keep(CFileOutput& out, const CEntryReader::Entry& entry) {
  CWaitingFile p;
  p.folder = m_file.folder;
  p.folderRel = m_file.folderRel;
  p.tempLeaf = m_tempLeaf;
  p.leaf = m_file.leaf;
  p.path = m_file.path;
  p.replace = m_bReplace;
  p.verified = m_state == State::Good;
  p.index = entry.index;
  p.digest = entry.digest;
  p.bytes = out.Bytes();
  if (!p.replace) {
    ++m_nPendingNew;
    m_nPendingNewBytes += p.bytes;
  }
  m_nPendingBytes += p.bytes;
  m_waitingNames.insert(WaitingName(p.folder.get(), p.leaf));
  m_pending.push_back(std::move(p));
  if (m_pass.Pending()) {
    // While the set is being checked, new files go in place a batch at a time.
    if (m_nPendingNew >= kBatchFiles || m_nPendingNewBytes >= kBatchBytes || TooManyWaiting()) CommitPending(false);
  } else if (m_state != State::Unverified &&
             (m_flush != Flush::PerSet || m_pending.size() >= kBatchFiles || m_nPendingBytes >= kBatchBytes ||
              m_target.OpenFolders() >= m_nMaxFolders)) {
    CommitPending(false);
  }
}

bool CRestoreBatch::Ended() {
  JoinVerify();
  // A set that changed since the checking pass is damage as well.
  return !(m_state == State::Good && m_nEntry != m_digests.size());
}

bool CRestoreBatch::TooManyWaiting() const {
  return m_pending.size() >= kWaitFiles || m_target.OpenFolders() >= m_nMaxFolders;
}

void CRestoreBatch::DropAll(std::vector<CWaitingFile>& files) {
  for (CWaitingFile& p : files) m_place.Drop(p);
  files.clear();
}

void CRestoreBatch::PlaceNewFilesEarly() {
  // Renames are writes: only on the drive the restore started on.
  if (!m_target.Drive().StillMounted()) {
    m_target.Abandon();
    return;
  }
  // New files too have their data on the medium before they take their names: a power cut
  // must never leave a file under its real name without its bytes.
  const bool anyNew =
      std::any_of(m_pending.begin(), m_pending.end(), [](const CWaitingFile& p) { return !p.replace; });
  const bool synced = !anyNew || m_flush != Flush::PerSet || m_target.Drive().Sync();
  const int syncError = errno;
  std::vector<CWaitingFile> keep;
  for (CWaitingFile& p : m_pending) {
    if (p.replace) {
      keep.push_back(std::move(p));
      continue;
    }
    m_nPendingBytes -= p.bytes;
    if (!synced) {
      m_place.Drop(p);
      if (!m_target.Gone()) m_target.Later(p.path, fern::FormatFileError(syncError, p.path));
    } else if (m_place.Place(p, nullptr)) {
      m_placedEarly.push_back({p.path, p.index, p.digest});
    }
  }
  m_pending = std::move(keep);
  m_nPendingNew = 0;
  m_nPendingNewBytes = 0;
  if (m_pending.empty()) {
    m_nPendingBytes = 0;
    m_target.ReleaseFolders();
  }
}

void CRestoreBatch::CommitPending(bool final, bool forRoom) {
  // While the set is still being checked, files that replace nothing go in place at once: no
  // earlier copy rests on them, and should the check fail they are named like any file of a
  // damaged set. Only files that would replace one wait for the check, so a restore onto an
  // empty stick never waits for it, and one that replaces files waits only when the drive's
  // room or the waiting files' count asks for it.
  if (!final && m_pass.Pending() && !m_target.Lost()) {
    PlaceNewFilesEarly();
    if (m_pending.empty() || m_target.Lost()) return;
    if (!forRoom && !TooManyWaiting()) return;
  }
  JoinVerify();
  if (m_target.Lost()) return;
  if (final && !m_placedEarly.empty()) {
    // No pass read the set (nothing was replaced): new files put in place early are named
    // should the restore's own reading have met damage.
    if (ReadDamaged())
      for (const PlacedEarly& e : m_placedEarly) m_target.Later(e.path, kFromDamagedSet);
    m_placedEarly.clear();
  }
  if (m_bVerifyStopped) {
    // Stopped before the set was known to be good: nothing written so far is put in place.
    DropAll(m_pending);
    m_nPendingBytes = 0;
    m_target.ReleaseFolders();
    return;
  }
  if (m_pending.empty()) return;
  const bool damaged = SetDamaged();
  const bool clean = m_scan.Ended() && !damaged;
  std::vector<CWaitingFile> go, keep;
  for (CWaitingFile& p : m_pending) {
    // A file not yet matched to a good set waits until the set's end tells.
    if (p.verified || damaged || final)
      go.push_back(std::move(p));
    else
      keep.push_back(std::move(p));
  }
  m_pending = std::move(keep);
  if (m_pending.empty()) {
    m_nPendingBytes = 0;
    m_target.ReleaseFolders();
  }
  if (go.empty()) return;
  // Renames are writes: only on the drive the restore started on.
  if (!m_target.Drive().StillMounted()) {
    m_target.Abandon();
    return;
  }
  // The new data reaches the medium before any earlier copy is let go.
  if (m_flush == Flush::PerSet && !m_target.Drive().Sync()) {
    const int error = errno;
    for (CWaitingFile& p : go) {
      m_place.Drop(p);
      if (!m_target.Gone()) m_target.Later(p.path, fern::FormatFileError(error, p.path));
    }
    return;
  }
  for (CWaitingFile& p : go) {
    if (p.verified || clean) {
      m_place.Place(p, nullptr);
    } else if (!p.replace) {
      // Nothing is lost by a new file from a damaged set, but the user must know.
      m_place.Place(p, kFromDamagedSet);
    } else {
      m_place.Drop(p);
      m_target.Later(p.path, kNotReplaced);
    }
  }
}

void CRestoreBatch::Finish(std::vector<std::string>& fileNames, std::vector<std::string>& errorTexts) {
  // Once the drive is gone, what the set holds no longer matters.
  if (m_target.Lost()) m_pass.Abandon();
  JoinVerify();
  if (!m_target.Lost() && !m_bVerifyStopped && m_state == State::Unverified && !m_scan.Ended() && !ReadDamaged()) {
    // Whether the files written so far may replace anything rests on the set's check.
    m_scan.Run();
  }
  CommitPending(true);
  if (m_place.TakePlaced() && m_flush != Flush::None && !m_target.Lost()) {
    // The renames themselves reach the medium before the restore reports it is done.
    if (!m_target.Drive().StillMounted())
      m_target.Abandon();
    else if (!m_target.Drive().Sync() && !m_target.Gone())
      m_target.Later(m_target.Drive().Path(), fern::FormatFileError(errno, m_target.Drive().Path()));
  }
  // After the last flush: the journal goes only once what it lists is settled on the medium.
  m_target.EndJournal(m_pending.empty());
  m_target.TakeRows(fileNames, errorTexts);
  if (m_target.Lost()) CRestoreTarget::NoteDriveRemoved(m_target.Drive().Path(), fileNames, errorTexts);
}
