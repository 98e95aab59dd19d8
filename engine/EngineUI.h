// What the engine needs from a user interface. The main dialog, the viewer, fernset and the
// tests' recording fakes implement it. The engine calls it from its worker thread; an
// implementation on widgets carries each call to the GUI thread and waits for it, so a call
// returns only once it is done (a question returns the user's answer).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

// The answer to the overwrite prompt, remembered across the entries of one set. The values are
// the prompt's own result codes.
enum class OverwriteAnswer { None = -1, No = 0, NoToAll = 1, Yes = 2, YesToAll = 3 };

class IEngineUI {
 public:
  virtual ~IEngineUI() = default;

  // Status line ("Backing up...", "Done!", "No file changes", "Restoring...").
  virtual void SetStatusText(const std::string& text) = 0;
  // Info line: the target path of each restored entry.
  virtual void SetInfoText(const std::string& text) { (void)text; }

  // Progress of a backup: the range 0..maximum (16 bits wide), one step per folder.
  virtual void SetProgressRange(unsigned short maximum) { (void)maximum; }
  virtual void StepProgress() {}
  virtual void ShowProgress(bool show) { (void)show; }
  // File data backed up (read from the drive) or restored since the last call.
  virtual void AddBytesDone(uint64_t bytes) { (void)bytes; }

  // A new set row at the top of the set list (image 1 Full Backup, 2 Quick Backup).
  virtual void AddSetRow(const std::string& date, const std::string& driveName,
                         const std::string& setPath, int image) {
    (void)date, (void)driveName, (void)setPath, (void)image;
  }

  // The error list dialog, modal; returns when the user has closed it.
  virtual void ShowErrorList(const std::vector<std::string>& fileNames,
                             const std::vector<std::string>& errorTexts) = 0;

  // The overwrite prompt for an existing file newer than the entry (a prompt that cannot be
  // shown answers No).
  virtual OverwriteAnswer AskOverwrite(const std::string& path) = 0;

  // A question captioned "Ferncastle" with Yes and No; true only for Yes.
  virtual bool AskYesNo(const std::string& question) = 0;

  // A message with an OK button ("error reading").
  virtual void ShowMessage(const std::string& text) = 0;

  // The drive figures shown again after a restored set.
  virtual void RefreshDriveInfo() {}
};
