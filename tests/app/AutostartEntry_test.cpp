// `fernapp --autostart on|off` against a scratch XDG_CONFIG_HOME: the entry written, valid for
// desktop-file-validate, started into the tray, and removed again.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QProcess>
#include <QStandardPaths>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "AppTestUtil.h"
#include "app/AutostartEntry.h"

using namespace apptest;

namespace {

std::string ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// The validator's complaints about a file ("" when it is accepted); skipped where it is missing.
bool Validate(const std::string& path, QString& complaints) {
  const QString tool = QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
  if (tool.isEmpty()) return false;
  QProcess p;
  p.setProcessChannelMode(QProcess::MergedChannels);
  p.start(tool, {QString::fromStdString(path)});
  p.waitForFinished(10000);
  complaints = QString::fromUtf8(p.readAll());
  if (p.exitCode() != 0 && complaints.isEmpty()) complaints = QStringLiteral("exit %1").arg(p.exitCode());
  return true;
}

TEST(AutostartEntry, ExecArgumentQuotesWhatTheSpecificationReserves) {
  EXPECT_EQ(fern::ExecArgument("/usr/bin/fernapp"), "/usr/bin/fernapp");
  EXPECT_EQ(fern::ExecArgument("/opt/My Apps/fernapp"), "\"/opt/My Apps/fernapp\"");
  // Inside the quotes $ and " are escaped with a backslash, which the value escapes again.
  EXPECT_EQ(fern::ExecArgument("/a$b/\"x\""), "\"/a\\\\$b/\\\\\"x\\\\\"\"");
  EXPECT_EQ(fern::ExecArgument("/100%/fernapp"), "/100%%/fernapp");
}

class AutostartCommandTest : public CurrentFolderTest {
 protected:
  void SetUp() override {
    CurrentFolderTest::SetUp();
    const char* config = ::getenv("XDG_CONFIG_HOME");
    m_oldConfig = config != nullptr ? config : "";
    m_config = m_folder + "/scratch config";
    ASSERT_EQ(::setenv("XDG_CONFIG_HOME", m_config.c_str(), 1), 0);
  }
  void TearDown() override {
    ::setenv("XDG_CONFIG_HOME", m_oldConfig.c_str(), 1);
    CurrentFolderTest::TearDown();
  }
  int Run(const char* value) {
    m_out.str("");
    m_err.str("");
    return fern::AutostartCommand(value, m_out, m_err);
  }
  std::string m_config, m_oldConfig;
  std::ostringstream m_out, m_err;
};

TEST_F(AutostartCommandTest, OnWritesAValidEntryOffRemovesIt) {
  const std::string entry = m_config + "/autostart/fernapp.desktop";
  EXPECT_EQ(fern::AutostartEntryPath(), entry);
  // The folders on the way are made.
  ASSERT_EQ(Run("on"), 0) << m_err.str();
  EXPECT_NE(m_out.str().find(entry), std::string::npos) << m_out.str();
  EXPECT_TRUE(m_err.str().empty());
  const std::string text = ReadAll(entry);
  char self[4096];
  const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
  ASSERT_GT(n, 0);
  EXPECT_EQ(text, fern::AutostartEntryText(std::string(self, static_cast<size_t>(n))));
  EXPECT_NE(text.find("\nExec=" + fern::ExecArgument(std::string(self, static_cast<size_t>(n))) + " --tray\n"),
            std::string::npos) << text;
  QString complaints;
  if (Validate(entry, complaints)) {
    EXPECT_TRUE(complaints.isEmpty()) << complaints.toStdString();
  }
  // An awkward program path is quoted so that the entry stays valid.
  WriteFile(m_folder + "/awkward.desktop", fern::AutostartEntryText("/opt/R&D $1/\"fern\" 100%/fernapp"));
  if (Validate(m_folder + "/awkward.desktop", complaints)) {
    EXPECT_TRUE(complaints.isEmpty()) << complaints.toStdString();
  }
  // On again just rewrites it; no temporary is left beside it.
  ASSERT_EQ(Run("on"), 0);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(m_config + "/autostart"), {}), 1);

  ASSERT_EQ(Run("off"), 0) << m_err.str();
  EXPECT_FALSE(std::filesystem::exists(entry));
  EXPECT_NE(m_out.str().find("off"), std::string::npos);
  // Off when it is off already is no error.
  EXPECT_EQ(Run("off"), 0);

  EXPECT_EQ(Run(nullptr), 2);
  EXPECT_EQ(Run("yes"), 2);
  EXPECT_EQ(m_err.str(), "usage: fernapp --autostart on|off\n");
}

TEST_F(AutostartCommandTest, UnwritableFolderFailsWithItsReason) {
  // A file where the folder should be: even root cannot write there.
  std::filesystem::create_directories(m_config);
  WriteFile(m_config + "/autostart", "not a folder");
  EXPECT_EQ(Run("on"), 1);
  EXPECT_TRUE(m_out.str().empty());
  EXPECT_EQ(m_err.str(), "fernapp: cannot write " + m_config + "/autostart/fernapp.desktop: Not a directory\n");
  EXPECT_EQ(Run("off"), 1);
  EXPECT_NE(m_err.str().find("cannot remove"), std::string::npos) << m_err.str();
}

}  // namespace
