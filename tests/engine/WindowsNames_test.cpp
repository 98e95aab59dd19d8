// Sets written on Windows hold names in the ANSI code page (Windows-1252 in the west); read here
// they become UTF-8 names, on a plain folder and on the file systems sticks carry.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/RestoreJournal.h"
#include "tests/engine/EntryCalls.h"
#include "storage/CompressedFile.h"
#include "storage/StoredName.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/LoopImage.h"
#include "tests/engine/RecordingUI.h"
#include "tests/engine/RestoreFixture.h"

using namespace restore_test;

namespace {

constexpr int64_t kEntryTime = 1700000000;

// E:\Café\Müller.txt, E:\€ß.txt and E:\Café\Grüße.txt as a western Windows stores them.
const std::string kCafeMuller = "E:\\Caf\xE9\\M\xFC" "ller.txt";
const std::string kEuroSharp = "E:\\\x80\xDF.txt";
const std::string kCafeGruesse = "E:\\Caf\xE9\\Gr\xFC\xDF" "e.txt";
const std::string kCafeUtf8 = "Caf\xC3\xA9";
const std::string kMullerUtf8 = "M\xC3\xBCller.txt";
const std::string kEuroSharpUtf8 = "\xE2\x82\xAC\xC3\x9F.txt";
const std::string kGruesseUtf8 = "Gr\xC3\xBC\xC3\x9F" "e.txt";

class WindowsNamesTest : public RestoreFolders {
 protected:
  std::string MakeWindowsSet(const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    CIndependentSetWriter w;
    w.AddEntry(kCafeMuller, "mueller", kEntryTime);
    for (const auto& e : extra) w.AddEntry(e.first, e.second, kEntryTime);
    w.AddEntry(kEuroSharp, "euro", kEntryTime);
    w.AddEntry(kCafeGruesse, "gruesse", kEntryTime);
    std::string path = SetPath("WIN-1.fcf");
    EXPECT_TRUE(w.Write(path));
    return path;
  }

  // Every entry of a set through the entry reader: names handed out and error texts; rows that
  // come only once the files are put in place are added to laterNames and laterTexts.
  void ReadSet(const std::string& set, const std::string& target, std::vector<std::string>* pickList,
               std::vector<std::string>& names, std::vector<std::string>& errors,
               std::vector<std::string>* laterNames = nullptr, std::vector<std::string>* laterTexts = nullptr) {
    for (const EntryCall& call : CEntryCalls::Read(ui, buffer.data(), answer, set, target, pickList, "", laterNames,
                                                    laterTexts)) {
      if (!call.more) break;
      names.push_back(call.name);
      errors.push_back(call.error);
    }
  }

  CRecordingUI ui;
  std::vector<char> buffer = std::vector<char>(16384);
  OverwriteAnswer answer = OverwriteAnswer::None;
};

TEST_F(WindowsNamesTest, RestoredAndPickedFilesGetUtf8Names) {
  const std::string set = MakeWindowsSet();
  std::vector<std::string> names, errors;
  ReadSet(set, drive, nullptr, names, errors);
  EXPECT_EQ(errors, (std::vector<std::string>{"", "", ""}));
  EXPECT_EQ(names, (std::vector<std::string>{drive + kCafeUtf8 + "/" + kMullerUtf8, drive + kEuroSharpUtf8,
                                             drive + kCafeUtf8 + "/" + kGruesseUtf8}));
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{kCafeUtf8, kCafeUtf8 + "/" + kGruesseUtf8,
                                                   kCafeUtf8 + "/" + kMullerUtf8, kEuroSharpUtf8}));
  EXPECT_EQ(ReadFile(drive + kCafeUtf8 + "/" + kMullerUtf8), "mueller");
  EXPECT_TRUE(ui.messages.empty());

  // Loading (nothing written): the names handed out are the UTF-8 text.
  names.clear();
  errors.clear();
  ReadSet(set, "", nullptr, names, errors);
  EXPECT_EQ(names, (std::vector<std::string>{"E:\\" + kCafeUtf8 + "\\" + kMullerUtf8, "E:\\" + kEuroSharpUtf8,
                                             "E:\\" + kCafeUtf8 + "\\" + kGruesseUtf8}));

  // The scratch copy, picked by the name the viewer shows, lands under the UTF-8 bare name and
  // its path is one that finds the file again.
  std::vector<std::string> pick{"E:\\" + kEuroSharpUtf8};
  names.clear();
  errors.clear();
  ReadSet(set, "", &pick, names, errors);
  EXPECT_EQ(pick[0], ScratchFile(kEuroSharpUtf8));
  EXPECT_EQ(ReadFile(pick[0]), "euro");
  // Picked by the bytes the set holds, the same.
  pick = {kCafeGruesse};
  names.clear();
  ReadSet(set, "", &pick, names, errors);
  EXPECT_EQ(pick[0], ScratchFile(kGruesseUtf8));
  EXPECT_EQ(ReadFile(pick[0]), "gruesse");
}

TEST_F(WindowsNamesTest, WindowsSetsRestoreOntoExfatAndNtfsSticks) {
  for (const std::string kind : {"exfat-fuse", "ntfs-3g"}) {
    SCOPED_TRACE(kind);
    const std::string folder = base + "/" + kind + "-place";
    ASSERT_EQ(mkdir(folder.c_str(), 0700), 0);
    CLoopImage stick;
    std::string why;
    if (!stick.Make(folder, kind, why)) GTEST_SKIP() << why;
    const std::string root = stick.Root();
    // Names written by a backup here that the stick's file system refuses (exFAT takes no ':'
    // nor '?'; Windows names never hold them) get their rows, and the other entries still come.
    std::vector<std::pair<std::string, std::string>> extra;
    if (kind == "exfat-fuse") extra = {{"E:\\odd:name.txt", "refused"}, {"E:\\what?\\x.txt", "refused"}};
    const std::string set = MakeWindowsSet(extra);
    std::vector<std::string> names, errors, laterNames, laterTexts;
    ReadSet(set, root, nullptr, names, errors, &laterNames, &laterTexts);
    EXPECT_TRUE(ui.messages.empty());
    ASSERT_EQ(names.size(), 3 + extra.size());
    // Every refusal is told once, naming its cause, whenever the reader meets it.
    std::vector<std::string> rows;
    for (size_t i = 0; i < errors.size(); ++i)
      if (!errors[i].empty()) rows.push_back(errors[i]);
    rows.insert(rows.end(), laterTexts.begin(), laterTexts.end());
    std::sort(rows.begin(), rows.end());
    std::vector<std::string> expected;
    for (const auto& e : extra) {
      std::string relative;
      ASSERT_TRUE(fern::StoredNameToRelative(e.first, relative));
      expected.push_back(root + relative + " contains an invalid path.");
    }
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(rows, expected);
    EXPECT_EQ(ReadFile(root + kCafeUtf8 + "/" + kMullerUtf8), "mueller");
    EXPECT_EQ(ReadFile(root + kEuroSharpUtf8), "euro");
    EXPECT_EQ(ReadFile(root + kCafeUtf8 + "/" + kGruesseUtf8), "gruesse");
    for (const std::string& name : Tree(root)) {
      EXPECT_EQ(name.find("odd"), std::string::npos) << name;
      EXPECT_EQ(name.find(CRestoreJournal::TempPrefix()), std::string::npos) << name;
    }
  }
}

}  // namespace
