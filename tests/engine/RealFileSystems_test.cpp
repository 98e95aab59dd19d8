// Restores onto the file systems sticks carry, mounted from images: replacing files, names of
// the longest length allowed, and the user's own ".bak" files.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/RestoreJournal.h"
#include "engine/RestoreRun.h"
#include "platform/SafeOpen.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/LoopImage.h"
#include "tests/engine/RecordingUI.h"
#include "tests/engine/RestoreFixture.h"

using namespace restore_test;

namespace {

constexpr int64_t kEntryTime = 1700000000;

class RealFileSystemTest : public RestoreFolders, public ::testing::WithParamInterface<const char*> {
 protected:
  void Restore(CRecordingUI& ui, const std::string& set, const std::string& root) {
    std::atomic<bool> stop{false};
    OverwriteAnswer answer = OverwriteAnswer::None;
    CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
    EXPECT_TRUE(run.RestoreSet(set, root));
  }
  std::vector<char> buffer = std::vector<char>(16384);
};

TEST_P(RealFileSystemTest, ReplacesFilesOfEveryNameLengthAndLeavesTheUsersBakAlone) {
  CLoopImage image;
  std::string why;
  if (!image.Make(base, GetParam(), why)) GTEST_SKIP() << why;
  const std::string root = image.Root();
  const std::string longOld = std::string(251, 'o') + ".txt";  // 255 bytes, replaced
  const std::string longNew = std::string(251, 'n') + ".txt";  // 255 bytes, created
  ASSERT_EQ(longOld.size(), 255u);
  ASSERT_TRUE(WriteFile(root + "old.txt", "earlier old"));
  ASSERT_TRUE(WriteFile(root + "old.txt.bak", "the user's own bak"));
  ASSERT_TRUE(WriteFile(root + longOld, "earlier long"));
  ASSERT_TRUE(SetMtime(root + "old.txt", kEntryTime - 10));
  ASSERT_TRUE(SetMtime(root + longOld, kEntryTime - 10));

  CIndependentSetWriter w;
  w.AddEntry("E:\\old.txt", "restored old", kEntryTime);
  w.AddEntry("E:\\" + longOld, "restored long", kEntryTime);
  w.AddEntry("E:\\dir\\" + longNew, "new long", kEntryTime);
  w.AddEntry("E:\\dir\\sub\\big.bin", Noise(300000, 2), kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("good.fcf")));
  CRecordingUI ui;
  Restore(ui, SetPath("good.fcf"), root);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_TRUE(ui.errorLists.empty()) << (ui.errorLists.empty() ? "" : ui.errorLists[0].errorTexts[0]);
  EXPECT_EQ(ReadFile(root + "old.txt"), "restored old");
  EXPECT_EQ(ReadFile(root + longOld), "restored long");
  EXPECT_EQ(ReadFile(root + "dir/" + longNew), "new long");
  EXPECT_EQ(ReadFile(root + "dir/sub/big.bin"), Noise(300000, 2));
  EXPECT_EQ(ReadFile(root + "old.txt.bak"), "the user's own bak");

  // A set cut short replaces nothing, on this file system too.
  CIndependentSetWriter cut;
  cut.AddEntry("E:\\old.txt", "never", kEntryTime + 5);
  cut.AddEntry("E:\\" + longOld, "never", kEntryTime + 5);
  cut.AddEntry("E:\\dir\\sub\\big.bin", Noise(300000, 3), kEntryTime + 5);
  std::string gz;
  ASSERT_TRUE(CIndependentSetWriter::Deflate(cut.Content(), gz));
  ASSERT_TRUE(WriteFile(SetPath("cut.fcf"), gz.substr(0, gz.size() - 4)));
  CRecordingUI cutUI;
  Restore(cutUI, SetPath("cut.fcf"), root);
  EXPECT_EQ(cutUI.messages, std::vector<std::string>{"error reading"});
  EXPECT_EQ(ReadFile(root + "old.txt"), "restored old");
  EXPECT_EQ(ReadFile(root + longOld), "restored long");
  EXPECT_EQ(ReadFile(root + "dir/sub/big.bin"), Noise(300000, 2));

  std::vector<std::string> tree = Tree(root);
  for (const std::string& path : tree) EXPECT_EQ(path.find(CRestoreJournal::TempPrefix()), std::string::npos) << path;
  EXPECT_TRUE(image.Unmount());
}

// A backup set takes its name, and a restored file too where it must not replace one, without
// ever replacing a file, also where the file system refuses RENAME_NOREPLACE (the FUSE ones).
TEST_P(RealFileSystemTest, RenameWithoutReplacingLeavesAnExistingFile) {
  CLoopImage image;
  std::string why;
  if (!image.Make(base, GetParam(), why)) GTEST_SKIP() << why;
  const std::string root = image.Root();
  ASSERT_TRUE(WriteFile(root + "from", "new bytes"));
  ASSERT_TRUE(WriteFile(root + "taken", "the earlier file"));
  fern::CFolderFd folder(fern::OpenRootFolder(root));
  ASSERT_TRUE(folder.IsOpen());
  errno = 0;
  EXPECT_EQ(fern::RenameNoReplace(folder.Get(), "from", "taken"), -1);
  EXPECT_EQ(errno, EEXIST);
  EXPECT_EQ(ReadFile(root + "taken"), "the earlier file");
  EXPECT_EQ(ReadFile(root + "from"), "new bytes");
  ASSERT_EQ(fern::RenameNoReplace(folder.Get(), "from", "free"), 0) << strerror(errno);
  EXPECT_EQ(ReadFile(root + "free"), "new bytes");
  struct stat st;
  EXPECT_NE(lstat((root + "from").c_str(), &st), 0) << "the old name is gone";
  EXPECT_EQ(errno, ENOENT);
  folder = fern::CFolderFd();
  EXPECT_TRUE(image.Unmount());
}

INSTANTIATE_TEST_SUITE_P(Sticks, RealFileSystemTest, ::testing::Values("ext4", "ntfs-3g", "exfat-fuse"),
                         [](const auto& info) {
                           std::string name = info.param;
                           for (char& c : name)
                             if (c == '-') c = '_';
                           return name;
                         });

}  // namespace
