#include "platform/DriveWatcher.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "platform/MountTable.h"
#include "res/Resource.h"

namespace fern {

namespace {

constexpr int kFirstLetter = 3;  // 'D'
constexpr int kLetterCount = 26;

using MountKey = std::pair<int, std::string>;
MountKey KeyOf(const CMountEntry& entry) { return {entry.mountId, entry.mountPoint}; }

#ifndef STATX_MNT_ID_UNIQUE
#define STATX_MNT_ID_UNIQUE 0x4000U
#endif

// The kernel reuses the lowest free mount id at once, so a volume unmounted and mounted again
// at the same point between two readings can look unchanged in the table. Kernels from 6.8 on
// give every mount an id never reused; 0 where that is not available or the mount point is now
// covered by another mount. The attributes are not refreshed from the file system, so a stalled
// FUSE daemon cannot block the watcher.
uint64_t UniqueMountId(const CMountEntry& entry) {
  const int flags = AT_NO_AUTOMOUNT | AT_SYMLINK_NOFOLLOW | AT_STATX_DONT_SYNC;
  struct statx sx;
  if (statx(AT_FDCWD, entry.mountPoint.c_str(), flags, STATX_MNT_ID, &sx) != 0) return 0;
  if ((sx.stx_mask & STATX_MNT_ID) == 0 || sx.stx_mnt_id != static_cast<uint64_t>(entry.mountId))
    return 0;
  if (statx(AT_FDCWD, entry.mountPoint.c_str(), flags, STATX_MNT_ID_UNIQUE, &sx) != 0) return 0;
  if ((sx.stx_mask & STATX_MNT_ID_UNIQUE) == 0) return 0;
  return sx.stx_mnt_id;
}

}  // namespace

struct CDriveWatcher::Impl {
  Notice notice;
  std::string mountInfoPath;
  std::string sysfsRoot;

  std::mutex scanMutex;  // one rescan at a time: the thread's or a caller's
  std::vector<CMountEntry> table;  // the last reading (guarded by scanMutex)

  mutable std::mutex letterMutex;  // guards the two below; RootOfLetter runs on any thread
  std::array<std::string, kLetterCount> rootOfLetter;  // mount point + '/', "" when free
  std::map<MountKey, int> letterOfMount;
  std::map<MountKey, uint64_t> uniqueIdOfMount;  // guarded by scanMutex; 0 when unknown

  int mountInfoFd = -1;
  int stopFd = -1;
  std::thread thread;
  std::atomic<bool> started{false};
  bool reportPresent = false;  // the thread's first rescan reports the removable mounts of Start

  void Run();
  void Rescan();
  void CloseFds() {
    if (mountInfoFd >= 0) close(mountInfoFd);
    if (stopFd >= 0) close(stopFd);
    mountInfoFd = stopFd = -1;
  }
};

CDriveWatcher::CDriveWatcher(Notice notice, std::string mountInfoPath, std::string sysfsRoot)
    : m_impl(std::make_unique<Impl>()) {
  m_impl->notice = std::move(notice);
  m_impl->mountInfoPath = std::move(mountInfoPath);
  m_impl->sysfsRoot = std::move(sysfsRoot);
}

CDriveWatcher::~CDriveWatcher() { Stop(); }

bool CDriveWatcher::Start(bool reportPresent) {
  Impl& d = *m_impl;
  if (d.started) return true;
  // Open the file to poll before the first reading, so that no change between the two is lost.
  d.mountInfoFd = open(d.mountInfoPath.c_str(), O_RDONLY | O_CLOEXEC);
  if (d.mountInfoFd < 0) return false;
  d.stopFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (d.stopFd < 0) {
    d.CloseFds();
    return false;
  }
  std::string text;
  if (!ReadWholeFile(d.mountInfoPath, text)) {
    d.CloseFds();
    return false;
  }
  {
    std::lock_guard<std::mutex> scan(d.scanMutex);
    // Reported: compared with an empty table, every removable mount of this reading arrives.
    d.table = reportPresent ? std::vector<CMountEntry>() : ParseMountInfo(text);
    d.reportPresent = reportPresent;
    std::lock_guard<std::mutex> letters(d.letterMutex);
    d.rootOfLetter.fill(std::string());
    d.letterOfMount.clear();
    d.uniqueIdOfMount.clear();
  }
  try {
    d.thread = std::thread([this] { m_impl->Run(); });
  } catch (const std::system_error&) {
    d.CloseFds();
    return false;
  }
  d.started = true;
  return true;
}

void CDriveWatcher::Stop() {
  Impl& d = *m_impl;
  if (!d.started) return;
  uint64_t one = 1;
  // Adding 1 to a fresh eventfd cannot overflow it; only a signal can interrupt the write.
  while (write(d.stopFd, &one, sizeof one) < 0 && errno == EINTR) {
  }
  if (d.thread.joinable()) d.thread.join();
  d.CloseFds();
  d.started = false;
}

void CDriveWatcher::Impl::Run() {
  // A mount between Start's reading and this one arrives here too; none is lost or repeated.
  if (reportPresent) Rescan();
  for (;;) {
    struct pollfd fds[2];
    fds[0].fd = mountInfoFd;
    fds[0].events = POLLPRI;
    fds[0].revents = 0;
    fds[1].fd = stopFd;
    fds[1].events = POLLIN;
    fds[1].revents = 0;
    int ready = poll(fds, 2, -1);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return;  // nothing sensible left to wait on
    }
    if (fds[1].revents != 0) return;
    // The kernel signals a changed mount table with POLLPRI and POLLERR.
    if (fds[0].revents & (POLLPRI | POLLERR)) {
      Rescan();
    } else if (fds[0].revents != 0) {
      return;  // POLLHUP or POLLNVAL would wake the poll forever
    }
  }
}

