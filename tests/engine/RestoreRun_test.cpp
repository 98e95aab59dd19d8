#include "engine/RestoreRun.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <vector>

#include "engine/RestoreJournal.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/RecordingUI.h"
#include "tests/engine/RestoreFixture.h"

using namespace restore_test;

namespace {

constexpr int64_t kEntryTime = 1700000000;
const char kOtherDrive[] =
    "The selected backup set is not from the currently attached USB Flash Drive. Do you want to "
    "restore it to this flash drive anyway?";

// A recording UI that can run something when an entry's path is shown.
class CHookedUI : public CRecordingUI {
 public:
  void SetInfoText(const std::string& text) override {
    CRecordingUI::SetInfoText(text);
    if (onInfo) onInfo(text);
  }
  std::function<void(const std::string&)> onInfo;
};

class RestoreRunTest : public RestoreFolders {
 protected:
  std::string MakeSet(const std::string& file, const std::vector<std::pair<std::string, std::string>>& entries) {
    CIndependentSetWriter w;
    for (const auto& e : entries) w.AddEntry(e.first, e.second, kEntryTime);
    std::string path = SetPath(file);
    EXPECT_TRUE(w.Write(path));
    return path;
  }

  CRestoreRun MakeRun(std::function<std::string()> rootNow = nullptr) {
    return CRestoreRun(ui, stop, buffer.data(), answer, std::move(rootNow));
  }

  CHookedUI ui;
  std::atomic<bool> stop{false};
  std::vector<char> buffer = std::vector<char>(16384);
  OverwriteAnswer answer = OverwriteAnswer::None;
};

TEST_F(RestoreRunTest, ASetOfAnotherDriveIsAskedAboutOnce) {
  std::string own = MakeSet("STICK-1.fcf", {{"E:\\own.txt", "own"}});
  std::string other = MakeSet("OTHER-2.fcf", {{"E:\\o1.txt", "1"}, {"E:\\o2.txt", "2"}});
  std::string third = MakeSet("THIRD-3.fcf", {{"E:\\t.txt", "t"}});
  ui.yesNoAnswers = {false, true};
  auto run = MakeRun([this] { return drive; });
  run.RestoreSelectedSets({{"stick", own}, {"OTHER", other}, {"THIRD", third}}, "STICK", drive);
  // The own set (name equal but for case) unasked; one question per other set.
  EXPECT_EQ(ui.questions, (std::vector<std::string>{kOtherDrive, kOtherDrive}));
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"own.txt", "t.txt"}));
  EXPECT_EQ(ui.infoTexts, (std::vector<std::string>{drive + "own.txt", drive + "t.txt"}));
  EXPECT_EQ(ui.driveInfoRefreshes, 2);
  EXPECT_TRUE(ui.errorLists.empty());
  EXPECT_FALSE(run.DriveChanged());
}

TEST_F(RestoreRunTest, YesToAllCarriesWithinASetButNotToTheNext) {
  std::string one = MakeSet("S-1.fcf", {{"E:\\a", "new a"}, {"E:\\b", "new b"}});
  std::string two = MakeSet("S-2.fcf", {{"E:\\c", "new c"}, {"E:\\d", "new d"}});
  for (const char* n : {"a", "b", "c", "d"}) {
    ASSERT_TRUE(WriteFile(drive + n, "newer"));
    ASSERT_TRUE(SetMtime(drive + n, kEntryTime + 60));
  }
  ui.overwriteAnswers = {3, 0, 2};
  auto run = MakeRun();
  run.RestoreSelectedSets({{"S", one}, {"S", two}}, "S", drive);
  EXPECT_EQ(ui.overwriteQuestions, (std::vector<std::string>{drive + "a", drive + "c", drive + "d"}));
  EXPECT_EQ(ReadFile(drive + "a"), "new a");
  EXPECT_EQ(ReadFile(drive + "b"), "new b");
  EXPECT_EQ(ReadFile(drive + "c"), "newer");
  EXPECT_EQ(ReadFile(drive + "d"), "new d");
  EXPECT_EQ(answer, OverwriteAnswer::Yes);
  EXPECT_TRUE(ui.errorLists.empty());  // declining is no error

  // RestoreSet alone also starts without a remembered answer.
  answer = OverwriteAnswer::NoToAll;
  ASSERT_TRUE(SetMtime(drive + "a", kEntryTime + 60));
  ASSERT_TRUE(SetMtime(drive + "b", kEntryTime - 60));
  ui.overwriteAnswers = {2};
  EXPECT_TRUE(run.RestoreSet(one, drive));
  EXPECT_EQ(ui.overwriteQuestions.size(), 4u);
}

