// A restore never leaves the drive worse than before: damaged sets, sets that change between
// the verifying pass and the restore, and a drive that goes away during the restore.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/RestoreJournal.h"
#include "engine/RestoreTarget.h"
#include "engine/RestoreRun.h"
#include "platform/DriveRoot.h"
#include "storage/CompressedFile.h"
#include "tests/engine/EntryCalls.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/RecordingUI.h"
#include "tests/engine/RestoreFixture.h"
#include "tests/storage/GzipCheck.h"

using namespace restore_test;

namespace {

constexpr int64_t kEntryTime = 1700000000;

bool HasTempFile(const std::vector<std::string>& tree) {
  for (const std::string& path : tree)
    if (path.find(CRestoreJournal::TempPrefix()) != std::string::npos) return true;
  return false;
}

class RestoreSafetyTest : public RestoreFolders {
 protected:
  // Restores one set with a fresh run; the drive holds what the caller put there.
  void Restore(CRecordingUI& ui, const std::string& set) {
    std::atomic<bool> stop{false};
    OverwriteAnswer answer = OverwriteAnswer::None;
    CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
    run.RestoreSet(set, drive);
  }
  std::vector<char> buffer = std::vector<char>(16384);
};

TEST_F(RestoreSafetyTest, DamagedSetsNeverReplaceAFileWithWrongData) {
  // Earlier files on the drive, older than the entries; one entry is a new file.
  const std::map<std::string, std::string> earlier = {
      {"a.txt", "the earlier a"}, {"dir/b.bin", Noise(30000, 3)}, {"dir/c.txt", "earlier c"}};
  const std::map<std::string, std::string> entries = {{"a.txt", "restored a, a little longer"},
                                                      {"dir/b.bin", Noise(50000, 9)},
                                                      {"dir/c.txt", std::string(20000, 'c')},
                                                      {"new.txt", Noise(3000, 4)}};
  CIndependentSetWriter w;
  for (const auto& [path, data] : entries) {
    std::string stored = "E:\\" + path;
    for (char& ch : stored)
      if (ch == '/') ch = '\\';
    w.AddEntry(stored, data, kEntryTime);
  }
  std::string good;
  ASSERT_TRUE(CIndependentSetWriter::Deflate(w.Content(), good));

  // Flipped bytes all over the stream (header, data, trailer) and cuts at many lengths.
  std::vector<std::string> damaged;
  for (size_t pos = 0; pos < good.size(); pos += good.size() / 97 + 1) {
    std::string d = good;
    d[pos] = static_cast<char>(d[pos] ^ (1 << (pos % 8)));
    damaged.push_back(d);
  }
  for (size_t i = 0; i < 8; ++i) {
    std::string d = good;
    d[d.size() - 1 - i] = static_cast<char>(d[d.size() - 1 - i] ^ 0x10);  // the trailer
    damaged.push_back(d);
  }
  for (size_t cut = 1; cut < good.size(); cut += good.size() / 31 + 1) damaged.push_back(good.substr(0, cut));
  damaged.push_back(good.substr(0, good.size() - 1));

  int replacedFromBadSets = 0, checksFailed = 0;
  for (size_t k = 0; k < damaged.size(); ++k) {
    SCOPED_TRACE("damaged set " + std::to_string(k));
    ASSERT_EQ(system(("rm -rf '" + drive + "' && mkdir -p '" + drive + "dir'").c_str()), 0);
    for (const auto& [path, data] : earlier) {
      ASSERT_TRUE(WriteFile(drive + path, data));
      ASSERT_TRUE(SetMtime(drive + path, kEntryTime - 100));
    }
    const std::string set = SetPath("d.fcf");
    ASSERT_TRUE(WriteFile(set, damaged[k]));
    std::string plain;
    const bool passes = InflateGzip(damaged[k], plain);
    if (!passes) ++checksFailed;

    CRecordingUI ui;
    Restore(ui, set);
    EXPECT_LE(ui.messages.size(), 1u);
    if (!passes) {
      EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"});
    }
    for (const auto& [path, data] : earlier) {
      const std::string now = ReadFile(drive + path);
      if (now == data) continue;
      // Replaced: only ever by the entry's own bytes, and only from a set that passed.
      EXPECT_TRUE(passes) << path << " replaced from a set that fails its check";
      EXPECT_EQ(now, entries.at(path)) << path;
      ++replacedFromBadSets;
    }
    std::vector<std::string> named;
    for (const auto& list : ui.errorLists) named.insert(named.end(), list.fileNames.begin(), list.fileNames.end());
    if (Exists(drive + "new.txt") && !passes) {
      // A file that was not there before, written from a damaged set, is named.
      EXPECT_NE(std::find(named.begin(), named.end(), drive + "new.txt"), named.end());
    }
    if (Exists(drive + "new.txt") && passes) {
      EXPECT_EQ(ReadFile(drive + "new.txt"), entries.at("new.txt"));
    }
    EXPECT_FALSE(HasTempFile(Tree(drive)));
  }
  EXPECT_GT(checksFailed, 100);  // the sweep did damage sets
  EXPECT_EQ(replacedFromBadSets, 0);

  // And the undamaged set does replace them all.
  ASSERT_TRUE(WriteFile(SetPath("g.fcf"), good));
  CRecordingUI ui;
  Restore(ui, SetPath("g.fcf"));
  EXPECT_TRUE(ui.messages.empty());
  for (const auto& [path, data] : entries) EXPECT_EQ(ReadFile(drive + path), data) << path;
}

TEST_F(RestoreSafetyTest, ASetThatChangesAfterTheVerifyingPassReplacesNothingOfTheChange) {
  CIndependentSetWriter first, second;
  first.AddEntry("E:\\one.txt", "one from the first", kEntryTime);
  first.AddEntry("E:\\two.txt", "two from the first", kEntryTime);
  second.AddEntry("E:\\one.txt", "one from the first", kEntryTime);
  second.AddEntry("E:\\two.txt", "two, changed since", kEntryTime);  // a good stream of its own
  ASSERT_TRUE(first.Write(SetPath("a.fcf")));
  ASSERT_TRUE(second.Write(SetPath("b.fcf")));
  ASSERT_TRUE(WriteFile(drive + "one.txt", "earlier one"));
  ASSERT_TRUE(WriteFile(drive + "two.txt", "earlier two"));
  ASSERT_TRUE(SetMtime(drive + "one.txt", kEntryTime - 1));
  ASSERT_TRUE(SetMtime(drive + "two.txt", kEntryTime - 1));

  CRecordingUI ui;
  OverwriteAnswer answer = OverwriteAnswer::None;
  // The checking pass reads the first set while the restore reads the second.
  auto calls = CEntryCalls::Read(ui, buffer.data(), answer, SetPath("b.fcf"), drive, nullptr, "", nullptr, nullptr,
                                 SetPath("a.fcf"));
  ASSERT_EQ(calls.size(), 3u);
  EXPECT_TRUE(calls[0].more && calls[1].more);
  EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"});
  EXPECT_EQ(ReadFile(drive + "one.txt"), "one from the first");  // matched the verified set
  EXPECT_EQ(ReadFile(drive + "two.txt"), "earlier two");
  EXPECT_FALSE(HasTempFile(Tree(drive)));
}

TEST_F(RestoreSafetyTest, ADamagedSetWritesOnlyNewFilesAndNamesThem) {
  CIndependentSetWriter w;
  w.AddEntry("E:\\old.txt", "restored old", kEntryTime);
  w.AddEntry("E:\\fresh.txt", "fresh", kEntryTime);
  w.AddEntry("E:\\cut.bin", Noise(5000, 1), kEntryTime, 9000);  // cut short inside its data
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  ASSERT_TRUE(WriteFile(drive + "old.txt", "earlier old"));
  ASSERT_TRUE(SetMtime(drive + "old.txt", kEntryTime - 1));

  CRecordingUI ui;
  Restore(ui, SetPath("s.fcf"));
  EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"});
  EXPECT_EQ(ReadFile(drive + "old.txt"), "earlier old");
  EXPECT_EQ(ReadFile(drive + "fresh.txt"), "fresh");
  EXPECT_FALSE(Exists(drive + "cut.bin"));
  ASSERT_EQ(ui.errorLists.size(), 1u);
  const auto& list = ui.errorLists[0];
  ASSERT_EQ(list.fileNames.size(), 3u);
  // The set itself first, with the last entry read whole, then the files that need a look.
  EXPECT_EQ(list.fileNames[0], SetPath("s.fcf"));
  EXPECT_EQ(list.errorTexts[0],
            "The backup set is damaged: the files stored after " + drive + "fresh.txt could not be read.");
  EXPECT_EQ(list.fileNames[1], drive + "old.txt");
  EXPECT_NE(list.errorTexts[1].find("Not replaced"), std::string::npos);
  EXPECT_EQ(list.fileNames[2], drive + "fresh.txt");
  EXPECT_NE(list.errorTexts[2].find("damaged"), std::string::npos);
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"fresh.txt", "old.txt"}));
}

