#include <fcntl.h>
#include <pty.h>
#include <grp.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <sstream>
#include <string>
#include <system_error>
#include <vector>

#include <gtest/gtest.h>

#include "cli/Commands.h"
#include "platform/Volume.h"
#include "platform/FileFinder.h"
#include "storage/FixedText.h"
#include "storage/FilePieces.h"
#include "storage/PartialSet.h"
#include "storage/SetFormat.h"
#include "tests/engine/BackupDrive.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/UnmountOnOpen.h"
#include "tests/platform/DriveTestMount.h"

extern char** environ;

namespace {

struct CliFolder {
  std::string path;
  CliFolder() {
    char pattern[] = "/tmp/fern-cli-backup-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
  }
  ~CliFolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  ASSERT_TRUE(out.good()) << path;
}

std::string Slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs one sub-command with standard output and error caught in files.
struct Outcome {
  int status = -1;
  std::string out, err;
};

Outcome Call(int (*command)(int, char**), std::vector<std::string> args, const std::string& scratch) {
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  fflush(stdout);
  fflush(stderr);
  const std::string outPath = scratch + "/stdout", errPath = scratch + "/stderr";
  int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int errFd = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  int savedOut = dup(1), savedErr = dup(2);
  dup2(outFd, 1);
  dup2(errFd, 2);
  Outcome o;
  o.status = command(static_cast<int>(args.size()), argv.data());
  fflush(stdout);
  fflush(stderr);
  dup2(savedOut, 1);
  dup2(savedErr, 2);
  close(savedOut);
  close(savedErr);
  close(outFd);
  close(errFd);
  o.out = Slurp(outPath);
  o.err = Slurp(errPath);
  return o;
}

// The date of a plain list line: local time with the four-digit year.
std::string ListDate(int64_t time) { return fern::FixedTime("%m/%d/%Y %H:%M:%S", time); }

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

struct CliDrive {
  CliFolder temp;
  std::string drive, backups, scratch;
  CliDrive() {
    drive = temp.path + "/MYSTICK";
    backups = temp.path + "/sets";
    scratch = temp.path + "/io";
    mkdir(drive.c_str(), 0755);
    mkdir(scratch.c_str(), 0755);
    setenv("XDG_STATE_HOME", (temp.path + "/state").c_str(), 1);
  }
};

}  // namespace

TEST(FernsetBackup, BackupThenListThenQuick) {
  CliDrive d;
  mkdir((d.drive + "/docs").c_str(), 0755);
  Put(d.drive + "/docs/plan.txt", "the plan");
  Put(d.drive + "/top.bin", std::string(70000, 'x'));
  Put(d.drive + "/empty.txt", "");
  struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (d.drive + "/top.bin").c_str(), times, 0), 0);

  Outcome full = Call(RunBackupCommand, {"--letter", "f", "--label", "PICS", d.drive, d.backups}, d.scratch);
  ASSERT_EQ(full.status, 0) << full.err;
  EXPECT_EQ(full.err, "");
  std::vector<std::string> out = Lines(full.out);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_TRUE(std::regex_match(out[0], std::regex(d.backups + R"(/PICS-\d+\.fcf)"))) << out[0];
  const std::string set = out[0];

  Outcome list = Call(RunListCommand, {set}, d.scratch);
  ASSERT_EQ(list.status, 0) << list.err;
  std::vector<std::string> entries = Lines(list.out);
  ASSERT_EQ(entries.size(), 2u);
  std::string topLine = "70000 " + ListDate(1700000000) + " F:\\top.bin";
  EXPECT_TRUE(entries[0] == topLine || entries[1] == topLine) << list.out;
  EXPECT_TRUE(std::regex_match(entries[0] + "\n" + entries[1],
                               std::regex(R"([\s\S]*8 \d\d/\d\d/\d\d\d\d \d\d:\d\d:\d\d F:\\docs\\plan\.txt[\s\S]*)")))
      << list.out;

  Outcome quick = Call(RunBackupCommand, {"--quick", "--label", "PICS", d.drive, d.backups}, d.scratch);
  EXPECT_EQ(quick.status, 0) << quick.err;
  EXPECT_EQ(quick.out, "No file changes\n");

  // The label defaults to what the drive watcher reads for the folder.
  std::string label;
  ASSERT_TRUE(fern::GetVolumeLabel(d.drive + "/", label));
  Put(d.drive + "/docs/plan.txt", "new plan");
  Outcome second = Call(RunBackupCommand, {"--quick", d.drive + "/", d.backups}, d.scratch);
  ASSERT_EQ(second.status, 0) << second.err;
  EXPECT_EQ(second.out.rfind(d.backups + "/" + label + "-", 0), 0u) << second.out;
  EXPECT_EQ(second.out.substr(second.out.size() - 5), ".fci\n");
}

