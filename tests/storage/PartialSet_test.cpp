#include "storage/PartialSet.h"

#include <fcntl.h>
#include <fnmatch.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "storage/SetFormat.h"
#include "tests/storage/TempDir.h"

namespace {

struct UmaskGuard {
  mode_t old;
  explicit UmaskGuard(mode_t mask) : old(umask(mask)) {}
  ~UmaskGuard() { umask(old); }
};

TEST(PartialSet, PrivateLockedAndNeverASetName) {
  TempDir dir;
  UmaskGuard open(0);  // even a umask that takes nothing away
  std::string path;
  int fd = fern::CreatePartialSet(dir.path(), path);
  ASSERT_GE(fd, 0);
  struct stat st;
  ASSERT_EQ(stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  EXPECT_EQ(path.rfind(dir.path() + "/" + fern::PartialSetPrefix(), 0), 0u) << path;

  // Whatever the label, the set list's pattern and the schedule's do not find it.
  const std::string name = fern::BareFileName(path);
  EXPECT_NE(fnmatch(fern::AllSetsPattern(), name.c_str(), FNM_CASEFOLD), 0) << name;
  EXPECT_NE(fnmatch(fern::FullSetsPattern("").c_str(), name.c_str(), FNM_CASEFOLD), 0) << name;

  // A run in progress (its lock held) keeps its file when another run starts.
  EXPECT_EQ(fern::RemoveLeftoverPartialSets(dir.path()), 0u);
  EXPECT_EQ(access(path.c_str(), F_OK), 0);
  close(fd);
  // Once its writer is gone (killed, crashed), it is a leftover.
  EXPECT_EQ(fern::RemoveLeftoverPartialSets(dir.path()), 1u);
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

TEST(PartialSet, CleanUpTouchesNothingElse) {
  TempDir dir;
  const std::string prefix = dir.File(fern::PartialSetPrefix());
  {
    std::ofstream(dir.File("STICK-1.fcf")) << "a set";
    std::ofstream(dir.File("notes.txt")) << "mine";
    std::ofstream(prefix + "old1") << "left over";
    std::ofstream(prefix + "old2") << "left over";
  }
  std::ofstream(dir.File("target")) << "not a leftover";
  ASSERT_EQ(symlink(dir.File("target").c_str(), (prefix + "link").c_str()), 0);
  ASSERT_EQ(mkdir((prefix + "folder").c_str(), 0700), 0);

  EXPECT_EQ(fern::RemoveLeftoverPartialSets(dir.path()), 2u);
  EXPECT_EQ(access(dir.File("STICK-1.fcf").c_str(), F_OK), 0);
  EXPECT_EQ(access(dir.File("notes.txt").c_str(), F_OK), 0);
  EXPECT_EQ(ReadFileBytes(dir.File("target")), "not a leftover");
  struct stat st;
  EXPECT_EQ(lstat((prefix + "link").c_str(), &st), 0);
  EXPECT_EQ(lstat((prefix + "folder").c_str(), &st), 0);
  EXPECT_NE(access((prefix + "old1").c_str(), F_OK), 0);
  EXPECT_EQ(fern::RemoveLeftoverPartialSets(dir.File("missing")), 0u);
}

TEST(PartialSet, AnotherProcessWritingKeepsItsFile) {
  TempDir dir;
  int ready[2], done[2];
  ASSERT_EQ(pipe(ready), 0);
  ASSERT_EQ(pipe(done), 0);
  fflush(stdout);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // A run in another process: its set is being written until the parent says stop.
    std::string path;
    int fd = fern::CreatePartialSet(dir.path(), path);
    char c = fd >= 0 ? 'y' : 'n';
    if (write(ready[1], &c, 1) != 1) _exit(1);
    if (read(done[0], &c, 1) != 1) _exit(1);
    _exit(0);  // killed or crashed: the lock goes with the process, the file stays
  }
  char c = 0;
  ASSERT_EQ(read(ready[0], &c, 1), 1);
  ASSERT_EQ(c, 'y');
  EXPECT_EQ(fern::RemoveLeftoverPartialSets(dir.path()), 0u);
  ASSERT_EQ(write(done[1], "x", 1), 1);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  EXPECT_EQ(fern::RemoveLeftoverPartialSets(dir.path()), 1u);
  for (int fd : {ready[0], ready[1], done[0], done[1]}) close(fd);
}

}  // namespace