// A UI that unmounts the drive once the first entry has been restored.
class UnmountingUI : public CRecordingUI {
 public:
  std::string point;
  bool done = false;
  void SetInfoText(const std::string& text) override {
    CRecordingUI::SetInfoText(text);
    if (!done) done = umount2(point.c_str(), MNT_DETACH) == 0;
  }
};

TEST_F(RestoreSafetyTest, NothingIsWrittenOnceTheDriveIsNoLongerMountedThere) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  const std::string point = base + "/stick";
  ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
  if (mount("fern-test", point.c_str(), "tmpfs", 0, "size=8m") != 0)
    GTEST_SKIP() << "mount of a tmpfs not allowed here: " << strerror(errno);
  fern::CDriveIdentity atStart;
  ASSERT_TRUE(fern::IdentifyFolder(point, atStart));
  EXPECT_TRUE(atStart.mountRoot);

  CIndependentSetWriter w;
  for (int i = 0; i < 20; ++i) w.AddEntry("E:\\d\\f" + std::to_string(i) + ".txt", "data", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  UnmountingUI ui;
  ui.point = point;
  std::atomic<bool> stop{false};
  OverwriteAnswer answer = OverwriteAnswer::None;
  CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
  run.RestoreSelectedSets({{"", SetPath("s.fcf")}}, "", point + "/");
  umount2(point.c_str(), MNT_DETACH);  // in case the UI was never called
  EXPECT_TRUE(ui.done);
  EXPECT_TRUE(run.DriveChanged());
  // The bare mount-point folder on the PC's own disk received nothing.
  EXPECT_TRUE(Tree(point).empty()) << Tree(point).size();
  EXPECT_TRUE(ui.messages.empty());

  // A restore that starts after the drive is gone (the viewer's case: the drive was seen when
  // it opened) writes nothing either.
  CRestoreTarget target(ui, answer);
  EXPECT_FALSE(target.SetDrive(point + "/", &atStart));
  EXPECT_TRUE(target.Lost());
  CRestoreRun later(ui, stop, buffer.data(), answer, nullptr);
  later.SetExpectedDrive(atStart);
  EXPECT_TRUE(later.RestoreSet(SetPath("s.fcf"), point + "/"));
  EXPECT_TRUE(later.DriveChanged());
  EXPECT_TRUE(Tree(point).empty());
  rmdir(point.c_str());
}

}  // namespace

