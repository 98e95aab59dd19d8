#include "platform/Volume.h"

#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/platform/DriveTestMount.h"

namespace fern {
namespace {

TEST(Volume, DecodesUdevNames) {
  EXPECT_EQ(DecodeUdevName("MY\\x20STICK"), "MY STICK");
  EXPECT_EQ(DecodeUdevName("a\\x2fb\\x5cc"), "a/b\\c");
  EXPECT_EQ(DecodeUdevName("plain"), "plain");
  EXPECT_EQ(DecodeUdevName("bad\\xZZ"), "bad\\xZZ");
  EXPECT_EQ(DecodeUdevName("short\\x2"), "short\\x2");
  EXPECT_EQ(DecodeUdevName("\\x41\\x42"), "AB");
}

TEST(Volume, FailsWhereTheRootCannotBeOpened) {
  std::string label = "old";
  uint64_t total = 1, free = 1;
  EXPECT_FALSE(GetVolumeLabel("/nonexistent-fern/", label));
  EXPECT_FALSE(GetVolumeLabel("", label));
  EXPECT_FALSE(GetVolumeLabel("/proc/self/status", label));  // not a folder
  EXPECT_FALSE(GetDiskFreeSpace("/nonexistent-fern/", total, free));
  EXPECT_FALSE(GetDiskFreeSpace("", total, free));
  // The root of a drive letter that names no drive.
  EXPECT_FALSE(GetVolumeLabel("[:\\", label));
}

class VolumeOnTmpfs : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    m_label = "FERNVOL" + std::to_string(getpid());
    std::string why;
    if (!m_mount.Mount("/media/" + m_label, "size=1m,mode=0755", why)) GTEST_SKIP() << why;
    char pattern[] = "/tmp/fernlabels-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_links = pattern;
  }
  void TearDown() override {
    if (!m_links.empty()) std::filesystem::remove_all(m_links);
  }

  CTestMount m_mount;
  std::string m_label;
  std::string m_links;
};

TEST_F(VolumeOnTmpfs, LabelFallsBackToLinksThenTheMountPoint) {
  // tmpfs has no label of its own and no by-label link: the mount point's last segment.
  std::string label;
  ASSERT_TRUE(GetVolumeLabel(m_mount.Point() + "/", label, m_links));
  EXPECT_EQ(label, m_label);
  ASSERT_TRUE(GetVolumeLabel(m_mount.Point(), label, m_links));
  EXPECT_EQ(label, m_label);

  // A by-label link whose target is a device node with the volume's device number.
  struct stat st;
  ASSERT_EQ(stat(m_mount.Point().c_str(), &st), 0);
  std::string nodes = m_links + "/nodes";
  ASSERT_EQ(mkdir(nodes.c_str(), 0755), 0);
  ASSERT_EQ(mknod((nodes + "/other").c_str(), S_IFBLK | 0600, makedev(major(st.st_dev), minor(st.st_dev) + 1)), 0);
  ASSERT_EQ(mknod((nodes + "/this").c_str(), S_IFBLK | 0600, st.st_dev), 0);
  ASSERT_TRUE(WriteTestFile(nodes + "/plain", "x"));
  std::string byLabel = m_links + "/by-label";
  ASSERT_EQ(mkdir(byLabel.c_str(), 0755), 0);
  ASSERT_EQ(symlink("../nodes/other", (byLabel + "/OTHER").c_str()), 0);
  ASSERT_EQ(symlink("../nodes/plain", (byLabel + "/PLAIN").c_str()), 0);
  ASSERT_EQ(symlink("../nodes/missing", (byLabel + "/DANGLING").c_str()), 0);
  ASSERT_EQ(symlink("../nodes/this", (byLabel + "/MY\\x20STICK").c_str()), 0);
  ASSERT_TRUE(GetVolumeLabel(m_mount.Point() + "/", label, byLabel));
  EXPECT_EQ(label, "MY STICK");

  // The default folder is the system's; without a link there, the mount point's name.
  ASSERT_TRUE(GetVolumeLabel(m_mount.Point() + "/", label));
  EXPECT_FALSE(label.empty());
}

TEST_F(VolumeOnTmpfs, SpaceFromStatvfs) {
  uint64_t total = 0, free = 0;
  ASSERT_TRUE(GetDiskFreeSpace(m_mount.Point() + "/", total, free));
  EXPECT_EQ(total, 1048576u);
  EXPECT_EQ(free, total);
  ASSERT_TRUE(WriteTestFile(m_mount.Point() + "/data", std::string(65536, 'x')));
  uint64_t total2 = 0, free2 = 0;
  ASSERT_TRUE(GetDiskFreeSpace(m_mount.Point() + "/", total2, free2));
  EXPECT_EQ(total2, total);
  EXPECT_EQ(free2, free - 65536);
}

}  // namespace
}  // namespace fern