TEST(FernsetBackup, ErrorRowsAndDamagedSets) {
  CliDrive d;
  Put(d.drive + "/bad\\name.txt", "x");
  Put(d.drive + "/good.txt", "good");
  Outcome run = Call(RunBackupCommand, {d.drive, d.backups}, d.scratch);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(run.err, d.drive + "/bad\\name.txt: " + d.drive + "/bad\\name.txt contains an invalid path.\n");
  std::vector<std::string> out = Lines(run.out);
  ASSERT_EQ(out.size(), 1u);

  // A set cut short: the entries before the damage, then "error reading" and status 1.
  std::string bytes = Slurp(out[0]);
  ASSERT_GT(bytes.size(), 30u);
  const std::string cut = d.temp.path + "/cut.fcf";
  Put(cut, bytes.substr(0, bytes.size() - 6));
  Outcome damaged = Call(RunListCommand, {cut}, d.scratch);
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.err.find("error reading"), std::string::npos) << damaged.err;

  Put(cut, "not a set at all, only text that ends inside a header");
  damaged = Call(RunListCommand, {cut}, d.scratch);
  EXPECT_EQ(damaged.status, 1);
  EXPECT_NE(damaged.err.find("error reading"), std::string::npos);

  Outcome missing = Call(RunListCommand, {d.temp.path + "/none.fcf"}, d.scratch);
  EXPECT_EQ(missing.status, 1);
}

// The names in the backups folder that the set list's pattern finds, and the partial sets.
static void SetsAndPartials(const std::string& backups, std::vector<std::string>& sets, std::vector<std::string>& partials) {
  sets.clear();
  partials.clear();
  std::vector<fern::CFindData> found;
  fern::FindFiles(backups, fern::AllSetsPattern(), found);
  for (const auto& f : found) sets.push_back(f.name);
  fern::FindFiles(backups, std::string(fern::PartialSetPrefix()) + "*", found);
  for (const auto& f : found) partials.push_back(f.name);
}

