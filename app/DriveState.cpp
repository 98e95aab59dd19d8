#include "app/DriveState.h"

#include "engine/DriveInfo.h"
#include "platform/DriveWatcher.h"
#include "platform/Volume.h"
#include "res/Resource.h"

CDriveState::CDriveState(QObject* parent) : QObject(parent) {
  m_rootOfLetter = [](char) { return std::string(); };
}

CDriveState::~CDriveState() { m_pWatcher.reset(); }

bool CDriveState::WatchDrives(bool announcePresent) {
  m_pWatcher = std::make_unique<fern::CDriveWatcher>([this](int event, uint32_t mask) {
    // From the watcher's thread to this one, in the order the notices came.
    QMetaObject::invokeMethod(this, [this, event, mask] { OnDeviceChange(event, mask); },
                              Qt::QueuedConnection);
  });
  if (!m_pWatcher->Start(announcePresent)) {
    m_pWatcher.reset();
    return false;
  }
  fern::CDriveWatcher* watcher = m_pWatcher.get();
  m_rootOfLetter = [watcher](char letter) { return watcher->RootOfLetter(letter); };
  return true;
}

void CDriveState::SetRootOfLetter(std::function<std::string(char)> rootOfLetter) {
  m_rootOfLetter = std::move(rootOfLetter);
}

std::string CDriveState::Root() const {
  std::lock_guard<std::mutex> lock(m_driveMutex);
  return m_strDriveRoot;
}

std::string CDriveState::Name() const {
  std::lock_guard<std::mutex> lock(m_driveMutex);
  return m_strDriveName;
}

char CDriveState::Letter() const {
  std::lock_guard<std::mutex> lock(m_driveMutex);
  return m_chDriveLetter;
}

CBackupDrive CDriveState::Snapshot() const {
  std::lock_guard<std::mutex> lock(m_driveMutex);
  CBackupDrive drive;
  drive.root = m_strDriveRoot;
  drive.letter = m_chDriveLetter != 0 ? m_chDriveLetter : 'E';
  drive.name = m_strDriveName;
  return drive;
}

void CDriveState::SetDrive(const std::string& root, char letter, const std::string& name) {
  std::lock_guard<std::mutex> lock(m_driveMutex);
  m_strDriveRoot = root;
  m_chDriveLetter = letter;
  m_strDriveName = name;
}

bool CDriveState::ForgetIfRoot(const std::string& root) {
  if (Root() != root) return false;
  SetDrive(std::string(), 0, std::string());
  return true;
}

bool CDriveState::OnDeviceChange(int event, uint32_t unitMask) {
  switch (event) {
    case DBT_DEVICEARRIVAL: {
      const char letter = fern::DriveLetterFromMask(unitMask);
      const std::string root = (letter >= 'A' && letter <= 'Z') ? m_rootOfLetter(letter) : std::string();
      std::string label;
      const bool attached = !root.empty() && fern::GetVolumeLabel(root, label);
      if (attached) {
        SetDrive(root, letter, label);
      } else {
        // The name and the letter stay; only the root goes.
        std::lock_guard<std::mutex> lock(m_driveMutex);
        m_strDriveRoot.clear();
      }
      emit Arrived(attached);
      return false;
    }
    case DBT_DEVICEREMOVECOMPLETE:
    case DBT_DEVICEQUERYREMOVE:
      // Linux asks no removal query; kept for a notifier that does.
      SetDrive(std::string(), 0, std::string());
      emit Removed(event == DBT_DEVICEQUERYREMOVE);
      return event == DBT_DEVICEQUERYREMOVE;
    default:
      emit Noticed();
      return false;
  }
}
