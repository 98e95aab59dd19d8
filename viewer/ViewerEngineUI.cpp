#include "viewer/ViewerEngineUI.h"

#include "dialogs/GuiThread.h"
#include "viewer/SetTreeLoader.h"
#include "viewer/ViewBackup.h"

void CViewerEngineUI::SetStatusText(const std::string& text) { m_view.SetStatusText(text); }

void CViewerEngineUI::ShowMessage(const std::string& text) {
  // Queued before the message, so the nodes read so far are in the tree when it shows.
  m_view.m_pLoader->HandOverEntries();
  CWidgetEngineUI::ShowMessage(text);
}