TEST(FernsetBackup, AKilledBackupLeavesNoSetAndTheNextRunClearsItsFile) {
  CliDrive d;
  // Enough data that the run is still writing when it is killed.
  for (int i = 0; i < 40; ++i) {
    std::string bytes(1 << 20, '\0');
    uint32_t x = 2654435761u * (i + 1);
    for (char& c : bytes) {
      x ^= x << 13;
      x ^= x >> 17;
      x ^= x << 5;
      c = static_cast<char>(x);
    }
    Put(d.drive + "/f" + std::to_string(i) + ".bin", bytes);
  }
  ASSERT_EQ(mkdir(d.backups.c_str(), 0755), 0);
  fflush(stdout);
  fflush(stderr);
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    int null = open("/dev/null", O_WRONLY);
    dup2(null, 1);
    dup2(null, 2);
    std::vector<std::string> args{d.drive, d.backups};
    std::vector<char*> argv{args[0].data(), args[1].data(), nullptr};
    _exit(RunBackupCommand(2, argv.data()));
  }
  // Killed once its set has some content, as a crash or power loss would cut it.
  std::vector<std::string> sets, partials;
  bool caught = false;
  for (int i = 0; i < 60000 && !caught; ++i) {
    SetsAndPartials(d.backups, sets, partials);
    struct stat st;
    caught = partials.size() == 1 && stat((d.backups + "/" + partials[0]).c_str(), &st) == 0 && st.st_size > 0;
    if (!caught) usleep(1000);
  }
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(caught) << "the run ended before it could be killed";
  ASSERT_TRUE(WIFSIGNALED(status));

  SetsAndPartials(d.backups, sets, partials);
  EXPECT_TRUE(sets.empty());
  ASSERT_EQ(partials.size(), 1u);  // the hidden leftover
  const std::string leftover = partials[0];

  Put(d.drive + "/f0.bin", "small now");
  for (int i = 1; i < 40; ++i) ASSERT_EQ(unlink((d.drive + "/f" + std::to_string(i) + ".bin").c_str()), 0);
  Outcome next = Call(RunBackupCommand, {d.drive, d.backups}, d.scratch);
  ASSERT_EQ(next.status, 0) << next.err;
  SetsAndPartials(d.backups, sets, partials);
  EXPECT_EQ(sets.size(), 1u);
  EXPECT_TRUE(partials.empty()) << leftover;
  struct stat st;
  ASSERT_EQ(stat(Lines(next.out).at(0).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
}

TEST(FernsetBackup, AFolderTheUserCannotEnterGivesRowsAndStatusOne) {
  if (geteuid() != 0) GTEST_SKIP() << "switching to an unprivileged user needs root";
  CliDrive d;
  Put(d.drive + "/open.txt", "open");
  mkdir((d.drive + "/listed").c_str(), 0755);
  Put(d.drive + "/listed/inside.txt", "inside");
  mkdir((d.drive + "/sealed").c_str(), 0755);
  Put(d.drive + "/sealed/hidden.txt", "hidden");
  ASSERT_EQ(chmod((d.drive + "/listed").c_str(), 0744), 0);  // names readable, nothing reachable
  ASSERT_EQ(chmod((d.drive + "/sealed").c_str(), 0700), 0);  // not even listed
  for (const std::string& p : {d.temp.path, d.scratch}) ASSERT_EQ(chmod(p.c_str(), 0777), 0);
  ASSERT_EQ(mkdir(d.backups.c_str(), 0777), 0);
  ASSERT_EQ(chmod(d.backups.c_str(), 0777), 0);
  fflush(stdout);
  fflush(stderr);
  const std::string errPath = d.scratch + "/nobody.err";
  pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    // The user nobody, without root's groups, as setpriv --reuid=65534 --regid=65534 --clear-groups.
    if (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 || setresuid(65534, 65534, 65534) != 0)
      _exit(100);
    setenv("XDG_STATE_HOME", (d.scratch + "/state").c_str(), 1);
    int err = open(errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int null = open("/dev/null", O_WRONLY);
    if (err < 0 || null < 0) _exit(101);
    dup2(null, 1);
    dup2(err, 2);
    std::vector<std::string> args{d.drive, d.backups};
    std::vector<char*> argv{args[0].data(), args[1].data(), nullptr};
    _exit(RunBackupCommand(2, argv.data()));
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  const std::string err = Slurp(errPath);
  EXPECT_NE(err.find(d.drive + "/listed/inside.txt: Access to " + d.drive + "/listed/inside.txt was denied."),
            std::string::npos)
      << err;
  EXPECT_NE(err.find(d.drive + "/sealed: Access to " + d.drive + "/sealed was denied."), std::string::npos) << err;
  std::vector<std::string> sets, partials;
  SetsAndPartials(d.backups, sets, partials);
  EXPECT_EQ(sets.size(), 1u);  // open.txt
  EXPECT_TRUE(partials.empty());
}

// The real program, its stick lazily unmounted while it opens a file: the files stored before
// stay a set, printed as always, and the exit status and standard error say it is incomplete.
TEST(FernsetBackup, ADriveRemovedMidRunExitsOneAndSaysTheSetIsIncomplete) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  CliDrive d;
  fern::CTestMount stick;
  std::string why;
  const std::string point = d.temp.path + "/STICK";
  if (!stick.Mount(point, "size=16m", why)) GTEST_SKIP() << why;
  // One file in each folder, so the order of the walk is fixed: first.txt, more/pull.bin (its
  // open pulls the stick; it is read whole through the open file), then more/deeper, gone.
  Put(point + "/first.txt", "stored first");
  ASSERT_EQ(mkdir((point + "/more").c_str(), 0755), 0);
  ASSERT_EQ(mkdir((point + "/more/deeper").c_str(), 0755), 0);
  const std::string pulled = NoiseBytes(400000, 3);
  Put(point + "/more/pull.bin", pulled);
  for (int i = 0; i < 10; ++i) Put(point + "/more/deeper/d" + std::to_string(i), "never reached");
  ASSERT_EQ(mkdir(d.backups.c_str(), 0755), 0);
  CUnmountOnOpen pull;
  if (!pull.Start(point, point + "/more/pull.bin", why)) GTEST_SKIP() << why;

  std::vector<std::string> args{FERNSET_PATH, "backup", "--label", "STICK", point, d.backups};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string outPath = d.scratch + "/out", errPath = d.scratch + "/err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = -1;
  const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ASSERT_EQ(spawned, 0) << strerror(spawned);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(pull.Fired());
  ASSERT_EQ(pull.DetachError(), 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);

  const std::vector<std::string> out = Lines(Slurp(outPath));
  ASSERT_EQ(out.size(), 1u);
  const std::string set = out[0];
  EXPECT_TRUE(std::regex_match(set, std::regex(d.backups + R"(/STICK-\d+\.fcf)"))) << set;
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(set, entries));
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, "E:\\first.txt");
  EXPECT_EQ(entries[0].data, "stored first");
  EXPECT_EQ(entries[1].name, "E:\\more\\pull.bin");
  EXPECT_TRUE(entries[1].data == pulled);
  const std::string err = Slurp(errPath);
  EXPECT_EQ(err, set + ": The drive was removed during the backup. The backup set is incomplete: it holds only "
                       "the files stored before the drive was removed.\n"
                       "fernset: " + point + "/: the drive was removed during the backup; the set " + set +
                       " is incomplete\n");
}

