#include "platform/FileFinder.h"

#include <fcntl.h>
#include <locale.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <map>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

namespace {

class FileFinderTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fern-finder-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_dir = pattern;
  }
  void TearDown() override {
    std::error_code ec;
    if (!m_dir.empty()) std::filesystem::remove_all(m_dir, ec);
  }
  void MakeFile(const std::string& name, size_t size, int64_t mtime = 0) {
    std::string path = m_dir + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    std::string data(size, 'd');
    ASSERT_EQ(write(fd, data.data(), data.size()), static_cast<ssize_t>(data.size()));
    if (mtime != 0) {
      struct timespec times[2] = {{mtime, 0}, {mtime, 0}};
      ASSERT_EQ(futimens(fd, times), 0);
    }
    ASSERT_EQ(close(fd), 0);
  }
  std::map<std::string, fern::CFindData> Find(const std::string& pattern) {
    std::vector<fern::CFindData> list;
    EXPECT_TRUE(fern::FindFiles(m_dir, pattern, list));
    std::map<std::string, fern::CFindData> byName;
    for (auto& d : list) byName[d.name] = d;
    EXPECT_EQ(byName.size(), list.size()) << "a name delivered twice";
    return byName;
  }

  std::string m_dir;
};

TEST_F(FileFinderTest, SetPatternsIgnoreCase) {
  MakeFile("X-1.FCI", 3);
  MakeFile("MYSTICK-951.fcf", 4);
  MakeFile("MYSTICK-987.fci", 5);
  MakeFile("MYSTICKER-1.fcf", 1);
  MakeFile("notes.txt", 1);
  MakeFile("fcf", 1);

  auto all = Find("*.fc*");
  EXPECT_EQ(all.size(), 4u);
  EXPECT_EQ(all.count("X-1.FCI"), 1u);
  EXPECT_EQ(all.count("MYSTICKER-1.fcf"), 1u);
  EXPECT_EQ(all.count("MYSTICK-951.fcf"), 1u);
  EXPECT_EQ(all.count("MYSTICK-987.fci"), 1u);

  auto full = Find("mystick-*.fcf");
  ASSERT_EQ(full.size(), 1u);
  EXPECT_EQ(full.begin()->first, "MYSTICK-951.fcf");
  auto quick = Find("x-*.fci");
  ASSERT_EQ(quick.size(), 1u);
  EXPECT_EQ(quick.begin()->first, "X-1.FCI");

  EXPECT_TRUE(fern::MatchesPattern("x-1.fci", "X-?.FCI"));
  EXPECT_FALSE(fern::MatchesPattern("x-12.fci", "X-?.FCI"));

  // The window program runs under the user's locale (Qt sets it): the answers must not change
  // with it, also for a label in a single-byte code page that is not valid UTF-8.
  const std::string before = setlocale(LC_ALL, nullptr);
  for (const char* locale : {"C", "C.UTF-8", "tr_TR.UTF-8", "tr_TR.ISO-8859-9"}) {
    if (setlocale(LC_ALL, locale) == nullptr) continue;  // not installed here
    SCOPED_TRACE(locale);
    EXPECT_TRUE(fern::MatchesPattern("X-1.FCI", "x-*.fci"));
    EXPECT_TRUE(fern::MatchesPattern("MISC-1.fci", "misc-*.FCI"));
    EXPECT_TRUE(fern::MatchesPattern("CAF\xc9-7.FCF", "*.fc*"));
    EXPECT_TRUE(fern::MatchesPattern("CAF\xc9-7.FCF", "caf\xc9-*.fcf"));
    EXPECT_FALSE(fern::MatchesPattern("X-1.FCI.txt", "*.fci"));
  }
  setlocale(LC_ALL, before.c_str());
}

TEST_F(FileFinderTest, LabelCharactersAreNotWildcards) {
  MakeFile("A[1]-5.fcf", 1);
  MakeFile("A1-5.fcf", 1);
  MakeFile("B\\-5.fcf", 1);
  auto found = Find("A[1]-*.fcf");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->first, "A[1]-5.fcf");
  found = Find("B\\-*.fcf");
  ASSERT_EQ(found.size(), 1u);
  EXPECT_EQ(found.begin()->first, "B\\-5.fcf");
}

