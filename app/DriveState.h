// The attached flash drive as the main window knows it: its mount point, volume label and drive
// letter, replaced whole under a small lock (run workers read them while the GUI thread changes
// them), and the drive notices that change them. No widgets: the window observes its signals.
#pragma once

#include <QObject>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/BackupRun.h"

namespace fern {
class CDriveWatcher;
}

class CDriveState : public QObject {
  Q_OBJECT
 public:
  explicit CDriveState(QObject* parent = nullptr);
  ~CDriveState() override;

  // Follows the mount table for flash drives; its notices reach OnDeviceChange on this
  // object's thread in the order they came. False (and no drive is ever noticed) without one.
  // announcePresent: the drives mounted already arrive first, as if just plugged in.
  bool WatchDrives(bool announcePresent = false);
  // The mount point of a drive letter; the drive watcher's once watching. Tests put their own.
  void SetRootOfLetter(std::function<std::string(char)> rootOfLetter);

  std::string Root() const;
  std::string Name() const;
  char Letter() const;
  // All three read at once, the letter 'E' when none was given.
  CBackupDrive Snapshot() const;

  // The device-change handler: DBT_DEVICEARRIVAL, DBT_DEVICEQUERYREMOVE (which Linux never
  // sends) or DBT_DEVICEREMOVECOMPLETE with the mask of the drive letters concerned. True only
  // for a removal query, which it grants.
  bool OnDeviceChange(int event, uint32_t unitMask);
  // Forgets the drive when it is still the one at root (a run saw it go before the watcher did).
  bool ForgetIfRoot(const std::string& root);

 signals:
  // After an arrival: attached when its mount point and label could be read (a failed arrival
  // forgets the root only).
  void Arrived(bool attached);
  // The drive is forgotten; queried: a removal query rather than the removal itself.
  void Removed(bool queried);
  // Any other notice.
  void Noticed();

 private:
  void SetDrive(const std::string& root, char letter, const std::string& name);

  mutable std::mutex m_driveMutex;
  std::string m_strDriveRoot;
  std::string m_strDriveName;
  char m_chDriveLetter = 0;
  std::function<std::string(char)> m_rootOfLetter;
  std::unique_ptr<fern::CDriveWatcher> m_pWatcher;
};