TEST(FernsetBackup, QuickBackupKnowsTheDriveHoweverItIsSpelt) {
  CliDrive d;
  Put(d.drive + "/a.txt", "a");
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(d.temp.path.c_str()), 0);
  Outcome full = Call(RunBackupCommand, {"--label", "Q", "MYSTICK", d.backups}, d.scratch);
  Outcome dot = Call(RunBackupCommand, {"--quick", "--label", "Q", "./MYSTICK", d.backups}, d.scratch);
  Outcome absolute = Call(RunBackupCommand, {"--quick", "--label", "Q", d.drive + "//", d.backups}, d.scratch);
  ASSERT_EQ(symlink(d.drive.c_str(), (d.temp.path + "/alias").c_str()), 0);
  Outcome alias = Call(RunBackupCommand, {"--quick", "--label", "Q", "alias", d.backups}, d.scratch);
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(full.status, 0) << full.err;
  EXPECT_EQ(dot.out, "No file changes\n") << dot.err;
  EXPECT_EQ(absolute.out, "No file changes\n") << absolute.err;
  EXPECT_EQ(alias.out, "No file changes\n") << alias.err;
}

TEST(FernsetBackup, ListShowsWindowsNamesAsUtf8) {
  CliDrive d;
  CIndependentSetWriter w;
  w.AddEntry("E:\\Caf\xE9\\\x80\xDF.txt", "euro", 1700000000);
  const std::string set = d.temp.path + "/WIN-1.fcf";
  ASSERT_TRUE(w.Write(set));
  Outcome list = Call(RunListCommand, {set}, d.scratch);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "4 " + ListDate(1700000000) + " E:\\Caf\xC3\xA9\\\xE2\x82\xAC\xC3\x9F.txt\n");
}

