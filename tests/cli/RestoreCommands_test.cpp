#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "cli/Commands.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/RestoreFixture.h"

using namespace restore_test;

namespace {

constexpr int64_t kEntryTime = 1700000000;

class RestoreCommandsTest : public RestoreFolders {
 protected:
  void SetUp() override {
    RestoreFolders::SetUp();
    // No terminal to ask on: a newer file is kept unless told otherwise.
    int null = open("/dev/null", O_RDONLY);
    ASSERT_GE(null, 0);
    savedStdin = dup(STDIN_FILENO);
    ASSERT_GE(dup2(null, STDIN_FILENO), 0);
    close(null);
  }
  void TearDown() override {
    dup2(savedStdin, STDIN_FILENO);
    close(savedStdin);
    RestoreFolders::TearDown();
  }

  static int Run(int (*command)(int, char**), std::vector<std::string> args) {
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return command(static_cast<int>(args.size()), argv.data());
  }

  std::string MakeSet() {
    CIndependentSetWriter w;
    w.AddEntry("E:\\docs\\a.txt", "new a", kEntryTime);
    w.AddEntry("E:\\docs\\b.txt", "new b", kEntryTime);
    w.AddEntry("E:\\other\\A.TXT", "other a", kEntryTime);
    std::string path = SetPath("STICK-1.fcf");
    EXPECT_TRUE(w.Write(path));
    return path;
  }

  int savedStdin = -1;
};

TEST_F(RestoreCommandsTest, RestoreKeepsNewerFilesUnlessToldOtherwise) {
  std::string set = MakeSet();
  ASSERT_EQ(mkdir((drive + "docs").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(drive + "docs/a.txt", "newer on the drive"));
  ASSERT_TRUE(SetMtime(drive + "docs/a.txt", kEntryTime + 10));

  std::string root = drive.substr(0, drive.size() - 1);  // without the trailing '/'
  EXPECT_EQ(Run(RunRestoreCommand, {set, root}), 0);
  EXPECT_EQ(ReadFile(drive + "docs/a.txt"), "newer on the drive");
  EXPECT_EQ(ReadFile(drive + "docs/b.txt"), "new b");
  EXPECT_EQ(ReadFile(drive + "other/A.TXT"), "other a");

  ASSERT_TRUE(SetMtime(drive + "docs/a.txt", kEntryTime + 10));
  EXPECT_EQ(Run(RunRestoreCommand, {"--no-to-all", set, drive}), 0);
  EXPECT_EQ(ReadFile(drive + "docs/a.txt"), "newer on the drive");
  EXPECT_EQ(Run(RunRestoreCommand, {"--yes-to-all", set, drive}), 0);
  EXPECT_EQ(ReadFile(drive + "docs/a.txt"), "new a");

  // Error rows and unusable arguments show in the exit status.
  ASSERT_EQ(chmod((drive + "docs/b.txt").c_str(), 0444), 0);
  EXPECT_EQ(Run(RunRestoreCommand, {set, drive}), 1);
  EXPECT_EQ(Run(RunRestoreCommand, {SetPath("missing.fcf"), drive}), 1);
  EXPECT_EQ(Run(RunRestoreCommand, {set}), 2);
  EXPECT_EQ(Run(RunRestoreCommand, {"--yes-to-all", "--no-to-all", set, drive}), 2);
  EXPECT_EQ(Run(RunRestoreCommand, {"--bogus", set, drive}), 2);
}

TEST_F(RestoreCommandsTest, ExtractWritesBareNamesIntoTheFolder) {
  std::string set = MakeSet();
  std::string out = base + "/out";
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  EXPECT_EQ(Run(RunExtractCommand, {set, "X:\\DOCS\\B.TXT", "--to", out}), 0);
  EXPECT_EQ(Tree(out), (std::vector<std::string>{"b.txt"}));
  EXPECT_EQ(ReadFile(out + "/b.txt"), "new b");
  EXPECT_TRUE(Tree(drive).empty());
  EXPECT_FALSE(Exists(temp + "/fernapp-" + std::to_string(getuid()) + "/fernwork/b.txt"));

  // A name that is not in the set fails the command; the others are still written.
  EXPECT_EQ(Run(RunExtractCommand, {set, "E:\\docs\\a.txt", "E:\\nope.txt", "--to", out}), 1);
  EXPECT_EQ(ReadFile(out + "/a.txt"), "new a");
  EXPECT_EQ(Run(RunExtractCommand, {set}), 2);
  EXPECT_EQ(Run(RunExtractCommand, {set, "E:\\docs\\a.txt", "--to"}), 2);
  EXPECT_EQ(Run(RunExtractCommand, {set, "E:\\docs\\a.txt", "--to", base + "/none"}), 1);
}

TEST_F(RestoreCommandsTest, VerifyTellsWholeSetsFromDamagedOnes) {
  std::string set = MakeSet();
  EXPECT_EQ(Run(RunVerifyCommand, {set}), 0);

  CIndependentSetWriter cut;
  cut.AddEntry("E:\\big.bin", Noise(200000, 2), kEntryTime);
  std::string gz;
  ASSERT_TRUE(CIndependentSetWriter::Deflate(cut.Content(), gz));
  ASSERT_TRUE(cut.Write(SetPath("cut.fcf"), static_cast<long>(gz.size() - 100)));
  EXPECT_EQ(Run(RunVerifyCommand, {SetPath("cut.fcf")}), 1);

  // Whole data but a broken check sum at the end of the gzip stream.
  CIndependentSetWriter whole;
  whole.AddEntry("E:\\x.bin", Noise(5000, 3), kEntryTime);
  ASSERT_TRUE(CIndependentSetWriter::Deflate(whole.Content(), gz));
  gz[gz.size() - 6] ^= 0x55;  // the CRC-32 of the trailer
  ASSERT_TRUE(WriteFile(SetPath("crc.fcf"), gz));
  EXPECT_EQ(Run(RunVerifyCommand, {SetPath("crc.fcf")}), 1);

  CIndependentSetWriter shortEntry;
  shortEntry.AddEntry("E:\\s.txt", "abc", kEntryTime, 10);
  ASSERT_TRUE(shortEntry.Write(SetPath("short.fcf")));
  EXPECT_EQ(Run(RunVerifyCommand, {SetPath("short.fcf")}), 1);
  EXPECT_EQ(Run(RunVerifyCommand, {}), 2);
  EXPECT_EQ(Run(RunVerifyCommand, {SetPath("missing.fcf")}), 1);
}

TEST_F(RestoreCommandsTest, ExtractNeverReplacesAFileUnlessTold) {
  std::string set = MakeSet();
  std::string out = base + "/out";
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(out + "/b.txt", "my own b"));
  EXPECT_EQ(Run(RunExtractCommand, {set, "E:\\docs\\b.txt", "E:\\docs\\a.txt", "--to", out}), 1);
  EXPECT_EQ(ReadFile(out + "/b.txt"), "my own b");
  EXPECT_EQ(ReadFile(out + "/a.txt"), "new a");  // the others are still written
  EXPECT_EQ(Tree(out), (std::vector<std::string>{"a.txt", "b.txt"}));  // no partial file left
  EXPECT_EQ(Run(RunExtractCommand, {set, "E:\\docs\\b.txt", "--to", out, "--overwrite"}), 0);
  EXPECT_EQ(ReadFile(out + "/b.txt"), "new b");
  EXPECT_EQ(Run(RunExtractCommand, {set, "E:\\docs\\b.txt", "--to", out, "--force"}), 2);

  // Two named entries of the same file name: the first stays, the second is an error, even
  // with --overwrite.
  CIndependentSetWriter w;
  w.AddEntry("E:\\one\\same.txt", "first same", kEntryTime);
  w.AddEntry("E:\\two\\same.txt", "second same", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("same.fcf")));
  std::string other = base + "/other";
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  EXPECT_EQ(Run(RunExtractCommand, {SetPath("same.fcf"), "E:\\one\\same.txt", "E:\\two\\same.txt", "--to", other,
                                    "--overwrite"}),
            1);
  EXPECT_EQ(ReadFile(other + "/same.txt"), "first same");
  EXPECT_EQ(Tree(other), std::vector<std::string>{"same.txt"});
}

