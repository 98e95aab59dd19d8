// The engine's user interface on the main window's controls: status line, drive information,
// progress bar and set list. Every call is carried to the GUI thread and waits there; questions,
// the error list and the overwrite prompt are the shared ones of CWidgetEngineUI.
#pragma once

#include "dialogs/WidgetEngineUI.h"

class CDriveState;
class CSetListView;
class CStaticText;
class QProgressBar;

class CMainWindowUI : public CWidgetEngineUI {
 public:
  // window: owns the questions; drive: whose figures RefreshDriveInfo shows.
  CMainWindowUI(QWidget* window, const CDriveState& drive);
  // The controls, once the window has made them.
  void Bind(CStaticText* status, CStaticText* driveInfo, QProgressBar* progress, CSetListView* setList);

  void SetStatusText(const std::string& text) override;
  void SetInfoText(const std::string& text) override;
  void SetProgressRange(unsigned short maximum) override;
  void StepProgress() override;
  void ShowProgress(bool show) override;
  void AddSetRow(const std::string& date, const std::string& driveName, const std::string& setPath,
                 int image) override;
  void RefreshDriveInfo() override;

 private:
  const CDriveState& m_drive;
  CStaticText* m_pStatus = nullptr;
  CStaticText* m_pDriveInfo = nullptr;
  QProgressBar* m_progress = nullptr;
  CSetListView* m_setList = nullptr;
};