TEST(FernsetBackup, NamesWithControlCharactersStayOnOneLine) {
  CliDrive d;
  // A Linux file name may hold a newline or an escape sequence; printed as it is, one entry would
  // read as two, or repaint the terminal.
  CIndependentSetWriter w;
  w.AddEntry("E:\\two\nlines.txt", "a", 1700000000);
  w.AddEntry("E:\\\x1b[2Jclear\t\x7f.txt", "b", 1700000000);
  w.AddEntry("E:\\c1\xC2\x9B.txt", "c", 1700000000);
  const std::string set = d.temp.path + "/CTL-1.fcf";
  ASSERT_TRUE(w.Write(set));
  Outcome list = Call(RunListCommand, {set}, d.scratch);
  ASSERT_EQ(list.status, 0) << list.err;
  const std::string date = ListDate(1700000000);
  EXPECT_EQ(list.out, "1 " + date + " E:\\two\\nlines.txt\n" +
                          "1 " + date + " E:\\\\x1b[2Jclear\\t\\x7f.txt\n" +
                          "1 " + date + " E:\\c1\\u009b.txt\n");

  // Error rows on standard error likewise: one row, one line.
  const std::string odd = d.drive + "/bad\\na\nme.txt";
  Put(odd, "x");
  Outcome run = Call(RunBackupCommand, {d.drive, d.backups}, d.scratch);
  EXPECT_EQ(run.status, 1);
  EXPECT_EQ(Lines(run.err).size(), 1u) << run.err;
  EXPECT_NE(run.err.find("bad\\na\\nme.txt"), std::string::npos) << run.err;
}

TEST(FernsetBackup, BadUsage) {
  CliDrive d;
  EXPECT_EQ(Call(RunBackupCommand, {}, d.scratch).status, 2);
  EXPECT_EQ(Call(RunBackupCommand, {"--letter", "EE", d.drive}, d.scratch).status, 2);
  EXPECT_EQ(Call(RunBackupCommand, {"--label"}, d.scratch).status, 2);
  EXPECT_EQ(Call(RunBackupCommand, {"--fast", d.drive}, d.scratch).status, 2);
  EXPECT_EQ(Call(RunBackupCommand, {d.drive, d.backups, "third"}, d.scratch).status, 2);
  Outcome usage = Call(RunListCommand, {}, d.scratch);
  EXPECT_EQ(usage.status, 2);
  EXPECT_NE(usage.err.find("usage: fernset"), std::string::npos);
  EXPECT_EQ(Call(RunBackupCommand, {d.temp.path + "/no-such-drive", d.backups}, d.scratch).status, 1);

  // The backups folder defaults to fernapp's, made when missing, whatever the current folder;
  // a "backups" folder there is not used.
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(d.temp.path.c_str()), 0);
  ASSERT_EQ(mkdir((d.temp.path + "/backups").c_str(), 0755), 0);
  const char* oldData = getenv("XDG_DATA_HOME");
  const std::string savedData = oldData != nullptr ? oldData : "";
  setenv("XDG_DATA_HOME", (d.temp.path + "/data").c_str(), 1);
  Put(d.drive + "/a.txt", "a");
  Outcome run = Call(RunBackupCommand, {d.drive}, d.scratch);
  // A data folder that cannot be made is told, and no set is written.
  Put(d.temp.path + "/file", "x");
  setenv("XDG_DATA_HOME", (d.temp.path + "/file").c_str(), 1);
  Outcome blocked = Call(RunBackupCommand, {d.drive}, d.scratch);
  if (oldData != nullptr) setenv("XDG_DATA_HOME", savedData.c_str(), 1); else unsetenv("XDG_DATA_HOME");
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::string folder = d.temp.path + "/data/ferncastle/backups/";
  EXPECT_EQ(run.out.rfind(folder, 0), 0u) << run.out;
  EXPECT_EQ(run.out.substr(run.out.size() - 5), ".fcf\n");
  EXPECT_TRUE(std::filesystem::is_empty(d.temp.path + "/backups"));
  EXPECT_EQ(blocked.status, 1);
  EXPECT_EQ(blocked.err, "fernset: " + d.temp.path + "/file/ferncastle/backups: cannot create: Not a directory\n");
  EXPECT_EQ(blocked.out, "");
}