namespace {

TEST_F(RestoreSafetyTest, ANearlyFullStickStillHasEveryFileReplaced) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  const std::string point = base + "/full";
  ASSERT_EQ(mkdir(point.c_str(), 0755), 0);
  if (mount("fern-test", point.c_str(), "tmpfs", 0, "size=6m") != 0)
    GTEST_SKIP() << "mount of a tmpfs not allowed here: " << strerror(errno);
  struct Unmount {
    std::string point;
    ~Unmount() { umount2(point.c_str(), MNT_DETACH); }
  } unmount{point};
  // Four files of 1 MiB on a 6 MiB stick: a copy of each fits beside the rest, not all four.
  CIndependentSetWriter w;
  for (int i = 0; i < 4; ++i) {
    const std::string leaf = "f" + std::to_string(i) + ".bin";
    ASSERT_TRUE(WriteFile(point + "/" + leaf, Noise(1 << 20, 10 + i)));
    ASSERT_TRUE(SetMtime(point + "/" + leaf, kEntryTime - 1));
    w.AddEntry("E:\\" + leaf, Noise(1 << 20, 20 + i), kEntryTime);
  }
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  CRecordingUI ui;
  std::atomic<bool> stop{false};
  OverwriteAnswer answer = OverwriteAnswer::None;
  CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
  run.RestoreSet(SetPath("s.fcf"), point + "/");
  EXPECT_TRUE(ui.errorLists.empty()) << ui.errorLists[0].errorTexts[0];
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(ReadFile(point + "/f" + std::to_string(i) + ".bin"), Noise(1 << 20, 20 + i)) << i;
  EXPECT_EQ(Tree(point).size(), 4u);
}

}  // namespace

