#include "app/MainWindowUI.h"

#include <QProgressBar>

#include "app/DriveState.h"
#include "app/SetListView.h"
#include "app/StaticText.h"
#include "dialogs/GuiThread.h"
#include "engine/DriveInfo.h"
#include "platform/Volume.h"

CMainWindowUI::CMainWindowUI(QWidget* window, const CDriveState& drive)
    : CWidgetEngineUI(window), m_drive(drive) {}

void CMainWindowUI::Bind(CStaticText* status, CStaticText* driveInfo, QProgressBar* progress,
                         CSetListView* setList) {
  m_pStatus = status;
  m_pDriveInfo = driveInfo;
  m_progress = progress;
  m_setList = setList;
}

void CMainWindowUI::SetStatusText(const std::string& text) {
  fern::RunOnGuiThread([this, &text] { m_pStatus->setText(QString::fromStdString(text)); });
}

void CMainWindowUI::SetInfoText(const std::string& text) {
  fern::RunOnGuiThread([this, &text] { m_pDriveInfo->setText(QString::fromStdString(text)); });
}

void CMainWindowUI::SetProgressRange(unsigned short maximum) {
  fern::RunOnGuiThread([this, maximum] {
    // A range of 0..0 would make the bar an endless busy indicator.
    m_progress->setRange(0, maximum == 0 ? 1 : maximum);
    m_progress->setValue(0);
  });
}

void CMainWindowUI::StepProgress() {
  fern::RunOnGuiThread([this] {
    int next = m_progress->value() + 1;
    if (next > m_progress->maximum()) next = m_progress->minimum();  // the bar starts over
    m_progress->setValue(next);
  });
}

void CMainWindowUI::ShowProgress(bool show) {
  fern::RunOnGuiThread([this, show] { m_progress->setVisible(show); });
}

void CMainWindowUI::AddSetRow(const std::string& date, const std::string& driveName,
                              const std::string& setPath, int image) {
  fern::RunOnGuiThread([&] { m_setList->InsertRow(date, driveName, setPath, image); });
}

void CMainWindowUI::RefreshDriveInfo() {
  fern::RunOnGuiThread([this] {
    const std::string root = m_drive.Root();
    uint64_t total = 0, free = 0;
    if (root.empty() || !fern::GetDiskFreeSpace(root, total, free)) {
      m_pDriveInfo->setText(QStringLiteral("Plug in a USB Flash Drive"));
      return;
    }
    m_pDriveInfo->setText(QString::fromStdString(fern::DriveInfoText(total, free)));
  });
}
