// A user interface for engine tests: records every call, answers questions from a script.
#pragma once

#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "engine/EngineUI.h"

class CRecordingUI : public IEngineUI {
 public:
  void SetStatusText(const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    statusTexts.push_back(text);
  }
  void SetInfoText(const std::string& text) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    infoTexts.push_back(text);
  }
  void SetProgressRange(unsigned short maximum) override { progressRange = maximum; }
  void StepProgress() override { ++progressSteps; }
  void ShowProgress(bool show) override { progressShown = show; }
  void AddSetRow(const std::string& date, const std::string& driveName, const std::string& setPath,
                 int image) override {
    rows.push_back({date, driveName, setPath, image});
  }
  void ShowErrorList(const std::vector<std::string>& fileNames,
                     const std::vector<std::string>& errorTexts) override {
    errorLists.push_back({fileNames, errorTexts});
  }
  OverwriteAnswer AskOverwrite(const std::string& path) override {
    overwriteQuestions.push_back(path);
    if (overwriteAnswers.empty()) return OverwriteAnswer::No;
    const auto answer = static_cast<OverwriteAnswer>(overwriteAnswers.front());
    overwriteAnswers.pop_front();
    return answer;
  }
  bool AskYesNo(const std::string& question) override {
    questions.push_back(question);
    if (yesNoAnswers.empty()) return false;
    bool answer = yesNoAnswers.front();
    yesNoAnswers.pop_front();
    return answer;
  }
  void ShowMessage(const std::string& text) override { messages.push_back(text); }
  void RefreshDriveInfo() override { ++driveInfoRefreshes; }

  std::string LastStatus() const { return statusTexts.empty() ? std::string() : statusTexts.back(); }

  struct Row {
    std::string date, driveName, setPath;
    int image;
  };
  struct ErrorList {
    std::vector<std::string> fileNames, errorTexts;
  };

  std::vector<std::string> statusTexts, infoTexts, questions, messages, overwriteQuestions;
  std::vector<Row> rows;
  std::vector<ErrorList> errorLists;
  std::deque<int> overwriteAnswers;   // scripted answers of the overwrite prompt, as its result codes
  std::deque<bool> yesNoAnswers;      // scripted answers of Yes/No questions
  unsigned short progressRange = 0;
  int progressSteps = 0;
  bool progressShown = false;
  int driveInfoRefreshes = 0;

 private:
  std::mutex m_mutex;
};