TEST_F(RestoreRunTest, CancelDuringTheFirstSetOpensNoOtherSet) {
  std::string one = MakeSet("S-1.fcf", {{"E:\\1a", "x"}, {"E:\\1b", "x"}, {"E:\\1c", "x"}});
  std::string two = MakeSet("S-2.fcf", {{"E:\\2a", "x"}});
  std::string three = MakeSet("S-3.fcf", {{"E:\\3a", "x"}});
  // A read-only file gives the first entry an error row, which is still shown.
  ASSERT_TRUE(WriteFile(drive + "1a", "ro"));
  ASSERT_EQ(chmod((drive + "1a").c_str(), 0444), 0);
  ui.onInfo = [this](const std::string&) { stop = true; };
  auto run = MakeRun();
  run.RestoreSelectedSets({{"S", one}, {"S", two}, {"S", three}}, "S", drive);
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"1a"}));
  EXPECT_EQ(ui.infoTexts.size(), 1u);
  EXPECT_EQ(ui.driveInfoRefreshes, 1);
  ASSERT_EQ(ui.errorLists.size(), 1u);
  EXPECT_EQ(ui.errorLists[0].fileNames, (std::vector<std::string>{drive + "1a"}));
  EXPECT_EQ(ui.errorLists[0].errorTexts, (std::vector<std::string>{"File is read-only. Cannot overwrite."}));
  EXPECT_FALSE(run.DriveChanged());
}

TEST_F(RestoreRunTest, ADriveRootChangeEndsTheRunAfterTheEntryInProgress) {
  std::string one = MakeSet("S-1.fcf", {{"E:\\1a", "x"}, {"E:\\1b", "x"}, {"E:\\1c", "x"}});
  std::string two = MakeSet("S-2.fcf", {{"E:\\2a", "x"}});
  int calls = 0;
  std::string other = base + "/other/";
  ASSERT_EQ(mkdir(other.c_str(), 0755), 0);
  // The drive is there for the set's start and the first two entries, then another one arrives.
  auto run = MakeRun([&] { return ++calls <= 3 ? drive : other; });
  run.RestoreSelectedSets({{"S", one}, {"S", two}}, "S", drive);
  EXPECT_TRUE(run.DriveChanged());
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"1a", "1b"}));
  EXPECT_TRUE(Tree(other).empty());
  EXPECT_EQ(ui.driveInfoRefreshes, 1);

  // Removed before the run: nothing is opened at all.
  auto run2 = MakeRun([] { return std::string(); });
  run2.RestoreSelectedSets({{"S", two}}, "S", drive);
  EXPECT_TRUE(run2.DriveChanged());
  EXPECT_FALSE(Exists(drive + "2a"));
}

TEST_F(RestoreRunTest, ErrorRowsStopAtOneThousandPerSet) {
  CIndependentSetWriter many, fewer;
  for (int i = 0; i < 1005; ++i) many.AddEntry("E:\\..\\n" + std::to_string(i), "d", kEntryTime);
  many.AddEntry("E:\\late.txt", "late", kEntryTime);
  for (int i = 0; i < 999; ++i) fewer.AddEntry("E:\\..\\m" + std::to_string(i), "d", kEntryTime);
  fewer.AddEntry("E:\\end.txt", "end", kEntryTime);
  ASSERT_TRUE(many.Write(SetPath("S-1.fcf")));
  ASSERT_TRUE(fewer.Write(SetPath("S-2.fcf")));
  auto run = MakeRun();
  run.RestoreSelectedSets({{"S", SetPath("S-1.fcf")}, {"S", SetPath("S-2.fcf")}}, "S", drive);
  ASSERT_EQ(ui.errorLists.size(), 2u);
  const auto& first = ui.errorLists[0];
  ASSERT_EQ(first.fileNames.size(), 1001u);
  ASSERT_EQ(first.errorTexts.size(), 1001u);
  EXPECT_EQ(first.fileNames[999], "E:\\..\\n999");
  EXPECT_EQ(first.fileNames[1000], "<Exceeded Maximum number of Errors>");
  EXPECT_EQ(first.errorTexts[1000], "<Cancelling operation>");
  EXPECT_EQ(ui.errorLists[1].fileNames.size(), 999u);
  EXPECT_EQ(ui.errorLists[1].fileNames.back(), "E:\\..\\m998");
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"end.txt"}));  // the first set ended early
}

