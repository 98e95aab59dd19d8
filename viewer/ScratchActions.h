// Copy and Preview of the viewer: picked entries of the set extracted to scratch copies in the
// temporary folder, a copy put on the clipboard as a copied file, and a copy opened with the
// desktop's program for its type, or through the desktop's Open With chooser.
#pragma once

#include <atomic>
#include <string>
#include <vector>

class IEngineUI;
class QLabel;
class QWidget;

class CScratchActions {
 public:
  // status: the line that shows the extraction; owner: the parent of messages. Extraction ends
  // early once stop is set.
  CScratchActions(QWidget& owner, QLabel& status, IEngineUI& ui, const std::atomic<int>& stop);
  CScratchActions(const CScratchActions&) = delete;
  CScratchActions& operator=(const CScratchActions&) = delete;

  // Replaces each stored name of pickList by the path of its scratch copy. True when every
  // element was picked and its scratch copy written completely.
  bool ExtractToScratch(const std::string& setPath, std::vector<std::string>& pickList);
  // The file on the clipboard as a copied file (URI list, GNOME's copied files, plain text).
  static void PutOnClipboard(const std::string& path);
  // Opens the file with the program for its type, or the chooser; a message when neither can.
  void OpenScratchFile(const std::string& path);

  // Whether a label's last three characters, lower-cased, name a program (exe, bat, com):
  // programs are not opened.
  static bool IsProgramLabel(const std::string& label);
  // Message for a failure to open a file of that errno value; "Error opening!" for others.
  static std::string OpenErrorText(int error);

 private:
  static bool HasDefaultApplication(const std::string& path);
  static bool OpenWithChooser(const std::string& path);

  QWidget& m_owner;
  QLabel& m_status;
  IEngineUI& m_ui;
  const std::atomic<int>& m_bStop;
};
