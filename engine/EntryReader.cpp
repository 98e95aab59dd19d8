#include "engine/EntryReader.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <system_error>

#include "engine/RestoreJournal.h"
#include "platform/FileError.h"
#include "platform/FileWrite.h"
#include "platform/SafeOpen.h"
#include "platform/TempFolder.h"
#include "res/Resource.h"
#include "storage/CompressedFile.h"
#include "storage/SetFormat.h"
#include "storage/StoredName.h"

namespace {

const char kErrorReading[] = "error reading";
const char kReadOnly[] = "File is read-only. Cannot overwrite.";
const char kExists[] = "File already exists. Cannot overwrite.";
const char kFromDamagedSet[] =
    "Restored from a damaged backup set: the file may hold wrong data.";
const char kNotReplaced[] = "Not replaced: the backup set is damaged.";
const char kDriveRemoved[] =
    "The drive was removed during the restore. Files not yet restored were not written.";

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
// Temporary names are listed in the journal ahead of their use, per folder: a few at first, more
// as a folder proves to hold many files, so the journal is flushed once per batch of files.
constexpr size_t kFirstNames = 4;
constexpr size_t kMostNames = 64;

// The folders of waiting files are held open until the files are put in place: a batch (and
// the files waiting for the check) are put in place before they take a quarter of the
// descriptors the process may open.
size_t MaxOpenFolders() {
  struct rlimit limit;
  if (getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return 256;
  return std::clamp<size_t>(static_cast<size_t>(limit.rlim_cur / 4), 16, 4096);
}

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

// The part of a stored name after its last '\'.
std::string BareStoredName(const std::string& stored) {
  auto slash = stored.rfind('\\');
  return slash == std::string::npos ? stored : stored.substr(slash + 1);
}

// The digest of an entry starts with its header and name; its data follows.
uint32_t StartDigest(const fern::EntryHeader& header, const std::string& stored) {
  unsigned char raw[fern::kEntryHeaderSize];
  fern::EncodeEntryHeader(header, raw);
  uLong digest = crc32(0L, raw, sizeof raw);
  digest = crc32(digest, reinterpret_cast<const Bytef*>(stored.data()), static_cast<uInt>(stored.size()));
  return static_cast<uint32_t>(digest);
}

uint32_t AddDigest(uint32_t digest, const char* data, unsigned length) {
  return static_cast<uint32_t>(crc32(digest, reinterpret_cast<const Bytef*>(data), length));
}

// A short hidden name, the same length whatever the file's own name: it fits every file system.
std::string TempName() { return CRestoreJournal::TempPrefix() + fern::RandomNameSuffix(); }

std::string FolderOf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A name in a folder, both relative to the drive root.
std::string Relative(const std::string& folder, const std::string& leaf) {
  return folder.empty() ? leaf : folder + "/" + leaf;
}

bool IsTempText(const std::string& text) { return text.find(CRestoreJournal::TempPrefix()) != std::string::npos; }

}  // namespace

// The file one entry is written to.
struct CEntryReader::Output {
  fern::CFolderFd folder;                       // a picked file's folder
  std::shared_ptr<fern::CFolderFd> shared;      // a restored file's folder
  std::string folderRel;                        // that folder, relative to the drive root
  std::string leaf;
  std::string tempLeaf;  // written under this name, then renamed to leaf
  bool noReplace = false;  // a picked file: the rename to leaf never replaces a file
  std::string path;      // for error texts
  int fd = -1;
  uint64_t bytes = 0;
  bool target = false;   // a file restored below the drive root
  bool replace = false;  // an earlier file is at leaf
  bool failed = false;
};

const char* CEntryReader::TempPrefix() { return CRestoreJournal::TempPrefix(); }

CEntryReader::CEntryReader(IEngineUI& ui, char* copyBuffer, OverwriteAnswer& overwriteAnswer)
    : m_ui(ui), m_pCopyBuffer(copyBuffer), m_nOverwriteAnswer(overwriteAnswer), m_nMaxFolders(MaxOpenFolders()) {}

CEntryReader::~CEntryReader() {
  if (m_verifier.joinable()) {
    m_bAbandon.store(true);
    m_verifier.join();
  }
  // A restore left unfinished puts nothing more in place; its temporary files go (not on a
  // drive that is gone: nothing is written there any more).
  if (m_bDriveLost) return;
  for (Pending& p : m_pending)
    if (unlinkat(p.folder->Get(), p.tempLeaf.c_str(), 0) != 0 && errno != ENOENT) m_bLeftBehind = true;
  m_pending.clear();
  EndJournal();
}

void CEntryReader::CreateFolderChain(const std::string& path) {
  auto last = path.rfind('/');
  if (last == std::string::npos) return;
  for (size_t i = 0; i <= last; ++i) {
    if (path[i] != '/' || i == 0) continue;
    mkdir(path.substr(0, i).c_str(), 0777);
  }
}

bool CEntryReader::SetDrive(const std::string& root, const fern::CDriveIdentity* expected) {
  if (!m_drive.Open(root, expected)) {
    m_nDriveError = errno;
    m_bDriveLost = true;
    return false;
  }
  CleanDrive();
  return true;
}

void CEntryReader::CleanDrive() {
  // What an interrupted restore of this drive left goes first (a journal a running restore holds
  // stays); a failure leaves that journal for the next try and is no reason not to restore.
  CRestoreJournal::CleanStale(m_drive.Fd());
}

bool CEntryReader::Gone() {
  if (!m_bDriveLost && m_drive.IsOpen() && !m_drive.StillMounted()) m_bDriveLost = true;
  return m_bDriveLost;
}

bool CEntryReader::TakeTempName(const std::string& folder, std::string& leaf) {
  Reserved& reserved = m_reserved[folder];
  if (reserved.names.empty()) {
    if (!m_journal.IsOpen() && !m_journal.Create(m_drive.Fd())) return false;
    reserved.batch = reserved.batch == 0 ? kFirstNames : std::min(kMostNames, reserved.batch * 2);
    std::vector<std::string> relatives;
    for (size_t i = 0; i < reserved.batch; ++i) {
      reserved.names.push_back(TempName());
      relatives.push_back(Relative(folder, reserved.names.back()));
    }
    // On the medium before any of the names is used: no temporary exists unlisted.
    if (!m_journal.AddTemps(relatives)) {
      reserved.names.clear();
      return false;
    }
  }
  leaf = reserved.names.back();
  reserved.names.pop_back();
  return true;
}

void CEntryReader::EndJournal() {
  m_reserved.clear();
  // Anything left on the drive (a temporary that could not go, an earlier file set aside, a
  // drive that is gone) keeps the journal for the next restore, which deals with what it lists.
  // A journal that cannot be removed is such a one too: the next restore removes it.
  m_journal.Close(!m_bDriveLost && !m_bLeftBehind && m_pending.empty());
}

void CEntryReader::NoteDriveRemoved(const std::string& root, std::vector<std::string>& fileNames,
                                    std::vector<std::string>& errorTexts) {
  // Rows about files the restore was writing when the drive went would name internal names or
  // read as faults of single files: the one row below says what happened.
  std::vector<std::string> names, texts;
  for (size_t i = 0; i < fileNames.size() && i < errorTexts.size(); ++i) {
    if (IsTempText(fileNames[i]) || IsTempText(errorTexts[i])) continue;
    names.push_back(fileNames[i]);
    texts.push_back(errorTexts[i]);
  }
  std::string shown = root;
  if (shown.size() > 1 && shown.back() == '/') shown.pop_back();
  names.push_back(shown);
  texts.push_back(kDriveRemoved);
  fileNames = std::move(names);
  errorTexts = std::move(texts);
}

bool CEntryReader::CheckDrive(const std::string& targetFolder) {
  if (m_bDriveLost) return false;
  std::string root = targetFolder;
  if (root.back() != '/') root += '/';
  if (!m_drive.IsOpen()) {
    // Taken at the first entry; when it cannot be opened every entry gets its row.
    if (!m_drive.Open(root))
      m_nDriveError = errno;
    else
      CleanDrive();
    return true;
  }
  if (root != m_drive.Path() || !m_drive.StillMounted()) {
    m_bDriveLost = true;
    return false;
  }
  return true;
}

void CEntryReader::ReportDamage() {
  m_bDamaged = true;
  if (!m_bDamageShown) {
    m_bDamageShown = true;
    m_ui.ShowMessage(kErrorReading);
  }
}

void CEntryReader::DropTemp(int folderFd, const std::string& leaf, const std::string& path) {
  if (unlinkat(folderFd, leaf.c_str(), 0) == 0 || errno == ENOENT) return;
  const int error = errno;
  m_bLeftBehind = true;  // the journal stays, so the next restore removes it
  if (Gone()) return;
  const std::string left = FolderOf(path) + leaf;
  Later(left, fern::FormatFileError(error, left));
}

void CEntryReader::Later(const std::string& path, const std::string& text) {
  m_laterNames.push_back(path);
  m_laterTexts.push_back(text);
}

CEntryReader::VerifyResult CEntryReader::ReadDigests(CStreamFile& stream, char* buffer,
                                                     const std::function<bool()>& stopped) {
  VerifyResult result;
  for (;;) {
    if (stopped && stopped()) return result;
    if (result.digests.empty() && !stream.IsGzipStream()) break;
    fern::EntryHeader header;
    std::string stored;
    fern::HeaderResult read = fern::ReadEntryHeader(stream, header, stored);
    if (read == fern::HeaderResult::End) {
      result.state = SetState::Good;
      return result;
    }
    if (read == fern::HeaderResult::Damaged) break;
    uint32_t digest = StartDigest(header, stored);
    uint32_t done = 0;
    while (done < header.dataLength) {
      unsigned left = header.dataLength - done;
      unsigned chunk = left < fern::kCopyChunk ? left : fern::kCopyChunk;
      if (ReadChunk(stream, buffer, chunk) != chunk) break;
      digest = AddDigest(digest, buffer, chunk);
      done += chunk;
    }
    if (done != header.dataLength) break;
    result.digests.push_back(digest);
  }
  result.state = SetState::Damaged;
  return result;
}

void CEntryReader::ApplyVerify(VerifyResult& result) {
  m_digests = std::move(result.digests);
  if (result.state == SetState::Unverified) {
    m_bVerifyStopped = true;
    return;
  }
  m_state = result.state;
  if (m_state == SetState::Damaged && !m_bDamageShown) {
    m_bDamageShown = true;
    m_ui.ShowMessage(kErrorReading);
  }
  // New files put in place while the check ran: any not matched to a good set is named.
  for (const PlacedEarly& e : m_placedEarly) {
    const bool matches = m_state == SetState::Good && e.index < m_digests.size() && m_digests[e.index] == e.digest;
    if (m_state == SetState::Good && !matches) m_bDamaged = true;
    if (!matches) Later(e.path, kFromDamagedSet);
  }
  m_placedEarly.clear();
  // Files written before the result was known: one that matches a good set may replace its
  // earlier file; one the set does not hold as written (changed since, or past the point where
  // a damaged set stops) is dropped, as it would never have been written after a first pass.
  std::vector<Pending> keep;
  for (Pending& p : m_pending) {
    const bool held = p.index < m_digests.size();
    const bool matches = held && m_digests[p.index] == p.digest;
    if (m_state == SetState::Good && !matches) m_bDamaged = true;
    if (m_state == SetState::Good ? matches : held) {
      p.verified = m_state == SetState::Good;
      keep.push_back(std::move(p));
    } else if (!m_bDriveLost) {  // nothing is written on a drive that is gone
      DropTemp(p.folder->Get(), p.tempLeaf, p.path);
    }
  }
  m_pending = std::move(keep);
  if (m_bDamaged && !m_bDamageShown) {
    m_bDamageShown = true;
    m_ui.ShowMessage(kErrorReading);
  }
}

bool CEntryReader::VerifySet(CStreamFile& stream, const std::function<bool()>& stopped) {
  m_digests.clear();
  m_nEntry = 0;
  m_bEnded = false;
  m_bDamaged = false;
  VerifyResult result = ReadDigests(stream, m_pCopyBuffer, stopped);
  if (result.state == SetState::Unverified) return false;
  ApplyVerify(result);
  return m_state == SetState::Good;
}

bool CEntryReader::StartVerify(const std::string& setPath, std::function<bool()> stopped) {
  auto stream = std::make_unique<CCompressedFile>();
  if (!stream->Open(setPath.c_str(), 2)) return false;
  m_digests.clear();
  m_nEntry = 0;
  m_bEnded = false;
  m_bDamaged = false;
  m_bVerifyStopped = false;
  m_bVerifyLaunched = false;
  m_nPendingNew = 0;
  m_nPendingNewBytes = 0;
  m_state = SetState::Unverified;
  m_verifyStream = std::move(stream);
  m_verifyStopped = std::move(stopped);
  return true;
}

void CEntryReader::LaunchVerify() {
  if (!m_verifyStream || m_bVerifyLaunched) return;
  m_bVerifyLaunched = true;
  // Its own copy buffer: the caller's is in use by the restore at the same time.
  m_verifyBuffer.assign(fern::kCopyChunk, 0);
  auto run = [this] {
    m_verifyResult = ReadDigests(*m_verifyStream, m_verifyBuffer.data(), [this] {
      return m_bAbandon.load() || (m_verifyStopped && m_verifyStopped());
    });
  };
  try {
    m_verifier = std::thread(run);
  } catch (const std::system_error&) {
    run();  // no thread to be had: the pass runs now, as a plain VerifySet would
    JoinVerify();
  }
}

void CEntryReader::JoinVerify() {
  if (m_verifier.joinable()) m_verifier.join();
  if (!m_verifyStream) return;
  m_verifyStream.reset();
  m_verifyBuffer = std::vector<char>();
  if (m_bVerifyLaunched) {
    ApplyVerify(m_verifyResult);
  } else if (m_verifyStopped && m_verifyStopped()) {
    // Stopped before any file needed the pass: as for a stop seen by the pass.
    m_bVerifyStopped = true;
  }
  // Else no file replaced an earlier one: the restore's own reading of the set decides.
}

bool CEntryReader::OpenTarget(const std::string& targetFolder, const std::string& stored,
                              int64_t time, uint32_t size, std::string& name, Output& out,
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

  if (!m_drive.IsOpen()) {
    SetError(errorText, fern::FormatFileError(m_nDriveError, out.path));
    return false;
  }
  const int folderError = fern::CreateFolderChainBeneath(m_drive.Fd(), relative);
  std::string folder;
  fern::SplitRelative(relative, folder, out.leaf);
  auto known = m_folders.find(folder);
  if (known != m_folders.end()) {
    out.shared = known->second;
  } else {
    out.shared = std::make_shared<fern::CFolderFd>(fern::OpenFolderBeneath(m_drive.Fd(), folder));
    if (!out.shared->IsOpen()) {
      // A folder missing because the drive refused to make it: the refusal is the cause.
      SetError(errorText, fern::FormatFileError(errno == ENOENT && folderError != 0 ? folderError : errno, out.path));
      return false;
    }
    m_folders[folder] = out.shared;
  }
  const int folderFd = out.shared->Get();

  // Overwrite rules, on the status of whatever is at the target path (a link is not followed).
  struct stat st;
  bool exists = fstatat(folderFd, out.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
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
      if (m_nOverwriteAnswer == OverwriteAnswer::NoToAll) return false;
      if (m_nOverwriteAnswer != OverwriteAnswer::YesToAll) {
        m_nOverwriteAnswer = m_ui.AskOverwrite(out.path);
        if (m_nOverwriteAnswer != OverwriteAnswer::Yes && m_nOverwriteAnswer != OverwriteAnswer::YesToAll) return false;
      }
    }
  }
  out.replace = exists;
  // The same name twice in one set: the later copy replaces the earlier one still waiting.
  for (const Pending& p : m_pending)
    if (p.folder == out.shared && p.leaf == out.leaf) out.replace = true;
  // The checking pass is needed from the first file that would replace one; until then (and
  // onto an empty drive at all) the set is inflated once.
  if (out.replace) LaunchVerify();
  // Room for this file beside the earlier copies the batch still keeps? (Waits for a
  // verifying pass still running: its result decides what may be put in place.)
  if ((m_state != SetState::Unverified || m_verifyStream) && !m_pending.empty()) {
    const bool lowRoom = m_drive.FreeBytes() < size + kSpareBytes;
    if (lowRoom || (!m_verifyStream && m_nPendingBytes + size > kBatchBytes)) {
      CommitPending(false, lowRoom);
      if (m_bDriveLost || Beyond()) return false;
    }
  }
  if (m_state == SetState::Damaged && out.replace) {
    SetError(errorText, kNotReplaced);
    return false;
  }