TEST_F(FileFinderTest, StarDotStarFindsEverythingWithItsKind) {
  MakeFile("noext", 7, 1134052200);
  MakeFile("a.b.c", 0);
  ASSERT_EQ(mkdir((m_dir + "/sub").c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub", (m_dir + "/tosub").c_str()), 0);
  ASSERT_EQ(symlink("missing", (m_dir + "/dangling").c_str()), 0);

  auto all = Find("*.*");
  EXPECT_EQ(all.size(), 7u);
  for (const char* name : {".", "..", "noext", "a.b.c", "sub", "tosub", "dangling"})
    EXPECT_EQ(all.count(name), 1u) << name;

  EXPECT_TRUE(all["."].isDir);
  EXPECT_TRUE(all[".."].isDir);
  EXPECT_TRUE(all["sub"].isDir);
  EXPECT_FALSE(all["sub"].isLink);

  const fern::CFindData& link = all["tosub"];
  EXPECT_TRUE(link.isLink);
  EXPECT_FALSE(link.isDir) << "a link to a folder is not a folder to walk into";
  EXPECT_FALSE(link.isRegular);
  EXPECT_TRUE(all["dangling"].isLink);

  const fern::CFindData& file = all["noext"];
  EXPECT_TRUE(file.isRegular);
  EXPECT_FALSE(file.isDir);
  EXPECT_EQ(file.size, 7u);
  EXPECT_EQ(file.mtime, 1134052200);
  EXPECT_EQ(file.fullPath, m_dir + "/noext");
  EXPECT_EQ(file.mode & 0777, 0644u);

  auto star = Find("*");
  EXPECT_EQ(star.size(), all.size());
}

TEST_F(FileFinderTest, UnreadableFolderFails) {
  std::vector<fern::CFindData> list(3);
  EXPECT_FALSE(fern::FindFiles(m_dir + "/missing", "*", list));
  EXPECT_TRUE(list.empty());
  MakeFile("plain", 1);
  EXPECT_FALSE(fern::FindFiles(m_dir + "/plain", "*", list));
}

TEST_F(FileFinderTest, EntriesThatCannotBeExaminedAreTold) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user (root itself examines anything)";
  MakeFile("one", 1);
  MakeFile("two", 2);
  ASSERT_EQ(mkdir((m_dir + "/sub").c_str(), 0755), 0);
  // Others may read the names but not reach the entries.
  ASSERT_EQ(chmod(m_dir.c_str(), 0744), 0);
  std::vector<fern::CFindData> list;
  std::vector<fern::CFindProblem> problems{{"left over", 1}};
  ASSERT_EQ(seteuid(65534), 0);
  const bool found = fern::FindFiles(m_dir, "*.*", list, &problems);
  ASSERT_EQ(seteuid(0), 0);
  chmod(m_dir.c_str(), 0755);
  EXPECT_TRUE(found);
  EXPECT_TRUE(list.empty());
  // Each name once ("." and ".." stand for no file), with the reason.
  std::vector<std::string> paths;
  for (const auto& p : problems) {
    paths.push_back(p.fullPath);
    EXPECT_EQ(p.error, EACCES) << p.fullPath;
  }
  std::sort(paths.begin(), paths.end());
  EXPECT_EQ(paths, (std::vector<std::string>{m_dir + "/one", m_dir + "/sub", m_dir + "/two"}));

  // As the owner, nothing to tell: the list is cleared of the earlier problems.
  ASSERT_TRUE(fern::FindFiles(m_dir, "*.*", list, &problems));
  EXPECT_TRUE(problems.empty());
  EXPECT_EQ(list.size(), 5u);
}

// Each entry is examined once, by the listing: its status there is the whole of what a walk
// needs (type, device and inode, size, modification time to the nanosecond). The subfolders
// alone are the real folders, links and files passed over.
TEST_F(FileFinderTest, StatusIsTheListingsAndSubfoldersAreTheRealFolders) {
  MakeFile("a.txt", 5);
  const struct timespec times[2] = {{1134052200, 123456789}, {1134052200, 987654321}};
  ASSERT_EQ(utimensat(AT_FDCWD, (m_dir + "/a.txt").c_str(), times, 0), 0);
  MakeFile("b", 0);
  for (const char* sub : {"sub", "sub2", "sub2/deeper"}) ASSERT_EQ(mkdir((m_dir + "/" + sub).c_str(), 0755), 0);
  ASSERT_EQ(symlink("sub", (m_dir + "/tosub").c_str()), 0);
  ASSERT_EQ(mkfifo((m_dir + "/pipe").c_str(), 0600), 0);

  auto all = Find("*.*");
  for (const char* name : {"a.txt", "b", "sub", "tosub", "pipe"}) {
    ASSERT_EQ(all.count(name), 1u) << name;
    struct stat want;
    ASSERT_EQ(lstat((m_dir + "/" + name).c_str(), &want), 0) << name;
    const struct stat got = all[name].Status();
    EXPECT_EQ(got.st_dev, want.st_dev) << name;
    EXPECT_EQ(got.st_ino, want.st_ino) << name;
    EXPECT_EQ(got.st_mode, want.st_mode) << name;
    EXPECT_EQ(got.st_size, want.st_size) << name;
    EXPECT_EQ(got.st_mtim.tv_sec, want.st_mtim.tv_sec) << name;
    EXPECT_EQ(got.st_mtim.tv_nsec, want.st_mtim.tv_nsec) << name;
  }
  EXPECT_EQ(all["a.txt"].Status().st_mtim.tv_nsec, 987654321);

  std::vector<fern::CFindData> subs{fern::CFindData()};
  ASSERT_TRUE(fern::FindSubfolders(m_dir, subs));
  std::map<std::string, fern::CFindData> byName;
  for (const auto& d : subs) byName[d.name] = d;
  ASSERT_EQ(byName.size(), 2u) << "only sub and sub2, each once";
  for (const char* name : {"sub", "sub2"}) {
    ASSERT_EQ(byName.count(name), 1u) << name;
    const fern::CFindData& d = byName[name];
    EXPECT_TRUE(d.isDir);
    EXPECT_EQ(d.fullPath, m_dir + "/" + name);
    struct stat want;
    ASSERT_EQ(lstat(d.fullPath.c_str(), &want), 0);
    EXPECT_EQ(d.dev, want.st_dev);
    EXPECT_EQ(d.ino, want.st_ino);
  }
  ASSERT_TRUE(fern::FindSubfolders(m_dir + "/sub", subs));
  EXPECT_TRUE(subs.empty());
  subs.resize(2);
  EXPECT_FALSE(fern::FindSubfolders(m_dir + "/missing", subs));
  EXPECT_TRUE(subs.empty());
  EXPECT_FALSE(fern::FindSubfolders(m_dir + "/a.txt", subs));
}

}  // namespace
