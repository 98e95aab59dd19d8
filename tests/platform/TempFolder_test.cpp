#include "platform/TempFolder.h"

#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace {

// Points TMPDIR at a folder of its own for the test and puts everything back afterwards.
class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    const char* old = getenv("TMPDIR");
    m_hadTmpdir = old != nullptr;
    if (m_hadTmpdir) m_oldTmpdir = old;
    char pattern[] = "/tmp/fern-tempfolder-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_base = pattern;
    setenv("TMPDIR", m_base.c_str(), 1);
    m_folder = m_base + "/fernapp-" + std::to_string(getuid());
  }
  void TearDown() override {
    if (m_hadTmpdir) setenv("TMPDIR", m_oldTmpdir.c_str(), 1); else unsetenv("TMPDIR");
    std::error_code ec;
    if (!m_base.empty()) std::filesystem::remove_all(m_base, ec);
  }

  std::string m_base;    // what TMPDIR names
  std::string m_folder;  // the per-user folder inside it

 private:
  bool m_hadTmpdir = false;
  std::string m_oldTmpdir;
};

TEST_F(TempFolderTest, CreatedPrivateAndReusedWithTheScratchFolderInside) {
  std::string path;
  ASSERT_TRUE(fern::GetTempPath(path));
  EXPECT_EQ(path, m_folder + "/");
  struct stat st;
  ASSERT_EQ(lstat(m_folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
  EXPECT_EQ(st.st_mode & 07777, 0700u);
  EXPECT_EQ(st.st_uid, getuid());

  std::string again;
  ASSERT_TRUE(fern::GetTempPath(again));
  EXPECT_EQ(again, path);
  EXPECT_EQ(fern::ScratchFolder(), m_folder + "/fernwork");
  EXPECT_EQ(fern::ScratchPath("plan.txt"), m_folder + "/fernwork/plan.txt");

  setenv("TMPDIR", (m_base + "/").c_str(), 1);
  ASSERT_TRUE(fern::GetTempPath(again));
  EXPECT_EQ(again, path) << "a trailing '/' in TMPDIR";
}

TEST_F(TempFolderTest, ReadableByOthersIsClosedWritableByOthersIsRefused) {
  ASSERT_EQ(mkdir(m_folder.c_str(), 0700), 0);
  ASSERT_EQ(chmod(m_folder.c_str(), 0755), 0);
  std::string path;
  ASSERT_TRUE(fern::GetTempPath(path));
  struct stat st;
  ASSERT_EQ(stat(m_folder.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0700u);

  ASSERT_EQ(chmod(m_folder.c_str(), 0777), 0);
  EXPECT_FALSE(fern::GetTempPath(path));
  EXPECT_EQ(path, "");
  EXPECT_EQ(fern::ScratchFolder(), "");
}

TEST_F(TempFolderTest, PlantedLinkOrFileIsRefused) {
  std::string elsewhere = m_base + "/elsewhere";
  ASSERT_EQ(mkdir(elsewhere.c_str(), 0700), 0);
  ASSERT_EQ(symlink(elsewhere.c_str(), m_folder.c_str()), 0);
  std::string path = "left over";
  EXPECT_FALSE(fern::GetTempPath(path));
  EXPECT_EQ(path, "");
  EXPECT_EQ(fern::ScratchFolder(), "");
  EXPECT_EQ(fern::ScratchPath("a.txt"), "");
  struct stat st;
  ASSERT_EQ(lstat(m_folder.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode)) << "the link is left alone";

  ASSERT_EQ(unlink(m_folder.c_str()), 0);
  FILE* f = fopen(m_folder.c_str(), "w");
  ASSERT_NE(f, nullptr);
  fclose(f);
  EXPECT_FALSE(fern::GetTempPath(path));
}

TEST_F(TempFolderTest, FolderOfAnotherUserIsRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "giving a folder to another user needs root";
  ASSERT_EQ(mkdir(m_folder.c_str(), 0700), 0);
  ASSERT_EQ(chown(m_folder.c_str(), 65534, 65534), 0);
  std::string path;
  EXPECT_FALSE(fern::GetTempPath(path));
  EXPECT_EQ(path, "");
}

TEST_F(TempFolderTest, MissingTmpdirFails) {
  setenv("TMPDIR", (m_base + "/not/there").c_str(), 1);
  std::string path;
  EXPECT_FALSE(fern::GetTempPath(path));
  EXPECT_EQ(path, "");
}

}  // namespace