  out.folderRel = folder;
  for (unsigned n = 0; n < 100; ++n) {
    if (!TakeTempName(folder, out.tempLeaf)) break;
    out.fd = openat(folderFd, out.tempLeaf.c_str(),
                    O_CREAT | O_EXCL | O_WRONLY | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (out.fd >= 0 || (errno != EEXIST && errno != EINTR)) break;
    // Another's file of that name: never to be removed as ours.
    if (errno == EEXIST && !m_journal.NotOurs(Relative(folder, out.tempLeaf))) break;
  }
  if (out.fd < 0) {
    SetError(errorText, fern::FormatFileError(errno, out.path));
    return false;
  }
  out.target = true;
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
    out.tempLeaf = CRestoreJournal::TempPrefix() + std::to_string(getpid()) + "-" + std::to_string(n);
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
  if (out.fd < 0) return;
  // A file extracted into a folder of the user's may take the name of one of theirs: its data is
  // on the medium first. (Scratch copies are only ever opened from the scratch folder.)
  if (complete && !out.failed && !m_strPickFolder.empty() && fdatasync(out.fd) != 0) {
    out.failed = true;
    SetError(errorText, fern::FormatFileError(errno, out.path));
  }
  if (close(out.fd) != 0 && !out.failed) {
    out.failed = true;
    SetError(errorText, fern::FormatFileError(errno, out.path));
  }
  out.fd = -1;
  bool good = complete && !out.failed;
  if (good && (out.noReplace ? fern::RenameNoReplace(out.folder.Get(), out.tempLeaf, out.leaf)
                             : renameat(out.folder.Get(), out.tempLeaf.c_str(), out.folder.Get(), out.leaf.c_str())) != 0) {
    good = false;
    SetError(errorText, errno == EEXIST ? std::string(kExists) : fern::FormatFileError(errno, out.path));
  }
  if (!good) unlinkat(out.folder.Get(), out.tempLeaf.c_str(), 0);
}

void CEntryReader::FinishTarget(Output& out, bool complete, bool digestOk, size_t index,
                                uint32_t digest, std::string* errorText) {
  if (out.fd < 0) return;
  const int folderFd = out.shared->Get();
  bool good = complete && digestOk && !out.failed && !Beyond();
  const bool syncEach = m_flush == Flush::PerFile || (m_flush == Flush::PerSet && m_drive.IsFuse());
  if (good && syncEach && fdatasync(out.fd) != 0) {
    good = false;
    SetError(errorText, fern::FormatFileError(errno, out.path));
  }
  if (close(out.fd) != 0 && good) {
    good = false;
    SetError(errorText, fern::FormatFileError(errno, out.path));
  }
  out.fd = -1;
  if (!good) {
    // The earlier file was never touched; the incomplete copy goes.
    DropTemp(folderFd, out.tempLeaf, out.path);
    return;
  }
  Pending p;
  p.folder = out.shared;
  p.folderRel = out.folderRel;
  p.tempLeaf = out.tempLeaf;
  p.leaf = out.leaf;
  p.path = out.path;
  p.replace = out.replace;
  p.verified = m_state == SetState::Good;
  p.index = index;
  p.digest = digest;
  p.bytes = out.bytes;
  if (!p.replace) {
    ++m_nPendingNew;
    m_nPendingNewBytes += out.bytes;
  }
  m_pending.push_back(std::move(p));
  m_nPendingBytes += out.bytes;
  if (m_verifyStream) {
    // While the set is being checked, new files go in place a batch at a time.
    if (m_nPendingNew >= kBatchFiles || m_nPendingNewBytes >= kBatchBytes || TooManyWaiting()) CommitPending(false);
  } else if (m_state != SetState::Unverified &&
             (m_flush != Flush::PerSet || m_pending.size() >= kBatchFiles || m_nPendingBytes >= kBatchBytes ||
              m_folders.size() >= m_nMaxFolders)) {
    CommitPending(false);
  }
}

bool CEntryReader::Place(Pending& p, const char* note) {
  const int folderFd = p.folder->Get();
  if (!p.replace) {
    // Nothing was there: never replace what may have appeared since.
    if (fern::RenameNoReplace(folderFd, p.tempLeaf, p.leaf) != 0) {
      int error = errno;
      // The file is there under its temporary name: "not found" can only mean the file system
      // refused the name itself (exfat-fuse answers ':' or '?' so).
      if (error == ENOENT) error = EINVAL;
      DropTemp(folderFd, p.tempLeaf, p.path);
      if (!Gone()) Later(p.path, fern::FormatFileError(error, p.path));
      return false;
    }
  } else if (renameat(folderFd, p.tempLeaf.c_str(), folderFd, p.leaf.c_str()) != 0) {
    // A file system that will not rename over a file: the earlier file steps aside under a
    // temporary name of its own, the new one takes its place, then the earlier one goes.
    int error = errno;
    std::string aside;
    int moved = -1;
    struct stat st;
    // Only the earlier file itself steps aside, never what took its place meanwhile.
    const bool plainFile = fstatat(folderFd, p.leaf.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode);
    for (unsigned n = 0; plainFile && n < 100 && moved != 0; ++n) {
      aside = TempName();
      // Listed with its real name before it moves: should the restore end here, the next one
      // puts it back (it may be the only copy).
      if (!m_journal.AddAside(Relative(p.folderRel, aside), Relative(p.folderRel, p.leaf))) {
        error = errno;
        break;
      }
      moved = fern::RenameNoReplace(folderFd, p.leaf, aside);
      if (moved != 0 && errno != EEXIST) break;
    }
    if (moved != 0) {
      DropTemp(folderFd, p.tempLeaf, p.path);
      if (!Gone()) Later(p.path, fern::FormatFileError(error, p.path));
      return false;
    }
    if (renameat(folderFd, p.tempLeaf.c_str(), folderFd, p.leaf.c_str()) != 0) {
      error = errno;
      DropTemp(folderFd, p.tempLeaf, p.path);
      if (Gone()) return false;
      std::string text = fern::FormatFileError(error, p.path);
      if (fern::RenameNoReplace(folderFd, aside, p.leaf) != 0) {
        m_bLeftBehind = true;  // the journal lists it: the next restore puts it back
        text += " The earlier file is now " + FolderOf(p.path) + aside;
      }
      Later(p.path, text);
      return false;
    }
    // The new file is in place; an earlier copy that cannot go is named, not left unseen.
    m_journal.Placed(Relative(p.folderRel, aside));  // lost, it only keeps the earlier copy
    DropTemp(folderFd, aside, p.path);
  }
  m_bPlaced = true;
  if (note != nullptr) Later(p.path, note);
  return true;
}

void CEntryReader::PlaceNewFilesEarly() {
  // Renames are writes: only on the drive the restore started on.
  if (!m_drive.StillMounted()) {
    m_bDriveLost = true;
    return;
  }
  // New files too have their data on the medium before they take their names: a power cut
  // must never leave a file under its real name without its bytes.
  const bool anyNew = std::any_of(m_pending.begin(), m_pending.end(), [](const Pending& p) { return !p.replace; });
  const bool synced = !anyNew || m_flush != Flush::PerSet || m_drive.Sync();
  const int syncError = errno;
  std::vector<Pending> keep;
  for (Pending& p : m_pending) {
    if (p.replace) {
      keep.push_back(std::move(p));
      continue;
    }
    m_nPendingBytes -= p.bytes;
    if (!synced) {
      DropTemp(p.folder->Get(), p.tempLeaf, p.path);
      if (!Gone()) Later(p.path, fern::FormatFileError(syncError, p.path));
    } else if (Place(p, nullptr)) {
      m_placedEarly.push_back({p.path, p.index, p.digest});
    }
  }
  m_pending = std::move(keep);
  m_nPendingNew = 0;
  m_nPendingNewBytes = 0;
  if (m_pending.empty()) {
    m_nPendingBytes = 0;
    m_folders.clear();
  }
}

bool CEntryReader::TooManyWaiting() const {
  return m_pending.size() >= kWaitFiles || m_folders.size() >= m_nMaxFolders;
}

void CEntryReader::CommitPending(bool final, bool forRoom) {
  // While the set is still being checked, files that replace nothing go in place at once: no
  // earlier copy rests on them, and should the check fail they are named like any file of a
  // damaged set. Only files that would replace one wait for the check, so a restore onto an
  // empty stick never waits for it, and one that replaces files waits only when the drive's
  // room or the waiting files' count asks for it.
  if (!final && m_verifyStream && !m_bDriveLost) {
    PlaceNewFilesEarly();
    if (m_pending.empty() || m_bDriveLost) return;
    if (!forRoom && !TooManyWaiting()) return;
  }
  JoinVerify();
  if (m_bDriveLost) return;
  if (final && !m_placedEarly.empty()) {
    // No pass read the set (nothing was replaced): new files put in place early are named
    // should the restore's own reading have met damage.
    if (m_bDamaged)
      for (const PlacedEarly& e : m_placedEarly) Later(e.path, kFromDamagedSet);
    m_placedEarly.clear();
  }
  if (m_bVerifyStopped) {
    // Stopped before the set was known to be good: nothing written so far is put in place.
    for (Pending& p : m_pending) DropTemp(p.folder->Get(), p.tempLeaf, p.path);
    m_pending.clear();
    m_nPendingBytes = 0;
    m_folders.clear();
    return;
  }
  if (m_pending.empty() || m_bDriveLost) return;
  const bool damaged = m_bDamaged || m_state == SetState::Damaged;
  const bool clean = m_bEnded && !damaged;
  std::vector<Pending> go, keep;
  for (Pending& p : m_pending) {
    // A file not yet matched to a good set waits until the set's end tells.
    if (p.verified || damaged || final)
      go.push_back(std::move(p));
    else
      keep.push_back(std::move(p));
  }
  m_pending = std::move(keep);
  if (m_pending.empty()) {
    m_nPendingBytes = 0;
    m_folders.clear();
  }
  if (go.empty()) return;
  // Renames are writes: only on the drive the restore started on.
  if (!m_drive.StillMounted()) {
    m_bDriveLost = true;
    return;
  }
  // The new data reaches the medium before any earlier copy is let go.
  if (m_flush == Flush::PerSet && !m_drive.Sync()) {
    int error = errno;
    for (Pending& p : go) {
      DropTemp(p.folder->Get(), p.tempLeaf, p.path);
      if (!Gone()) Later(p.path, fern::FormatFileError(error, p.path));
    }
    return;
  }
  for (Pending& p : go) {
    if (p.verified || clean) {
      Place(p, nullptr);
    } else if (!p.replace) {
      // Nothing is lost by a new file from a damaged set, but the user must know.
      Place(p, kFromDamagedSet);
    } else {
      DropTemp(p.folder->Get(), p.tempLeaf, p.path);
      Later(p.path, kNotReplaced);
    }
  }
}

void CEntryReader::FinishRestore(CStreamFile& stream, std::vector<std::string>& fileNames,
                                 std::vector<std::string>& errorTexts) {
  // Once the drive is gone, what the set holds no longer matters.
  if (m_bDriveLost) m_bAbandon.store(true);
  JoinVerify();
  if (!m_bDriveLost && !m_bVerifyStopped && m_state == SetState::Unverified && !m_bEnded && !m_bDamaged) {
    // Whether the files written so far may replace anything rests on the set's check.
    std::string name;
    uint32_t size = 0;
    int64_t time = 0;
    while (ExtractEntry(stream, name, size, time, std::string(), nullptr, nullptr)) {
    }
  }
  CommitPending(true);
  if (m_bPlaced && m_flush != Flush::None && !m_bDriveLost) {
    // The renames themselves reach the medium before the restore reports it is done.
    if (!m_drive.StillMounted())
      m_bDriveLost = true;
    else if (!m_drive.Sync() && !Gone())
      Later(m_drive.Path(), fern::FormatFileError(errno, m_drive.Path()));
  }
  m_bPlaced = false;
  // After the last flush: the journal goes only once what it lists is settled on the medium.
  EndJournal();
  fileNames.insert(fileNames.end(), m_laterNames.begin(), m_laterNames.end());
  errorTexts.insert(errorTexts.end(), m_laterTexts.begin(), m_laterTexts.end());
  m_laterNames.clear();
  m_laterTexts.clear();
  if (m_bDriveLost) NoteDriveRemoved(m_drive.Path(), fileNames, errorTexts);
}

bool CEntryReader::ExtractEntry(CStreamFile& stream, std::string& name, uint32_t& size,
                                int64_t& time, const std::string& targetFolder,
                                std::vector<std::string>* pickList, std::string* errorText) {
  name.clear();
  size = 0;
  if (errorText != nullptr) errorText->clear();
  if (!targetFolder.empty() && !CheckDrive(targetFolder)) return false;
  if (m_bDamaged) return false;
  // A damaged set is restored only as far as the verifying pass read it in full.
  if (m_state == SetState::Damaged && m_nEntry >= m_digests.size()) return false;

  // A file that is no gzip stream at all (an empty one too) would read as plain bytes: no set
  // is that, and nothing of it is written.
  if (m_nEntry == 0 && !stream.IsGzipStream()) {
    ReportDamage();
    CommitPending(true);
    return false;
  }

  fern::EntryHeader header;
  std::string stored;
  switch (fern::ReadEntryHeader(stream, header, stored)) {
    case fern::HeaderResult::End:
      JoinVerify();
      // A set that changed since the verifying pass is damage as well.
      if (m_state == SetState::Good && m_nEntry != m_digests.size())
        ReportDamage();
      else
        m_bEnded = true;
      CommitPending(true);
      return false;
    case fern::HeaderResult::Damaged:
      ReportDamage();
      CommitPending(true);
      return false;
    case fern::HeaderResult::Entry:
      break;
  }
  const size_t index = m_nEntry++;
  if (m_state == SetState::Good && index >= m_digests.size()) {
    ReportDamage();
    CommitPending(true);
    return false;
  }
  size = header.dataLength;
  time = header.time;
  uint32_t digest = StartDigest(header, stored);
  // The name is the text up to its first zero byte; one that went on past a zero is not what
  // the set meant, and is not written anywhere.
  const bool nameCut = stored.size() != header.nameLength;
  // From here on the name is UTF-8 whoever wrote the set: the file written, the scratch copy
  // and every caller's display take the same text.
  stored = fern::DecodeStoredName(stored);
  name = stored;

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
    OpenTarget(targetFolder, stored, time, size, name, out, errorText);
  } else if (picked) {
    OpenPicked(pickPath, out, errorText);
  }

  uint32_t done = 0;
  while (done < size) {
    unsigned chunk = size - done < fern::kCopyChunk ? size - done : fern::kCopyChunk;
    if (ReadChunk(stream, m_pCopyBuffer, chunk) != chunk) {
      ReportDamage();
      break;
    }
    done += chunk;
    digest = AddDigest(digest, m_pCopyBuffer, chunk);
    if (out.fd >= 0 && !out.failed && !fern::WriteAll(out.fd, m_pCopyBuffer, chunk)) {
      out.failed = true;
      SetError(errorText, fern::FormatFileError(errno, out.path));
    }
  }
  out.bytes = done;
  const bool result = done == size;
  const bool digestOk = m_state != SetState::Good || (result && digest == m_digests[index]);
  if (out.target)
    FinishTarget(out, result, digestOk, index, digest, errorText);
  else
    Finish(out, result, errorText);
  // A file that failed because the drive went is no fault of its own: the end of the restore
  // says what happened.
  if (wanted && errorText != nullptr && !errorText->empty() && Gone()) errorText->clear();
  if (Beyond()) {
    CommitPending(true);
    return false;
  }
  if (!result || !digestOk) {
    ReportDamage();
    CommitPending(true);
    return false;
  }
  return true;
}