namespace {

// A UI that swaps the file at path for a folder while the restored copy waits to be put in place.
class SwappingUI : public CRecordingUI {
 public:
  std::string path;
  void SetInfoText(const std::string& text) override {
    CRecordingUI::SetInfoText(text);
    if (unlink(path.c_str()) == 0 && mkdir(path.c_str(), 0755) == 0) WriteFile(path + "/inside", "mine");
  }
};

TEST_F(RestoreSafetyTest, WhatTookTheEarlierFilesPlaceIsNeverMovedOrReplaced) {
  CIndependentSetWriter w;
  w.AddEntry("E:\\x.txt", "restored", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  ASSERT_TRUE(WriteFile(drive + "x.txt", "earlier"));
  ASSERT_TRUE(SetMtime(drive + "x.txt", kEntryTime - 1));
  SwappingUI ui;
  ui.path = drive + "x.txt";
  Restore(ui, SetPath("s.fcf"));
  EXPECT_EQ(ReadFile(drive + "x.txt/inside"), "mine");
  ASSERT_EQ(ui.errorLists.size(), 1u);
  EXPECT_EQ(ui.errorLists[0].fileNames, std::vector<std::string>{drive + "x.txt"});
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"x.txt", "x.txt/inside"}));
}

}  // namespace

namespace {

TEST_F(RestoreSafetyTest, ACancelDuringTheVerifyingPassWritesNothing) {
  CIndependentSetWriter w;
  for (int i = 0; i < 50; ++i) w.AddEntry("E:\\f" + std::to_string(i), Noise(2000, i), kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  CRecordingUI ui;
  std::atomic<bool> stop{true};
  OverwriteAnswer answer = OverwriteAnswer::None;
  CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
  EXPECT_TRUE(run.RestoreSet(SetPath("s.fcf"), drive));
  EXPECT_TRUE(Tree(drive).empty());
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_EQ(ui.driveInfoRefreshes, 1);
}

}  // namespace

namespace {

// The restore runs ahead of the verifying pass (slowed down here between its entries); a batch
// that fills up must wait for the pass before anything earlier is replaced.
class ConcurrentVerifyTest : public RestoreSafetyTest {
 protected:
  static constexpr int kFiles = 300;  // more than one batch of files

  // Earlier files older than the entries; the set holds a new copy of each.
  void MakeSet(const std::string& set) {
    CIndependentSetWriter w;
    for (int i = 0; i < kFiles; ++i) {
      const std::string leaf = "f" + std::to_string(i);
      ASSERT_TRUE(WriteFile(drive + leaf, "earlier " + leaf));
      ASSERT_TRUE(SetMtime(drive + leaf, kEntryTime - 1));
      // Data that does not compress: the set's end lies far beyond its first entries.
      w.AddEntry("E:\\" + leaf, Noise(4000, i + 1), kEntryTime);
    }
    ASSERT_TRUE(w.Write(set));
  }

