// Follows the mount table and reports removable volumes arriving and leaving, each with the
// mask of the drive letters concerned (bit n is letter 'A' + n). Each mounted removable
// volume gets the lowest free letter from D, kept while it stays mounted. The volumes that
// one change of the table brings make one arrival notice, those it takes one removal notice,
// delivered removal first (a volume mounted again is a removal, then an arrival). Volumes
// already mounted at Start get no letter and are never reported, not even when they go: the
// program learns of a drive only when it is mounted while it runs; unless Start is asked to
// report them, as one arrival on the watcher's thread before any later change. When D to Z are
// all taken, a further volume gets no letter and is not reported.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace fern {

class CDriveWatcher {
 public:
  // event: DBT_DEVICEARRIVAL or DBT_DEVICEREMOVECOMPLETE. Called on the watcher's own thread.
  using Notice = std::function<void(int event, uint32_t unitMask)>;

  // mountInfoPath and sysfsRoot are "/proc/self/mountinfo" and "/sys" except in tests.
  explicit CDriveWatcher(Notice notice, std::string mountInfoPath = "/proc/self/mountinfo",
                         std::string sysfsRoot = "/sys");
  ~CDriveWatcher();  // stops the thread

  // Reads the table once (the mounts present at start are known but not reported, unless
  // reportPresent: then they arrive as if just mounted) and starts following it. False when the
  // mount table cannot be read.
  bool Start(bool reportPresent = false);
  void Stop();

  // The mount point (ending in '/') that holds a letter, "" when none. A removed volume's
  // letter is released only after its notice has been delivered.
  std::string RootOfLetter(char letter) const;

  // Re-reads the table now and delivers the notices for the changes (the thread calls it on
  // every POLLPRI; tests may call it directly). Notices are delivered on the calling thread,
  // with no lock held: a notice may call RootOfLetter, but neither Rescan, Stop nor the
  // destructor.
  void Rescan();

 private:
  struct Impl;
  std::unique_ptr<Impl> m_impl;
};

}  // namespace fern
