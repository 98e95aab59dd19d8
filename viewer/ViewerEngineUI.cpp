#include "viewer/ViewerEngineUI.h"

#include "dialogs/GuiThread.h"
#include "viewer/ViewBackup.h"

void CViewerEngineUI::SetStatusText(const std::string& text) { m_view.SetStatusText(text); }

void CViewerEngineUI::ShowMessage(const std::string& text) {
  fern::RunOnGuiThread([this] { m_view.FlushPendingNodes(); });
  CWidgetEngineUI::ShowMessage(text);
}