TEST_F(RestoreRunTest, ASetThatCannotBeOpenedIsSkippedSilently) {
  std::string good = MakeSet("S-2.fcf", {{"E:\\g.txt", "g"}});
  auto run = MakeRun();
  EXPECT_FALSE(run.RestoreSet(SetPath("gone.fcf"), drive));
  run.RestoreSelectedSets({{"S", SetPath("gone.fcf")}, {"S", good}}, "S", drive);
  EXPECT_EQ(ui.driveInfoRefreshes, 1);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_TRUE(ui.errorLists.empty());
  EXPECT_EQ(ReadFile(drive + "g.txt"), "g");

  // A damaged set: "error reading" once, its rows shown, and the next set is still restored.
  CIndependentSetWriter w;
  w.AddEntry("E:\\..\\bad", "x", kEntryTime);
  w.AddEntry("E:\\cut.txt", "abc", kEntryTime, 99);
  ASSERT_TRUE(w.Write(SetPath("S-3.fcf")));
  std::string after = MakeSet("S-4.fcf", {{"E:\\after.txt", "after"}});
  run.RestoreSelectedSets({{"S", SetPath("S-3.fcf")}, {"S", after}}, "S", drive);
  EXPECT_EQ(ui.messages, (std::vector<std::string>{"error reading"}));
  ASSERT_EQ(ui.errorLists.size(), 1u);
  EXPECT_EQ(ui.errorLists[0].fileNames.size(), 2u);  // the set's own row, then the refused name
  EXPECT_FALSE(Exists(drive + "cut.txt"));
  EXPECT_EQ(ReadFile(drive + "after.txt"), "after");
}

TEST_F(RestoreRunTest, ADamagedSetIsNamedWithWhatCouldNotBeRead) {
  // Cut inside the third entry's data: the first two are read whole.
  CIndependentSetWriter w;
  w.AddEntry("E:\\docs\\one.txt", "one", kEntryTime);
  w.AddEntry("E:\\docs\\two.txt", "two", kEntryTime);
  w.AddEntry("E:\\docs\\big.bin", Noise(300000, 7), kEntryTime);
  w.AddEntry("E:\\docs\\last.txt", "last", kEntryTime);
  std::string gz;
  ASSERT_TRUE(CIndependentSetWriter::Deflate(w.Content(), gz));
  const std::string cut = SetPath("S-5.fcf");
  ASSERT_TRUE(w.Write(cut, static_cast<long>(gz.size() / 2)));
  auto run = MakeRun();
  EXPECT_TRUE(run.RestoreSet(cut, drive));
  EXPECT_EQ(ui.messages, (std::vector<std::string>{"error reading"}));
  ASSERT_EQ(ui.errorLists.size(), 1u);
  const auto& rows = ui.errorLists[0];
  ASSERT_FALSE(rows.fileNames.empty());
  EXPECT_EQ(rows.fileNames[0], cut);
  EXPECT_EQ(rows.errorTexts[0], "The backup set is damaged: the files stored after " + drive +
                                    "docs/two.txt could not be read.");
  EXPECT_FALSE(Exists(drive + "docs/big.bin"));
  EXPECT_FALSE(Exists(drive + "docs/last.txt"));

  // A file that is no gzip stream at all: "error reading", its row, and nothing written.
  ui.messages.clear();
  ui.errorLists.clear();
  const std::string plain = SetPath("S-6.fcf");
  ASSERT_TRUE(WriteFile(plain, w.Content()));
  EXPECT_TRUE(run.RestoreSet(plain, drive));
  EXPECT_EQ(ui.messages, (std::vector<std::string>{"error reading"}));
  ASSERT_EQ(ui.errorLists.size(), 1u);
  EXPECT_EQ(ui.errorLists[0].fileNames, std::vector<std::string>{plain});
  EXPECT_EQ(ui.errorLists[0].errorTexts,
            std::vector<std::string>{"The backup set is damaged: none of its files could be read."});
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"docs", "docs/one.txt", "docs/two.txt"}));
}

}  // namespace

