#include "engine/SetScan.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/RecordingUI.h"
#include "tests/engine/RestoreFixture.h"

using namespace restore_test;

namespace {

constexpr int64_t kEntryTime = 1700000000;

class SetScanTest : public RestoreFolders {
 protected:
  // The names of the entries read whole, and the scan's result.
  CSetScan::Result Names(CSetScan& scan, std::vector<std::string>& names, int stopAfter = -1) {
    return scan.Run([&](const CEntryReader::Entry& entry) {
      names.push_back(entry.name);
      return static_cast<int>(names.size()) != stopAfter;
    });
  }

  CRecordingUI ui;
  std::vector<char> buffer = std::vector<char>(16384);
};

TEST_F(SetScanTest, DamageIsReportedOnceWhereverItIsFound) {
  // No gzip stream at all, an empty file too: damage before the first entry.
  ASSERT_TRUE(WriteFile(SetPath("empty.fcf"), ""));
  CIndependentSetWriter plain;
  plain.AddEntry("E:\\a.txt", "a", kEntryTime);
  ASSERT_TRUE(WriteFile(SetPath("plain.fcf"), plain.Content()));
  for (const char* file : {"empty.fcf", "plain.fcf"}) {
    ui.messages.clear();
    CSetScan scan(&ui, buffer.data());
    ASSERT_TRUE(scan.Open(SetPath(file))) << file;
    std::vector<std::string> names;
    EXPECT_EQ(Names(scan, names), CSetScan::Result::Damaged) << file;
    EXPECT_TRUE(names.empty()) << file;
    EXPECT_FALSE(scan.Close()) << file;
    EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"}) << file;
  }

  // Cut in the middle of its second entry: the first is handed out; a visitor's own finding,
  // a second run and the close add no second message.
  CIndependentSetWriter cut;
  cut.AddEntry("E:\\one.txt", "one", kEntryTime);
  cut.AddEntry("E:\\two.bin", Noise(30000, 2), kEntryTime, 50000);
  ASSERT_TRUE(cut.Write(SetPath("cut.fcf")));
  ui.messages.clear();
  CSetScan scan(&ui, buffer.data());
  ASSERT_TRUE(scan.Open(SetPath("cut.fcf"), true));
  std::vector<std::string> names;
  EXPECT_EQ(Names(scan, names), CSetScan::Result::Damaged);
  EXPECT_EQ(names, std::vector<std::string>{"E:\\one.txt"});
  scan.ShowDamage();
  EXPECT_EQ(scan.Run(), CSetScan::Result::Damaged);
  EXPECT_FALSE(scan.Close());
  EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"});

  // Without a UI nothing is shown; the result says it.
  CSetScan quiet(nullptr, buffer.data());
  ASSERT_TRUE(quiet.Open(SetPath("cut.fcf")));
  EXPECT_EQ(quiet.Run(), CSetScan::Result::Damaged);
  EXPECT_TRUE(quiet.Damaged());
  EXPECT_EQ(ui.messages.size(), 1u);
}

TEST_F(SetScanTest, AStoppedScanGoesOnWhereItStoppedAndAWholeSetEndsClean) {
  CIndependentSetWriter w;
  for (const char* name : {"E:\\a", "E:\\b", "E:\\c"}) w.AddEntry(name, std::string("data of ") + name, kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  CSetScan scan(&ui, buffer.data());
  ASSERT_TRUE(scan.Open(SetPath("s.fcf")));
  std::vector<std::string> names;
  EXPECT_EQ(Names(scan, names, 1), CSetScan::Result::Stopped);
  EXPECT_EQ(names, std::vector<std::string>{"E:\\a"});
  EXPECT_FALSE(scan.Ended());
  EXPECT_EQ(Names(scan, names), CSetScan::Result::End);
  EXPECT_EQ(names, (std::vector<std::string>{"E:\\a", "E:\\b", "E:\\c"}));
  EXPECT_TRUE(scan.Ended());
  EXPECT_EQ(scan.Run(), CSetScan::Result::End);
  EXPECT_TRUE(scan.Close());
  EXPECT_TRUE(ui.messages.empty());

  // A visitor that finds the set's end to be damage (a set that changed since it was checked).
  struct CChanged : CSetScan::Visitor {
    bool Ended() override { return false; }
  } changed;
  CSetScan again(&ui, buffer.data());
  ASSERT_TRUE(again.Open(SetPath("s.fcf")));
  EXPECT_EQ(again.Run(changed), CSetScan::Result::Damaged);
  EXPECT_FALSE(again.Ended());
  EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"});
}

}  // namespace