TEST(FernsetList, JsonLinesForScripts) {
  CliDrive d;
  CIndependentSetWriter w;
  w.AddEntry("E:\\Caf\xE9\\\x80\xDF.txt", "euro", 1700000000);          // a Windows set's name
  w.AddEntry("E:\\two\nlines \"q\"\\b\x1b.txt", "", 946684800);          // newline, quote, escape
  const std::string set = d.temp.path + "/JS-1.fcf";
  ASSERT_TRUE(w.Write(set));
  const std::string expected =
      "{\"name\":\"E:\\\\Caf\xC3\xA9\\\\\xE2\x82\xAC\xC3\x9F.txt\",\"size\":4,\"mtime\":\"2023-11-14T22:13:20Z\"}\n"
      "{\"name\":\"E:\\\\two\\nlines \\\"q\\\"\\\\b\\u001b.txt\",\"size\":0,\"mtime\":\"2000-01-01T00:00:00Z\"}\n";
  Outcome json = Call(RunListCommand, {"--json", set}, d.scratch);
  ASSERT_EQ(json.status, 0) << json.err;
  EXPECT_EQ(json.out, expected);
  EXPECT_EQ(json.err, "");
  EXPECT_EQ(Call(RunListCommand, {set, "--json"}, d.scratch).out, expected);

  // Each line is JSON to a real parser, and the names come back as stored and decoded.
  const std::string lines = d.scratch + "/lines.json";
  Put(lines, json.out);
  const std::string check = "python3 -c 'import json,sys\n"
                            "rows=[json.loads(l) for l in open(sys.argv[1],encoding=\"utf-8\")]\n"
                            "assert rows[0][\"name\"]==\"E:\\\\Caf\\u00e9\\\\\\u20ac\\u00df.txt\", rows\n"
                            "assert rows[1][\"name\"]==\"E:\\\\two\\nlines \\\"q\\\"\\\\b\\x1b.txt\", rows\n"
                            "assert [r[\"size\"] for r in rows]==[4,0]' " + lines;
  if (system("command -v python3 >/dev/null") == 0) {
    EXPECT_EQ(system(check.c_str()), 0);
  }

  Outcome plain = Call(RunListCommand, {set}, d.scratch);
  EXPECT_EQ(Lines(plain.out).size(), 2u);
  EXPECT_EQ(Call(RunListCommand, {"--xml", set}, d.scratch).status, 2);
  EXPECT_EQ(Call(RunListCommand, {"--json"}, d.scratch).status, 2);
}

