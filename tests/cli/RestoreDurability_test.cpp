// The real fernset restore seen from outside: the order of its system calls (new data on the
// medium before an earlier file is let go, before a new file takes its name, and before it
// exits), two restores into the same folder at once, a power cut after its renames, and a
// restore killed or stopped halfway.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/LoopImage.h"
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

// The leak checker of a sanitizer build cannot work under ptrace; the rest of it still can.
std::string SanitizerUnderStrace() {
  std::string sanitizer = "ASAN_OPTIONS=detect_leaks=0";
  if (const char* options = getenv("ASAN_OPTIONS")) sanitizer += std::string(":") + options + ":detect_leaks=0";
  return sanitizer;
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::ifstream in(path);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

// The quoted arguments of one strace line, in order.
std::vector<std::string> Quoted(const std::string& line) {
  std::vector<std::string> out;
  for (size_t at = line.find('"'); at != std::string::npos;) {
    size_t end = line.find('"', at + 1);
    if (end == std::string::npos) break;
    out.push_back(line.substr(at + 1, end - at - 1));
    at = line.find('"', end + 1);
  }
  return out;
}

bool HasPrefix(const std::string& s, const std::string& prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

std::string Leaf(const std::string& path) {
  auto slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Paths below folder whose last segment starts with prefix.
std::vector<std::string> Named(const std::string& folder, const std::string& prefix) {
  std::vector<std::string> out;
  for (const std::string& path : restore_test::Tree(folder))
    if (HasPrefix(Leaf(path), prefix)) out.push_back(path);
  return out;
}

// Standard output of a shell command, and its exit status.
std::string Output(const std::string& command, int* status = nullptr) {
  std::string out;
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return out;
  char buffer[4096];
  size_t got;
  while ((got = fread(buffer, 1, sizeof buffer, pipe)) > 0) out.append(buffer, got);
  int rc = pclose(pipe);
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

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
  pid_t pid = Start({"strace", "-f", "-qq", "-E", SanitizerUnderStrace(), "-o", log, "-e",
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

namespace {

// Waits until pred holds, polling; false after seconds.
template <typename Pred>
bool WaitFor(Pred pred, double seconds) {
  const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!pred()) {
    if (std::chrono::steady_clock::now() > until) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

class RestoreEventsTest : public RestoreFolders {
 protected:
  static std::string BigName(int i) { return "big/f" + std::to_string(i) + ".bin"; }
  // A set large enough for a restore to be caught halfway.
  void WriteBigSet(const std::string& name, int files = 300, size_t bytes = 256 << 10) {
    CIndependentSetWriter w;
    for (int i = 0; i < files; ++i) w.AddEntry("E:\\big\\f" + std::to_string(i) + ".bin", Noise(bytes, 1000 + i), kEntryTime);
    ASSERT_TRUE(w.Write(SetPath(name)));
    bigFiles = files;
    bigBytes = bytes;
  }
  void ExpectBigSetWhole() {
    for (int i = 0; i < bigFiles; ++i) EXPECT_EQ(ReadFile(drive + BigName(i)), Noise(bigBytes, 1000 + i)) << i;
  }
  // Temporaries on the drive, the user's own ".fernpart-mine" files left out.
  std::vector<std::string> Temps() {
    std::vector<std::string> out;
    for (const std::string& path : Named(drive, ".fernpart-"))
      if (Leaf(path) != ".fernpart-mine") out.push_back(path);
    return out;
  }
  std::vector<std::string> Journals() { return Named(drive, ".fernjournal-"); }
  // The stored names of a full backup of the drive, as fernset lists them.
  std::string BackupListing() {
    int status = -1;
    std::string set = Output(std::string(FERNSET_PATH) + " backup --label T '" + drive + "' '" + base + "/backups' 2>/dev/null", &status);
    while (!set.empty() && (set.back() == '\n' || set.back() == ' ')) set.pop_back();
    EXPECT_FALSE(set.empty()) << "backup status " << status;
    std::string listing = Output(std::string(FERNSET_PATH) + " list '" + set + "'", &status);
    EXPECT_EQ(status, 0);
    unlink(set.c_str());
    return listing;
  }
  int bigFiles = 0;
  size_t bigBytes = 0;
};

TEST_F(RestoreEventsTest, NewFilesAreFlushedBeforeTheyTakeTheirNames) {
  if (!HaveStrace()) GTEST_SKIP() << "strace is not installed";
  // More new files than one batch, so that some take their names while the set is still read.
  CIndependentSetWriter w;
  const int files = 600;
  for (int i = 0; i < files; ++i) w.AddEntry("E:\\many\\f" + std::to_string(i) + ".txt", "new " + std::to_string(i), kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("NEW-1.fcf")));
  const std::string log = SetPath("strace.log");
  pid_t pid = Start({"strace", "-f", "-qq", "-E", SanitizerUnderStrace(), "-o", log, "-e",
                     "trace=syncfs,openat,rename,renameat,renameat2", FERNSET_PATH, "restore",
                     SetPath("NEW-1.fcf"), drive});
  ASSERT_EQ(Wait(pid), 0);
  const std::vector<std::string> calls = ReadLines(log);
  std::map<std::string, int> createdAt;
  int lastSync = -1, named = 0;
  for (int i = 0; i < static_cast<int>(calls.size()); ++i) {
    const std::string& c = calls[i];
    const bool ok = c.find("= -1") == std::string::npos && c.find(" = ") != std::string::npos;
    if (c.find("syncfs") != std::string::npos && c.find("= 0") != std::string::npos) lastSync = i;
    const std::vector<std::string> q = Quoted(c);
    if (c.find("openat(") != std::string::npos && c.find("O_CREAT") != std::string::npos && ok && !q.empty() &&
        HasPrefix(q[0], ".fernpart-"))
      createdAt[q[0]] = i;
    if (c.find("rename") != std::string::npos && ok && q.size() >= 2 && HasPrefix(q[0], ".fernpart-") &&
        !HasPrefix(q[1], ".fernpart-")) {
      ++named;
      ASSERT_EQ(createdAt.count(q[0]), 1u) << c;
      EXPECT_GT(lastSync, createdAt[q[0]]) << q[1] << " took its name before its data was flushed";
    }
  }
  EXPECT_EQ(named, files);
  for (int i = 0; i < files; i += 97) EXPECT_EQ(ReadFile(drive + "many/f" + std::to_string(i) + ".txt"), "new " + std::to_string(i));
}

TEST_F(RestoreEventsTest, APowerCutAfterTheRenamesLeavesNoFileWithoutItsBytes) {
  if (!HaveStrace()) GTEST_SKIP() << "strace is not installed";
  CLoopImage image;
  std::string why;
  if (!image.Make(base, "ext4", why)) GTEST_SKIP() << why;
  // Metadata committed every second: renames reach the device long before the pause ends.
  ASSERT_TRUE(image.Unmount());
  ASSERT_TRUE(image.Mount(why, "commit=1")) << why;
  const std::string root = image.Root();
  const int files = 300;
  const size_t bytes = 8192;
  CIndependentSetWriter w;
  for (int i = 0; i < files; ++i) w.AddEntry("E:\\many\\f" + std::to_string(i) + ".bin", Noise(bytes, 50 + i), kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("CUT-1.fcf")));
  auto placed = [&] {
    int n = 0;
    for (const std::string& path : Tree(root + "many"))
      if (!HasPrefix(path, ".fernpart-")) ++n;
    return n;
  };
  // The 200th rename sleeps four seconds on its way out: the restore is paused just after it.
  pid_t pid = Start({"strace", "-f", "-qq", "-E", SanitizerUnderStrace(), "-o", "/dev/null", "-e", "trace=renameat2",
                     "-e", "inject=renameat2:delay_exit=4000000:when=200", FERNSET_PATH, "restore",
                     SetPath("CUT-1.fcf"), root});
  ASSERT_GT(pid, 0);
  const bool paused = WaitFor([&] { return placed() >= 200; }, 30);
  std::this_thread::sleep_for(std::chrono::milliseconds(2000));
  // What the device holds now is what a power cut leaves.
  const std::string copy = base + "/copy.img";
  const bool copied = paused && system(("cp --sparse=always '" + image.ImagePath() + "' '" + copy + "'").c_str()) == 0;
  EXPECT_EQ(Wait(pid), 0);
  ASSERT_TRUE(paused) << "the restore never reached its 200th rename";
  ASSERT_TRUE(copied);
  ASSERT_TRUE(image.Unmount());

  const std::string point = base + "/after";
  ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
  ASSERT_EQ(system(("mount -o loop '" + copy + "' '" + point + "'").c_str()), 0) << "the copy does not mount";
  struct Unmount {
    std::string point;
    ~Unmount() { umount2(point.c_str(), MNT_DETACH); }
  } unmount{point};
  int present = 0;
  for (int i = 0; i < files; ++i) {
    const std::string path = point + "/many/f" + std::to_string(i) + ".bin";
    if (!Exists(path)) continue;
    ++present;
    EXPECT_EQ(ReadFile(path), Noise(bytes, 50 + i)) << path << " is there without its bytes";
  }
  EXPECT_GT(present, 0) << "no rename reached the device: the cut came too early to tell anything";
}

TEST_F(RestoreEventsTest, AKilledRestoreIsCleanedUpByTheNextAndNeverBackedUp) {
  WriteBigSet("BIG-1.fcf");
  ASSERT_EQ(mkdir((drive + "big").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(drive + ".fernpart-mine", "the user's own"));
  ASSERT_TRUE(WriteFile(drive + "big/.fernpart-mine", "the user's own too"));

  pid_t pid = Start({FERNSET_PATH, "restore", SetPath("BIG-1.fcf"), drive});
  ASSERT_GT(pid, 0);
  const bool caught = WaitFor([&] { return !Temps().empty(); }, 30);
  kill(pid, SIGKILL);
  Wait(pid);
  ASSERT_TRUE(caught) << "no temporary file was ever seen";
  ASSERT_FALSE(Temps().empty());
  ASSERT_EQ(Journals().size(), 1u);

  // A backup between the two restores stores neither the temporaries nor the journal, but the
  // user's own files of a similar name.
  const std::string listing = BackupListing();
  EXPECT_EQ(listing.find(".fernjournal-"), std::string::npos) << listing;
  size_t mine = 0;
  for (size_t at = listing.find(".fernpart-"); at != std::string::npos; at = listing.find(".fernpart-", at + 1)) {
    EXPECT_EQ(listing.compare(at, 14, ".fernpart-mine"), 0) << listing.substr(at, 40);
    ++mine;
  }
  EXPECT_EQ(mine, 2u);

  pid = Start({FERNSET_PATH, "restore", SetPath("BIG-1.fcf"), drive});
  EXPECT_EQ(Wait(pid), 0);
  EXPECT_TRUE(Temps().empty()) << Temps()[0];
  EXPECT_TRUE(Journals().empty());
  ExpectBigSetWhole();
  EXPECT_EQ(ReadFile(drive + ".fernpart-mine"), "the user's own");
  EXPECT_EQ(ReadFile(drive + "big/.fernpart-mine"), "the user's own too");
}

TEST_F(RestoreEventsTest, ARunningRestoresJournalIsLeftAloneAndItsTemporariesAreNotBackedUp) {
  WriteBigSet("BIG-1.fcf");
  CIndependentSetWriter small;
  small.AddEntry("E:\\other\\x.txt", "other", kEntryTime);
  ASSERT_TRUE(small.Write(SetPath("SMALL-1.fcf")));

  pid_t pid = Start({FERNSET_PATH, "restore", SetPath("BIG-1.fcf"), drive});
  ASSERT_GT(pid, 0);
  const bool caught = WaitFor([&] { return !Temps().empty(); }, 30);
  kill(pid, SIGSTOP);
  if (!caught) {
    kill(pid, SIGKILL);
    Wait(pid);
    FAIL() << "no temporary file was ever seen";
  }
  const std::vector<std::string> temps = Temps(), journals = Journals();
  ASSERT_EQ(journals.size(), 1u);

  // Another restore of the drive meanwhile: it takes the stopped one's journal for a live one.
  pid_t other = Start({FERNSET_PATH, "restore", SetPath("SMALL-1.fcf"), drive});
  EXPECT_EQ(Wait(other), 0);
  EXPECT_EQ(ReadFile(drive + "other/x.txt"), "other");
  EXPECT_EQ(Journals(), journals);
  for (const std::string& t : temps) EXPECT_TRUE(Exists(drive + t)) << t;

  const std::string listing = BackupListing();
  EXPECT_EQ(listing.find(".fernpart-"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(".fernjournal-"), std::string::npos) << listing;
  EXPECT_NE(listing.find("x.txt"), std::string::npos) << listing;

  kill(pid, SIGCONT);
  EXPECT_EQ(Wait(pid), 0);
  EXPECT_TRUE(Temps().empty());
  EXPECT_TRUE(Journals().empty());
  ExpectBigSetWhole();
}

}  // namespace