namespace {

// The viewer's restore of ticked files goes through the same RestoreSet as the main window.
TEST_F(RestoreRunTest, PickedEntriesAloneAreRestoredWithTheSameRowsAndCap) {
  CIndependentSetWriter w;
  w.AddEntry("E:\\docs\\a.txt", "first a", kEntryTime);
  w.AddEntry("E:\\docs\\b.txt", "not ticked", kEntryTime);
  w.AddEntry("E:\\docs\\a.txt", "second a", kEntryTime);  // the tick names the first only
  for (int i = 0; i < 1002; ++i) w.AddEntry("E:\\..\\bad" + std::to_string(i), "d", kEntryTime);
  w.AddEntry("E:\\late.txt", "after the cap", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("S-1.fcf")));
  std::vector<std::string> picks = {"X:\\DOCS\\A.TXT", "E:\\late.txt", "E:\\not\\there.txt"};
  for (int i = 0; i < 1002; ++i) picks.push_back("E:\\..\\bad" + std::to_string(i));
  auto run = MakeRun();
  EXPECT_TRUE(run.RestoreSet(SetPath("S-1.fcf"), drive, &picks));
  EXPECT_EQ(ReadFile(drive + "docs/a.txt"), "first a");
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"docs", "docs/a.txt"}));  // cut off before late.txt
  ASSERT_EQ(ui.errorLists.size(), 1u);
  ASSERT_EQ(ui.errorLists[0].fileNames.size(), 1001u);
  EXPECT_EQ(ui.errorLists[0].fileNames[0], "E:\\..\\bad0");
  EXPECT_EQ(ui.errorLists[0].fileNames[1000], "<Exceeded Maximum number of Errors>");
  EXPECT_EQ(ui.infoTexts.front(), drive + "docs/a.txt");
  EXPECT_EQ(ui.driveInfoRefreshes, 1);
  EXPECT_TRUE(ui.messages.empty());
}

}  // namespace

namespace {

// A name stored twice, its first copy still waiting under a temporary name when the second
// comes: the second replaces the first, so a set that fails its check (found at its end, long
// after both were read) keeps the first copy.
TEST_F(RestoreRunTest, ASecondCopyOfAWaitingFileReplacesItOnlyFromAGoodSet) {
  for (bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged" : "good");
    std::vector<std::pair<std::string, std::string>> entries = {{"E:\\dup", "first"}};
    for (int i = 0; i < 5; ++i) entries.push_back({"E:\\n" + std::to_string(i), Noise(300, i)});
    entries.push_back({"E:\\dup", "second"});
    // Enough after it that the damage at the set's end is met by a later read.
    for (int i = 5; i < 40; ++i) entries.push_back({"E:\\n" + std::to_string(i), Noise(40000, i)});
    const std::string set = MakeSet(damaged ? "bad.fcf" : "good.fcf", entries);
    if (damaged) {
      std::string bytes = ReadFile(set);
      bytes[bytes.size() - 8] = static_cast<char>(bytes[bytes.size() - 8] ^ 0x01);  // the CRC-32
      ASSERT_TRUE(WriteFile(set, bytes));
    }
    auto run = MakeRun();
    EXPECT_TRUE(run.RestoreSet(set, drive));
    EXPECT_EQ(ReadFile(drive + "dup"), damaged ? "first" : "second");
    EXPECT_EQ(ReadFile(drive + "n4"), Noise(300, 4));
    for (const std::string& name : Tree(drive))
      EXPECT_EQ(name.find(CRestoreJournal::TempPrefix()), std::string::npos) << name;
    for (const std::string& name : Tree(drive)) unlink((drive + name).c_str());
  }
}

}  // namespace