TEST_F(RestoreCommandsTest, AFileThatIsNoGzipStreamIsRefusedByEveryCommand) {
  ASSERT_TRUE(WriteFile(SetPath("empty.fcf"), ""));
  // Plain bytes laid out as a valid entry: read through as they are, they would restore a file.
  CIndependentSetWriter plain;
  plain.AddEntry("E:\\docs\\a.txt", "plain a", kEntryTime);
  ASSERT_TRUE(WriteFile(SetPath("text.fcf"), plain.Content()));
  const std::string out = base + "/out";
  ASSERT_EQ(mkdir(out.c_str(), 0755), 0);
  for (const char* name : {"empty.fcf", "text.fcf"}) {
    const std::string set = SetPath(name);
    EXPECT_EQ(Run(RunVerifyCommand, {set}), 1) << name;
    EXPECT_EQ(Run(RunListCommand, {set}), 1) << name;
    EXPECT_EQ(Run(RunRestoreCommand, {set, drive}), 1) << name;
    EXPECT_EQ(Run(RunExtractCommand, {set, "E:\\docs\\a.txt", "--to", out}), 1) << name;
  }
  EXPECT_TRUE(Tree(drive).empty()) << "nothing of a file that is no set is written";
  EXPECT_TRUE(Tree(out).empty());
  // A gzip stream that holds no entry is a set (one whose run was cancelled before any file).
  CIndependentSetWriter none;
  ASSERT_TRUE(none.Write(SetPath("none.fcf")));
  EXPECT_EQ(Run(RunVerifyCommand, {SetPath("none.fcf")}), 0);
  EXPECT_EQ(Run(RunListCommand, {SetPath("none.fcf")}), 0);
}

}  // namespace