TEST(FernsetErrors, EveryOtherErrorNamesThePathAndTheReason) {
  CliDrive d;
  CIndependentSetWriter w;
  w.AddEntry("E:\\a.txt", "aaaa", 1700000000);
  w.AddEntry("E:\\b.txt", std::string(3000, 'b'), 1700000000);
  const std::string set = d.temp.path + "/OK-1.fcf";
  ASSERT_TRUE(w.Write(set));
  const std::string folder = d.temp.path + "/sets.fcf";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  const std::string missing = d.temp.path + "/nosuch.fcf";

  // A folder given as the set: named, with its reason, by every command that reads a set.
  for (auto command : {RunListCommand, RunVerifyCommand}) {
    Outcome o = Call(command, {folder}, d.scratch);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "fernset: " + folder + ": Is a directory\n");
    o = Call(command, {missing}, d.scratch);
    EXPECT_EQ(o.status, 1);
    EXPECT_EQ(o.err, "fernset: " + missing + ": No such file or directory\n");
  }
  Outcome o = Call(RunRestoreCommand, {folder, d.drive}, d.scratch);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "fernset: " + folder + ": Is a directory\n");
  o = Call(RunRestoreCommand, {missing, d.drive}, d.scratch);
  EXPECT_EQ(o.err, "fernset: " + missing + ": No such file or directory\n");
  o = Call(RunRestoreCommand, {set, set}, d.scratch);
  EXPECT_EQ(o.err, "fernset: " + set + ": Not a directory\n");
  o = Call(RunExtractCommand, {missing, "E:\\a.txt", "--to", d.scratch}, d.scratch);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "fernset: " + missing + ": No such file or directory\n");

  // A damaged set: "error reading" names it, for list and verify alike.
  const std::string bytes = Slurp(set);
  const std::string cut = d.temp.path + "/cut.fcf";
  Put(cut, bytes.substr(0, bytes.size() - 12));
  o = Call(RunListCommand, {cut}, d.scratch);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "fernset: " + cut + ": error reading\n");
  o = Call(RunVerifyCommand, {cut}, d.scratch);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "fernset: " + cut + ": error reading\n");

  // A set marked read-only (its owner's write permission cleared) is not opened, and says why.
  ASSERT_EQ(chmod(set.c_str(), 0444), 0);
  o = Call(RunVerifyCommand, {set}, d.scratch);
  EXPECT_EQ(o.status, 1);
  EXPECT_EQ(o.err, "fernset: " + set + ": the set is marked read-only (no owner write permission); not opened\n");
  ASSERT_EQ(chmod(set.c_str(), 0644), 0);
  o = Call(RunVerifyCommand, {set}, d.scratch);
  EXPECT_EQ(o.status, 0) << o.err;
  EXPECT_EQ(o.out, set + ": 2 entries, 3004 bytes\n");
}

namespace {

// Runs fernset with its standard input, output and error on a new pseudo-terminal: all it
// wrote, its exit status and how long it ran.
struct TerminalRun {
  std::string text;
  int status = -1;
  long long ms = 0;
};

TerminalRun RunOnTerminal(const std::vector<std::string>& args) {
  TerminalRun run;
  std::vector<char*> argv;
  std::vector<std::string> copy = args;
  copy.insert(copy.begin(), FERNSET_PATH);
  for (auto& a : copy) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto start = std::chrono::steady_clock::now();
  int master = -1;
  const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
  if (pid == 0) {
    execv(argv[0], argv.data());
    _exit(127);
  }
  if (pid < 0) return run;
  char buffer[4096];
  for (;;) {
    const ssize_t got = read(master, buffer, sizeof buffer);
    if (got > 0) {
      run.text.append(buffer, static_cast<size_t>(got));
    } else if (got < 0 && errno == EINTR) {
      continue;
    } else {
      break;  // EIO once the child has gone and the terminal is hung up
    }
  }
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.status = WEXITSTATUS(status);
  close(master);
  run.ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
  return run;
}

// The progress lines drawn: "\r", clear to the end of the line, then the bytes done.
size_t ProgressDraws(const std::string& text, bool withTotal = false) {
  const std::regex draw(withTotal ? R"(\r\x1b\[K[0-9.]+ [kMGT]?B of [0-9.]+ [kMGT]?B)" : R"(\r\x1b\[K[0-9.]+ [kMGT]?B)");
  return static_cast<size_t>(std::distance(std::sregex_iterator(text.begin(), text.end(), draw), std::sregex_iterator()));
}

}  // namespace

