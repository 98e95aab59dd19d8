// The viewer's side of the engine interface: the status line 1003 of the viewer, and the
// shared prompts and messages of the widget user interface.
#pragma once

#include <string>

#include "dialogs/WidgetEngineUI.h"

class CViewBackup;

class CViewerEngineUI : public CWidgetEngineUI {
 public:
  explicit CViewerEngineUI(CViewBackup& view) : CWidgetEngineUI(nullptr), m_view(view) {}

  void SetStatusText(const std::string& text) override;
  // "error reading": the nodes read before the damage are shown first.
  void ShowMessage(const std::string& text) override;

 private:
  CViewBackup& m_view;
};
