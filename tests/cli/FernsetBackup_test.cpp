#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

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
#include "storage/SetFormat.h"

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
  std::string topLine = "70000 " + fern::FormatSetDate(1700000000) + " F:\\top.bin";
  EXPECT_TRUE(entries[0] == topLine || entries[1] == topLine) << list.out;
  EXPECT_TRUE(std::regex_match(entries[0] + "\n" + entries[1],
                               std::regex(R"([\s\S]*8 \d\d/\d\d/\d\d \d\d:\d\d:\d\d F:\\docs\\plan\.txt[\s\S]*)")))
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

  // The backups folder defaults to ./backups, made when missing.
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(d.temp.path.c_str()), 0);
  Put(d.drive + "/a.txt", "a");
  Outcome run = Call(RunBackupCommand, {d.drive}, d.scratch);
  ASSERT_EQ(chdir(old), 0);
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out.rfind("backups/", 0), 0u) << run.out;
  EXPECT_EQ(run.out.substr(run.out.size() - 5), ".fcf\n");
}