TEST(FernsetProgress, OnATerminalOnlyThrottledAndSilencedByQ) {
  CliDrive d;
  // Many small files (one draw each, unthrottled) and some data that takes a while.
  uint32_t x = 12345;
  for (int i = 0; i < 400; ++i) {
    std::string bytes(20000, '\0');
    for (char& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    Put(d.drive + "/f" + std::to_string(i) + ".bin", bytes);
  }
  TerminalRun backup = RunOnTerminal({"backup", "--label", "PROG", d.drive, d.backups});
  ASSERT_EQ(backup.status, 0) << backup.text;
  const size_t draws = ProgressDraws(backup.text);
  EXPECT_GE(draws, 1u) << backup.text;
  EXPECT_LE(draws, static_cast<size_t>(backup.ms / 250 + 2)) << draws << " draws in " << backup.ms << " ms";
  std::smatch found;
  ASSERT_TRUE(std::regex_search(backup.text, found, std::regex(d.backups + R"(/PROG-\d+\.fcf)"))) << backup.text;
  const std::string set = found.str();

  // Restore: against the set's own size, so with the total.
  const std::string target = d.temp.path + "/target";
  ASSERT_EQ(mkdir(target.c_str(), 0755), 0);
  TerminalRun restore = RunOnTerminal({"restore", set, target});
  EXPECT_EQ(restore.status, 0) << restore.text;
  EXPECT_GE(ProgressDraws(restore.text, true), 1u) << restore.text;
  EXPECT_LE(ProgressDraws(restore.text), static_cast<size_t>(restore.ms / 250 + 2));
  EXPECT_EQ(Slurp(target + "/f7.bin"), Slurp(d.drive + "/f7.bin"));

  // -q, and standard error that is no terminal: no progress at all.
  Put(d.drive + "/f1.bin", "changed");
  TerminalRun quiet = RunOnTerminal({"backup", "-q", "--quick", "--label", "PROG", d.drive, d.backups});
  EXPECT_EQ(quiet.status, 0) << quiet.text;
  EXPECT_EQ(quiet.text.find('\x1b'), std::string::npos) << quiet.text;
  TerminalRun quietRestore = RunOnTerminal({"restore", "--quiet", "--yes-to-all", set, target});
  EXPECT_EQ(quietRestore.status, 0) << quietRestore.text;
  EXPECT_EQ(quietRestore.text.find('\x1b'), std::string::npos) << quietRestore.text;
  Outcome piped = Call(RunBackupCommand, {"--label", "PROG", d.drive, d.backups}, d.scratch);
  EXPECT_EQ(piped.status, 0) << piped.err;
  EXPECT_EQ(piped.err, "");
}

// A file kept in pieces is one line of list with its real size, and extract and restore write it
// back whole under its own name.
TEST(FernsetBackup, AFileInPiecesIsListedAndWrittenBackAsOne) {
  fern::SetPieceSizeForTests(30000);
  CliDrive d;
  std::string big(70001, '\0');
  for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>((i * 7919) >> 5);
  Put(d.drive + "/big.bin", big);
  struct timespec times[2] = {{1700000000, 0}, {1700000000, 0}};
  ASSERT_EQ(utimensat(AT_FDCWD, (d.drive + "/big.bin").c_str(), times, 0), 0);
  Outcome full = Call(RunBackupCommand, {"--letter", "f", "--label", "PICS", d.drive, d.backups}, d.scratch);
  fern::SetPieceSizeForTests(0);
  ASSERT_EQ(full.status, 0) << full.err;
  const std::string set = Lines(full.out).at(0);

  Outcome list = Call(RunListCommand, {set}, d.scratch);
  ASSERT_EQ(list.status, 0) << list.err;
  EXPECT_EQ(list.out, "70001 " + fern::FixedTime("%m/%d/%Y %H:%M:%S", 1700000000) + " F:\\big.bin\n");

  const std::string out = d.temp.path + "/out";
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  Outcome extract = Call(RunExtractCommand, {set, "F:\\big.bin", "--to", out}, d.scratch);
  ASSERT_EQ(extract.status, 0) << extract.err;
  std::ifstream in(out + "/big.bin", std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()) == big);
}
