#include "platform/SafeOpen.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <string>

namespace {

class SafeOpenTest : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override {
    fern::UseSegmentWalkOnly(GetParam());
    char pattern[] = "/tmp/fern-safeopen-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    base = pattern;
    root = base + "/root";
    outside = base + "/outside";
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
    rootFd = fern::CFolderFd(fern::OpenRootFolder(root + "/"));
    ASSERT_TRUE(rootFd.IsOpen());
  }
  void TearDown() override {
    fern::UseSegmentWalkOnly(false);
    std::string command = "rm -rf '" + base + "'";
    if (system(command.c_str()) != 0) ADD_FAILURE() << "could not remove " << base;
  }
  bool IsFolder(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
  }

  std::string base, root, outside;
  fern::CFolderFd rootFd;
};

TEST_P(SafeOpenTest, CreatesFoldersAndFilesBelowTheRoot) {
  fern::CreateFolderChainBeneath(rootFd.Get(), "a/b/c/file.txt");
  EXPECT_TRUE(IsFolder(root + "/a/b/c"));
  EXPECT_FALSE(IsFolder(root + "/a/b/c/file.txt"));
  int fd = fern::OpenFileBeneath(rootFd.Get(), "a/b/c/file.txt", O_CREAT | O_WRONLY | O_TRUNC, 0666);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(write(fd, "x", 1), 1);
  EXPECT_EQ(close(fd), 0);
  struct stat st;
  EXPECT_EQ(stat((root + "/a/b/c/file.txt").c_str(), &st), 0);
  EXPECT_EQ(st.st_size, 1);

  fern::CFolderFd folder(fern::OpenFolderBeneath(rootFd.Get(), "a/b"));
  EXPECT_TRUE(folder.IsOpen());
  fern::CFolderFd same(fern::OpenFolderBeneath(rootFd.Get(), ""));
  EXPECT_TRUE(same.IsOpen());
}

TEST_P(SafeOpenTest, RefusesLinksAndEscapingSegments) {
  ASSERT_EQ(symlink(outside.c_str(), (root + "/link").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/f").c_str(), (root + "/flink").c_str()), 0);
  ASSERT_EQ(mkdir((root + "/real").c_str(), 0755), 0);

  errno = 0;
  EXPECT_LT(fern::OpenFolderBeneath(rootFd.Get(), "link"), 0);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_LT(fern::OpenFolderBeneath(rootFd.Get(), "real/../link"), 0);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_LT(fern::OpenFileBeneath(rootFd.Get(), "link/new.txt", O_CREAT | O_WRONLY, 0666), 0);
  EXPECT_EQ(errno, ELOOP);
  EXPECT_LT(fern::OpenFileBeneath(rootFd.Get(), "flink", O_CREAT | O_WRONLY, 0666), 0);
  EXPECT_EQ(errno, ELOOP);
  for (const char* bad : {"../x", "./x", "a//b", "/etc/passwd", "", "real/.."}) {
    errno = 0;
    EXPECT_LT(fern::OpenFileBeneath(rootFd.Get(), bad, O_CREAT | O_WRONLY, 0666), 0) << bad;
    EXPECT_EQ(errno, EINVAL) << bad;
  }
  fern::CreateFolderChainBeneath(rootFd.Get(), "link/sub/f.txt");
  fern::CreateFolderChainBeneath(rootFd.Get(), "../escape/f.txt");
  EXPECT_FALSE(IsFolder(outside + "/sub"));
  EXPECT_FALSE(IsFolder(base + "/escape"));
  struct stat st;
  EXPECT_NE(lstat((outside + "/f").c_str(), &st), 0);
  EXPECT_NE(lstat((outside + "/new.txt").c_str(), &st), 0);
}

TEST_P(SafeOpenTest, RenameNeverReplacesAFile) {
  int fd = fern::OpenFileBeneath(rootFd.Get(), "a", O_CREAT | O_WRONLY, 0666);
  ASSERT_GE(fd, 0);
  close(fd);
  fd = fern::OpenFileBeneath(rootFd.Get(), "b", O_CREAT | O_WRONLY, 0666);
  ASSERT_GE(fd, 0);
  close(fd);
  EXPECT_EQ(fern::RenameNoReplace(rootFd.Get(), "a", "b"), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(fern::RenameNoReplace(rootFd.Get(), "a", "c"), 0);
  EXPECT_EQ(fern::RenameNoReplace(rootFd.Get(), "c", "../c"), -1);
  EXPECT_EQ(errno, EINVAL);
  struct stat st;
  EXPECT_EQ(lstat((root + "/c").c_str(), &st), 0);
  EXPECT_NE(lstat((root + "/a").c_str(), &st), 0);
}

INSTANTIATE_TEST_SUITE_P(Openat2AndWalk, SafeOpenTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Walk" : "Openat2"; });

TEST(SafeOpenNames, PlainNamesAndSplitting) {
  EXPECT_TRUE(fern::IsPlainName("a.txt"));
  EXPECT_TRUE(fern::IsPlainName("..."));
  EXPECT_FALSE(fern::IsPlainName(""));
  EXPECT_FALSE(fern::IsPlainName("."));
  EXPECT_FALSE(fern::IsPlainName(".."));
  EXPECT_FALSE(fern::IsPlainName("a/b"));
  EXPECT_FALSE(fern::IsPlainName(std::string("a\0b", 3)));
  std::string folder, leaf;
  fern::SplitRelative("a/b/c.txt", folder, leaf);
  EXPECT_EQ(folder, "a/b");
  EXPECT_EQ(leaf, "c.txt");
  fern::SplitRelative("c.txt", folder, leaf);
  EXPECT_EQ(folder, "");
  EXPECT_EQ(leaf, "c.txt");
}

}  // namespace
