// Helpers of the main window's tests: a fresh current folder per test, answering the modal
// boxes the window asks, and waiting for the event loop.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAbstractButton>
#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTimer>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>

namespace apptest {

// Waits for a modal widget to come up, hands it to answer(), and records what it was.
struct ModalAnswer {
  QString text;        // a message box's text
  QString className;   // the modal widget's class
  bool seen = false;
};

// Answers the next modal window: a QMessageBox with the given button, any other dialog by
// closing it with reject(). Polls, so it also finds boxes opened by a worker's call. inspect,
// when given, sees the modal widget first.
inline std::shared_ptr<ModalAnswer> AnswerNextModal(
    QMessageBox::StandardButton button, std::function<void(QWidget*)> inspect = nullptr) {
  auto answer = std::make_shared<ModalAnswer>();
  auto poll = std::make_shared<std::function<void()>>();
  *poll = [answer, button, poll, inspect] {
    QWidget* modal = QApplication::activeModalWidget();
    if (modal == nullptr) {
      QTimer::singleShot(10, *poll);
      return;
    }
    answer->seen = true;
    answer->className = QString::fromLatin1(modal->metaObject()->className());
    if (inspect) inspect(modal);
    if (auto* box = qobject_cast<QMessageBox*>(modal)) {
      answer->text = box->text();
      if (QAbstractButton* b = box->button(button)) b->click();
      else box->reject();
    } else if (auto* dlg = qobject_cast<QDialog*>(modal)) {
      dlg->reject();
    }
    *poll = nullptr;  // break the cycle
  };
  QTimer::singleShot(10, *poll);
  return answer;
}

// Processes events until done() holds or the time is up; returns done().
inline bool WaitUntil(const std::function<bool()>& done, int timeoutMs = 10000) {
  QElapsedTimer timer;
  timer.start();
  while (!done() && timer.elapsed() < timeoutMs)
    QApplication::processEvents(QEventLoop::AllEvents, 20);
  return done();
}

inline void Pump(int ms) {
  QElapsedTimer timer;
  timer.start();
  while (timer.elapsed() < ms) QApplication::processEvents(QEventLoop::AllEvents, 10);
}

inline void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
}

// A fresh current folder and data folder for each test, so the backups folder is the test's own.
class CurrentFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fernapp-test-XXXXXX";
    const char* dir = ::mkdtemp(pattern);
    ASSERT_NE(dir, nullptr);
    m_folder = dir;
    char old[4096];
    ASSERT_NE(::getcwd(old, sizeof old), nullptr);
    m_oldFolder = old;
    ASSERT_EQ(::chdir(m_folder.c_str()), 0);
    const char* data = ::getenv("XDG_DATA_HOME");
    m_hadData = data != nullptr;
    if (m_hadData) m_oldData = data;
    ASSERT_EQ(::setenv("XDG_DATA_HOME", (m_folder + "/data").c_str(), 1), 0);
  }
  void TearDown() override {
    if (m_hadData) ::setenv("XDG_DATA_HOME", m_oldData.c_str(), 1);
    else ::unsetenv("XDG_DATA_HOME");
    if (!m_oldFolder.empty()) (void)::chdir(m_oldFolder.c_str());
    std::error_code ec;
    if (!m_folder.empty()) std::filesystem::remove_all(m_folder, ec);
  }
  std::string Backups() const { return m_folder + "/data/ferncastle/backups"; }

  std::string m_folder;
  std::string m_oldFolder;
  std::string m_oldData;
  bool m_hadData = false;
};

}  // namespace apptest