void CDriveWatcher::Impl::Rescan() {
  std::lock_guard<std::mutex> scan(scanMutex);
  std::string text;
  if (!ReadWholeFile(mountInfoPath, text)) return;  // keep the last table; try at the next change
  std::vector<CMountEntry> current = ParseMountInfo(text);

  // A removed volume is recognised by its letter: its device may already be gone from sysfs.
  std::map<MountKey, int> lettered;
  {
    std::lock_guard<std::mutex> letters(letterMutex);
    lettered = letterOfMount;
  }
  CMountChange change = DiffMounts(table, current, [&](const CMountEntry& entry) {
    return lettered.count(KeyOf(entry)) != 0 || IsRemovableMount(entry, sysfsRoot);
  });
  // A lettered volume whose mount id came back for another mount at the same point.
  for (const CMountEntry& entry : current) {
    auto known = uniqueIdOfMount.find(KeyOf(entry));
    if (known == uniqueIdOfMount.end() || known->second == 0) continue;
    uint64_t now = UniqueMountId(entry);
    if (now == 0 || now == known->second) continue;
    change.removed.push_back(entry);
    change.arrived.push_back(entry);
  }

  uint32_t removedMask = 0;
  std::vector<MountKey> removedKeys;
  for (const CMountEntry& entry : change.removed) {
    auto it = lettered.find(KeyOf(entry));
    if (it == lettered.end()) continue;  // mounted before the start: never reported
    removedMask |= 1u << it->second;
    removedKeys.push_back(it->first);
  }
  // Removal first: a volume mounted again must not be forgotten by its own removal notice.
  if (removedMask != 0 && notice) notice(DBT_DEVICEREMOVECOMPLETE, removedMask);

  std::vector<uint64_t> arrivedIds;
  for (const CMountEntry& entry : change.arrived) arrivedIds.push_back(UniqueMountId(entry));

  uint32_t arrivedMask = 0;
  {
    std::lock_guard<std::mutex> letters(letterMutex);
    // The removed letters are free again only now that their notice has been delivered.
    for (const MountKey& key : removedKeys) {
      auto it = letterOfMount.find(key);
      if (it == letterOfMount.end()) continue;
      rootOfLetter[static_cast<size_t>(it->second)].clear();
      letterOfMount.erase(it);
      uniqueIdOfMount.erase(key);
    }
    for (size_t i = 0; i < change.arrived.size(); ++i) {
      const CMountEntry& entry = change.arrived[i];
      int letter = kFirstLetter;
      while (letter < kLetterCount && !rootOfLetter[static_cast<size_t>(letter)].empty()) ++letter;
      if (letter == kLetterCount) continue;  // D to Z all taken
      rootOfLetter[static_cast<size_t>(letter)] = entry.mountPoint + "/";
      letterOfMount[KeyOf(entry)] = letter;
      uniqueIdOfMount[KeyOf(entry)] = arrivedIds[i];
      arrivedMask |= 1u << letter;
    }
  }
  table = std::move(current);
  if (arrivedMask != 0 && notice) notice(DBT_DEVICEARRIVAL, arrivedMask);
}

void CDriveWatcher::Rescan() {
  // Before Start there is no first reading to compare with.
  if (!m_impl->started) return;
  m_impl->Rescan();
}

std::string CDriveWatcher::RootOfLetter(char letter) const {
  int index = letter - 'A';
  if (index < 0 || index >= kLetterCount) return std::string();
  std::lock_guard<std::mutex> letters(m_impl->letterMutex);
  return m_impl->rootOfLetter[static_cast<size_t>(index)];
}

}  // namespace fern