  // A set of new files only: nothing of the same name is on the drive.
  void MakeNewFilesSet(const std::string& set) {
    CIndependentSetWriter w;
    for (int i = 0; i < kFiles; ++i) w.AddEntry("E:\\n" + std::to_string(i), Noise(4000, i + 1), kEntryTime);
    ASSERT_TRUE(w.Write(set));
  }

  // Restores with a verifying pass that takes a while over each entry.
  void RestoreRacing(CRecordingUI& ui, const std::string& set, const std::atomic<bool>& stop,
                     std::vector<std::string>& names, std::vector<std::string>& texts) {
    RestoreWithPass(ui, set, stop, names, texts, [&stop] {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      return stop.load();
    });
  }

  // Restores while the verifying pass asks `stopped` before each entry.
  void RestoreWithPass(CRecordingUI& ui, const std::string& set, const std::atomic<bool>& stop,
                       std::vector<std::string>& names, std::vector<std::string>& texts,
                       std::function<bool()> stopped) {
    OverwriteAnswer answer = OverwriteAnswer::None;
    int read = 0;
    // A stop asked while the pass still runs: what was written so far is dropped.
    auto stopAt20 = [&] { return read++ == 20 && stop.load(); };
    std::vector<std::string> laterNames, laterTexts;
    for (const EntryCall& call : CEntryCalls::Read(ui, buffer.data(), answer, set, drive, nullptr, "", &laterNames,
                                                   &laterTexts, set, std::move(stopped), stopAt20)) {
      if (call.more && !call.error.empty()) {
        names.push_back(call.name);
        texts.push_back(call.error);
      }
    }
    names.insert(names.end(), laterNames.begin(), laterNames.end());
    texts.insert(texts.end(), laterTexts.begin(), laterTexts.end());
  }

  // Restores with a pass that never stops; how many times the pass asked (once before each
  // entry it read).
  int RestoreCountingPass(CRecordingUI& ui, const std::string& set, std::vector<std::string>& names,
                          std::vector<std::string>& texts) {
    std::atomic<int> asked{0};
    std::atomic<bool> stop{false};
    RestoreWithPass(ui, set, stop, names, texts, [&asked] {
      ++asked;
      return false;
    });
    return asked.load();
  }

