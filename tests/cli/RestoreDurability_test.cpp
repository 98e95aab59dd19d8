// The real fernset restore seen from outside: the order of its system calls (new data on the
// medium before an earlier file is let go, and before it exits), and two restores into the
// same folder at once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <string>
#include <vector>

#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/RestoreFixture.h"

using namespace restore_test;

extern char** environ;

namespace {

constexpr int64_t kEntryTime = 1700000000;

// Starts a program with stdin and stdout on /dev/null; its pid, or -1.
pid_t Start(std::vector<std::string> args) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

int Wait(pid_t pid) {
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

bool HaveStrace() { return system("strace -V >/dev/null 2>&1") == 0; }

class RestoreDurabilityTest : public RestoreFolders {};

TEST_F(RestoreDurabilityTest, NewDataIsFlushedBeforeTheEarlierFileGoesAndBeforeExit) {
  if (!HaveStrace()) GTEST_SKIP() << "strace is not installed";
  CIndependentSetWriter w;
  w.AddEntry("E:\\old.txt", "restored old", kEntryTime);
  w.AddEntry("E:\\dir\\new.txt", "restored new", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("STICK-1.fcf")));
  ASSERT_TRUE(WriteFile(drive + "old.txt", "earlier old"));
  ASSERT_TRUE(SetMtime(drive + "old.txt", kEntryTime - 10));

  const std::string log = SetPath("strace.log");
  // The leak checker of a sanitizer build cannot work under ptrace; the rest of it still can.
  std::string sanitizer = "ASAN_OPTIONS=detect_leaks=0";
  if (const char* options = getenv("ASAN_OPTIONS")) sanitizer += std::string(":") + options + ":detect_leaks=0";
  pid_t pid = Start({"strace", "-f", "-qq", "-E", sanitizer, "-o", log, "-e",
                     "trace=syncfs,fsync,fdatasync,sync,rename,renameat,renameat2,unlink,unlinkat",
                     FERNSET_PATH, "restore", SetPath("STICK-1.fcf"), drive});
  ASSERT_EQ(Wait(pid), 0);
  EXPECT_EQ(ReadFile(drive + "old.txt"), "restored old");
  EXPECT_EQ(ReadFile(drive + "dir/new.txt"), "restored new");

  std::ifstream in(log);
  std::vector<std::string> calls;
  for (std::string line; std::getline(in, line);) calls.push_back(line);
  int replaceAt = -1, lastRename = -1, firstFlush = -1, lastFlush = -1;
  for (int i = 0; i < static_cast<int>(calls.size()); ++i) {
    const std::string& c = calls[i];
    const bool flush = (c.find("syncfs(") != std::string::npos || c.find("fdatasync(") != std::string::npos) &&
                       c.find("= 0") != std::string::npos;
    if (flush) {
      if (firstFlush < 0) firstFlush = i;
      lastFlush = i;
    }
    if (c.find("rename") != std::string::npos && c.find("= 0") != std::string::npos) {
      lastRename = i;
      if (c.find("\"old.txt\")") != std::string::npos || c.find("\"old.txt\",") != std::string::npos) replaceAt = i;
    }
    // The earlier file is never unlinked under its own name.
    EXPECT_EQ(c.find("unlinkat(") != std::string::npos && c.find("\"old.txt\"") != std::string::npos, false) << c;
  }
  ASSERT_GE(replaceAt, 0) << "no rename onto old.txt seen";
  EXPECT_GE(firstFlush, 0);
  EXPECT_LT(firstFlush, replaceAt) << "the earlier file went before the new data was flushed";
  EXPECT_GT(lastFlush, lastRename) << "the renames were not flushed before exit";
}

TEST_F(RestoreDurabilityTest, TwoRestoresIntoOneFolderNeverMixTheirBytes) {
  CIndependentSetWriter a, b;
  for (int i = 0; i < 12; ++i) {
    const std::string stored = "E:\\same\\f" + std::to_string(i) + ".bin";
    a.AddEntry(stored, Noise(70000, 100 + i), kEntryTime);
    b.AddEntry(stored, Noise(70000, 200 + i), kEntryTime);
  }
  ASSERT_TRUE(a.Write(SetPath("A-1.fcf")));
  ASSERT_TRUE(b.Write(SetPath("B-1.fcf")));
  // Both replace the same earlier files (a file that appears while a restore looks at its
  // folder is kept, and named, rather than replaced: not what this test is about).
  ASSERT_EQ(mkdir((drive + "same").c_str(), 0755), 0);
  for (int i = 0; i < 12; ++i) {
    const std::string path = drive + "same/f" + std::to_string(i) + ".bin";
    ASSERT_TRUE(WriteFile(path, "earlier"));
    ASSERT_TRUE(SetMtime(path, kEntryTime - 10));
  }
  for (int round = 0; round < 3; ++round) {
    pid_t first = Start({FERNSET_PATH, "restore", "--yes-to-all", SetPath("A-1.fcf"), drive});
    pid_t second = Start({FERNSET_PATH, "restore", "--yes-to-all", SetPath("B-1.fcf"), drive});
    EXPECT_EQ(Wait(first), 0);
    EXPECT_EQ(Wait(second), 0);
    for (int i = 0; i < 12; ++i) {
      const std::string data = ReadFile(drive + "same/f" + std::to_string(i) + ".bin");
      EXPECT_TRUE(data == Noise(70000, 100 + i) || data == Noise(70000, 200 + i)) << "round " << round << " file " << i;
    }
    EXPECT_EQ(Tree(drive).size(), 13u);  // the folder and its twelve files, no leftovers
  }
}

}  // namespace