  // Only the gzip check at the set's end fails: every entry inflates without an error.
  void DamageTheCheck(const std::string& set) {
    std::string bytes = ReadFile(set);
    ASSERT_GT(bytes.size(), 8u);
    bytes[bytes.size() - 6] ^= 0x10;
    ASSERT_TRUE(WriteFile(set, bytes));
  }
};

TEST_F(ConcurrentVerifyTest, AVerifyingPassThatFindsDamageLateStopsEveryReplace) {
  const std::string set = SetPath("s.fcf");
  MakeSet(set);
  DamageTheCheck(set);

  CRecordingUI ui;
  std::atomic<bool> stop{false};
  std::vector<std::string> names, texts;
  RestoreRacing(ui, set, stop, names, texts);
  EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"});
  for (int i = 0; i < kFiles; ++i) {
    const std::string leaf = "f" + std::to_string(i);
    EXPECT_EQ(ReadFile(drive + leaf), "earlier " + leaf);
  }
  // Every entry read before the damage showed is named (the last few may go with the end).
  EXPECT_GT(names.size(), 256u);
  for (const std::string& text : texts) EXPECT_NE(text.find("Not replaced"), std::string::npos);
  EXPECT_FALSE(HasTempFile(Tree(drive)));
}

TEST_F(ConcurrentVerifyTest, AGoodSetReplacesEveryFileAndAStopBeforeTheCheckReplacesNone) {
  const std::string set = SetPath("s.fcf");
  MakeSet(set);
  {
    CRecordingUI ui;
    std::atomic<bool> stop{true};
    std::vector<std::string> names, texts;
    RestoreRacing(ui, set, stop, names, texts);
    EXPECT_TRUE(ui.messages.empty());
    EXPECT_TRUE(names.empty());
    for (int i = 0; i < kFiles; ++i)
      EXPECT_EQ(ReadFile(drive + "f" + std::to_string(i)), "earlier f" + std::to_string(i));
    EXPECT_FALSE(HasTempFile(Tree(drive)));
  }
  CRecordingUI ui;
  std::atomic<bool> stop{false};
  std::vector<std::string> names, texts;
  RestoreRacing(ui, set, stop, names, texts);
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_TRUE(names.empty());
  for (int i = 0; i < kFiles; ++i)
    EXPECT_EQ(ReadFile(drive + "f" + std::to_string(i)), Noise(4000, i + 1));
  EXPECT_FALSE(HasTempFile(Tree(drive)));
}

// New files replace nothing: a restore that only adds files reads the set once, with no pass
// beside it, and names every file should its own reading find the set damaged.
TEST_F(ConcurrentVerifyTest, NewFilesAloneNeedNoPassAndAreNamedWhenTheSetFails) {
  for (bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged" : "good");
    const std::string set = SetPath(damaged ? "bad.fcf" : "good.fcf");
    MakeNewFilesSet(set);
    if (damaged) DamageTheCheck(set);
    CRecordingUI ui;
    std::vector<std::string> names, texts;
    EXPECT_LE(RestoreCountingPass(ui, set, names, texts), 1) << "a pass read the set though no file was replaced";
    // With a damaged set the last few entries may go with the end (inflate meets the bad check
    // while it reads ahead); every file that is there holds its entry and, then, is named.
    int present = 0;
    for (int i = 0; i < kFiles; ++i) {
      struct stat st;
      const std::string path = drive + "n" + std::to_string(i);
      if (stat(path.c_str(), &st) != 0) continue;
      ++present;
      EXPECT_TRUE(ReadFile(path) == Noise(4000, i + 1)) << path;
    }
    if (damaged) {
      EXPECT_GT(present, kFiles - 10);
      EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"});
      EXPECT_EQ(names.size(), static_cast<size_t>(present));
      for (const std::string& text : texts) EXPECT_NE(text.find("damaged backup set"), std::string::npos) << text;
    } else {
      EXPECT_EQ(present, kFiles);
      EXPECT_TRUE(ui.messages.empty());
      EXPECT_TRUE(names.empty());
    }
    EXPECT_FALSE(HasTempFile(Tree(drive)));
    for (int i = 0; i < kFiles; ++i) unlink((drive + "n" + std::to_string(i)).c_str());
  }
}

// The first file that replaces one starts the pass, which reads the set from its start: the new
// files put in place before it are judged by it too.
TEST_F(ConcurrentVerifyTest, AReplaceAfterNewFilesStartsThePassFromTheSetsStart) {
  for (bool damaged : {false, true}) {
    SCOPED_TRACE(damaged ? "damaged" : "good");
    const std::string set = SetPath(damaged ? "bad.fcf" : "good.fcf");
    {
      CIndependentSetWriter w;
      for (int i = 0; i < kFiles; ++i) w.AddEntry("E:\\n" + std::to_string(i), Noise(4000, i + 1), kEntryTime);
      w.AddEntry("E:\\old", "new data of old", kEntryTime);
      ASSERT_TRUE(w.Write(set));
    }
    if (damaged) DamageTheCheck(set);
    ASSERT_TRUE(WriteFile(drive + "old", "earlier old"));
    ASSERT_TRUE(SetMtime(drive + "old", kEntryTime - 1));
    CRecordingUI ui;
    std::vector<std::string> names, texts;
    const int asked = RestoreCountingPass(ui, set, names, texts);
    if (damaged) {
      // The damage lies in the check at the end, which the writing pass may never reach: the
      // pass tells it, and every new file already in place is named.
      EXPECT_EQ(ReadFile(drive + "old"), "earlier old");
      EXPECT_EQ(ui.messages, std::vector<std::string>{"error reading"});
      int present = 0;
      for (int i = 0; i < kFiles; ++i) {
        const std::string path = drive + "n" + std::to_string(i);
        struct stat st;
        if (stat(path.c_str(), &st) != 0) continue;
        ++present;
        EXPECT_NE(std::find(names.begin(), names.end(), path), names.end()) << path << " is not named";
      }
      EXPECT_GT(present, kFiles - 10);
    } else {
      EXPECT_GE(asked, kFiles) << "the pass did not read the set from its start";
      EXPECT_EQ(ReadFile(drive + "old"), "new data of old");
      EXPECT_TRUE(ui.messages.empty());
      EXPECT_TRUE(names.empty());
    }
    EXPECT_FALSE(HasTempFile(Tree(drive)));
    for (int i = 0; i < kFiles; ++i) unlink((drive + "n" + std::to_string(i)).c_str());
    unlink((drive + "old").c_str());
  }
}

// Files that replace one wait for the pass beside the restore, not the restore for the pass:
// the writing goes on past a batch while the pass has not read one entry; their folders held
// open stay within a quarter of the descriptors the process may open.
TEST_F(ConcurrentVerifyTest, ReplacementsWaitBesideThePassWithinTheOpenFolderBound) {
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
  for (bool fewDescriptors : {false, true}) {
    SCOPED_TRACE(fewDescriptors ? "128 descriptors" : "as the process has");
    // A folder for each file: with 128 descriptors, 300 folders held open would run out.
    const std::string set = SetPath(fewDescriptors ? "folders.fcf" : "files.fcf");
    std::vector<std::string> paths;
    {
      CIndependentSetWriter w;
      for (int i = 0; i < kFiles; ++i) {
        const std::string rel = fewDescriptors ? "d" + std::to_string(i) + "/f" : "f" + std::to_string(i);
        if (fewDescriptors) {
          ASSERT_EQ(mkdir((drive + "d" + std::to_string(i)).c_str(), 0755), 0);
        }
        ASSERT_TRUE(WriteFile(drive + rel, "earlier " + rel));
        ASSERT_TRUE(SetMtime(drive + rel, kEntryTime - 1));
        std::string stored = "E:\\" + rel;
        for (char& ch : stored)
          if (ch == '/') ch = '\\';
        w.AddEntry(stored, Noise(4000, i + 1), kEntryTime);
        paths.push_back(rel);
      }
      ASSERT_TRUE(w.Write(set));
    }
    // The pass holds at its first entry until the restore has more files waiting than one
    // batch, or (with few descriptors, where the restore must wait for the pass) their count has
    // stood still for a while, or ten seconds went by. A restore merely slowed by a busy
    // machine is waited for.
    size_t mostWaiting = 0;
    bool first = true;
    auto hold = [&] {
      if (!first) return false;
      first = false;
      int still = 0;
      for (int i = 0; i < 1000 && mostWaiting <= 256 && still < 30; ++i) {
        size_t waiting = 0;
        for (const std::string& name : Tree(drive))
          if (name.find(CRestoreJournal::TempPrefix()) != std::string::npos) ++waiting;
        still = fewDescriptors && waiting > 0 && waiting == mostWaiting ? still + 1 : 0;
        mostWaiting = std::max(mostWaiting, waiting);
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      return false;
    };
    if (fewDescriptors) {
      struct rlimit low = saved;
      low.rlim_cur = 128;
      ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    }
    CRecordingUI ui;
    std::atomic<bool> stop{false};
    std::vector<std::string> names, texts;
    RestoreWithPass(ui, set, stop, names, texts, hold);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    if (fewDescriptors) {
      EXPECT_LE(mostWaiting, 32u) << "more folders held open than the bound";
    } else {
      EXPECT_GT(mostWaiting, 256u) << "the restore waited for the pass at a full batch";
    }
    EXPECT_TRUE(names.empty()) << (names.empty() ? "" : names[0] + ": " + texts[0]);
    for (int i = 0; i < kFiles; ++i) EXPECT_TRUE(ReadFile(drive + paths[i]) == Noise(4000, i + 1)) << paths[i];
    EXPECT_FALSE(HasTempFile(Tree(drive)));
  }
}

}  // namespace
