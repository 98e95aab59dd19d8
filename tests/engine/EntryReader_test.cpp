#include "engine/EntryReader.h"

#include "tests/engine/EntryCalls.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <vector>

#include "platform/SafeOpen.h"
#include "storage/CompressedFile.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/RecordingUI.h"
#include "tests/engine/RestoreFixture.h"

using namespace restore_test;

namespace {

constexpr int64_t kEntryTime = 1700000000;

class EntryReaderTest : public RestoreFolders {
 protected:
  using Result = EntryCall;

  // Every entry of a set through the set loop, as a restore (target), an extraction (picks
  // without a target) or the viewer's load does it.
  std::vector<Result> ReadAll(const std::string& setPath, const std::string& target,
                              std::vector<std::string>* pickList, bool withErrorText = true,
                              const std::string& pickFolder = std::string()) {
    std::vector<Result> results = CEntryCalls::Read(ui, buffer.data(), answer, setPath, target, pickList, pickFolder);
    if (!withErrorText)
      for (Result& r : results) r.error = "unchanged";
    return results;
  }

  CRecordingUI ui;
  std::vector<char> buffer = std::vector<char>(16384);
  OverwriteAnswer answer = OverwriteAnswer::None;
};

TEST_F(EntryReaderTest, MissingFilesAndFoldersAreCreatedWithoutSafetyCopies) {
  std::string big = Noise(40000, 7);  // three chunks of the copy buffer
  CIndependentSetWriter w;
  w.AddEntry("E:\\a\\b\\c.txt", "hello", kEntryTime);
  w.AddEntry("E:\\top.bin", big, kEntryTime + 1);
  w.AddEntry("E:\\empty.txt", "", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));

  auto r = ReadAll(SetPath("s.fcf"), drive, nullptr);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_TRUE(r[0].more && r[1].more && r[2].more);
  EXPECT_FALSE(r[3].more);
  EXPECT_EQ(r[0].name, drive + "a/b/c.txt");
  EXPECT_EQ(r[0].size, 5u);
  EXPECT_EQ(r[0].time, kEntryTime);
  EXPECT_EQ(r[1].size, 40000u);
  EXPECT_EQ(r[1].time, kEntryTime + 1);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(r[i].error, "") << i;
  EXPECT_EQ(r[3].name, "");
  EXPECT_EQ(r[3].size, 0u);

  EXPECT_EQ(ReadFile(drive + "a/b/c.txt"), "hello");
  EXPECT_EQ(ReadFile(drive + "top.bin"), big);
  EXPECT_TRUE(Exists(drive + "empty.txt"));
  EXPECT_EQ(ReadFile(drive + "empty.txt"), "");
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"a", "a/b", "a/b/c.txt", "empty.txt", "top.bin"}));
  EXPECT_TRUE(ui.messages.empty());
  EXPECT_TRUE(ui.overwriteQuestions.empty());
}

TEST_F(EntryReaderTest, OverwriteRulesFollowTheTimesAndTheRememberedAnswer) {
  // On the drive: one file as old as its entry, one older, three newer ones.
  const char* names[] = {"equal", "older", "newer1", "newer2", "newer3", "newer4"};
  CIndependentSetWriter w;
  for (const char* n : names) {
    ASSERT_TRUE(WriteFile(drive + n, std::string("old ") + n));
    w.AddEntry(std::string("E:\\") + n, std::string("new ") + n, kEntryTime);
  }
  ASSERT_TRUE(SetMtime(drive + "equal", kEntryTime));
  ASSERT_TRUE(SetMtime(drive + "older", kEntryTime - 3600));
  for (int i = 1; i <= 4; ++i) ASSERT_TRUE(SetMtime(drive + "newer" + std::to_string(i), kEntryTime + 1));
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));

  // newer1: No; newer2: Yes; newer3: asked again, No to All; newer4 then skipped unasked.
  ui.overwriteAnswers = {0, 2, 1};
  auto r = ReadAll(SetPath("s.fcf"), drive, nullptr);
  ASSERT_EQ(r.size(), 7u);
  EXPECT_EQ(ui.overwriteQuestions,
            (std::vector<std::string>{drive + "newer1", drive + "newer2", drive + "newer3"}));
  EXPECT_EQ(ReadFile(drive + "equal"), "new equal");
  EXPECT_EQ(ReadFile(drive + "older"), "new older");
  EXPECT_EQ(ReadFile(drive + "newer1"), "old newer1");
  EXPECT_EQ(ReadFile(drive + "newer2"), "new newer2");
  EXPECT_EQ(ReadFile(drive + "newer3"), "old newer3");
  EXPECT_EQ(ReadFile(drive + "newer4"), "old newer4");
  for (int i = 0; i < 6; ++i) {
    EXPECT_TRUE(r[i].more);
    EXPECT_EQ(r[i].error, "") << names[i];  // a declined overwrite is no error
  }
  EXPECT_EQ(answer, OverwriteAnswer::NoToAll);

  // After No to All an older file is still overwritten; with Yes to All remembered a newer one
  // is overwritten without a question.
  CIndependentSetWriter w2;
  w2.AddEntry("E:\\older", "second", kEntryTime);
  w2.AddEntry("E:\\newer4", "second", kEntryTime);
  ASSERT_TRUE(w2.Write(SetPath("t.fcf")));
  ASSERT_TRUE(SetMtime(drive + "older", kEntryTime - 10));
  r = ReadAll(SetPath("t.fcf"), drive, nullptr);
  EXPECT_EQ(ReadFile(drive + "older"), "second");
  EXPECT_EQ(ReadFile(drive + "newer4"), "old newer4");
  answer = OverwriteAnswer::YesToAll;
  r = ReadAll(SetPath("t.fcf"), drive, nullptr);
  EXPECT_EQ(ReadFile(drive + "newer4"), "second");
  EXPECT_EQ(ui.overwriteQuestions.size(), 3u);
  EXPECT_EQ(answer, OverwriteAnswer::YesToAll);
  EXPECT_EQ(Tree(drive).size(), 6u);  // no safety copy left behind
}

TEST_F(EntryReaderTest, ReadOnlyFilesAreNeverOverwrittenNorAskedAbout) {
  ASSERT_TRUE(WriteFile(drive + "ro-old", "keep1"));
  ASSERT_TRUE(WriteFile(drive + "ro-new", "keep2"));
  ASSERT_TRUE(SetMtime(drive + "ro-old", kEntryTime - 100));
  ASSERT_TRUE(SetMtime(drive + "ro-new", kEntryTime + 100));
  ASSERT_EQ(chmod((drive + "ro-old").c_str(), 0444), 0);
  ASSERT_EQ(chmod((drive + "ro-new").c_str(), 0444), 0);
  CIndependentSetWriter w;
  w.AddEntry("E:\\ro-old", Noise(20000, 1), kEntryTime);
  w.AddEntry("E:\\ro-new", "x", kEntryTime);
  w.AddEntry("E:\\after", "after", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  answer = OverwriteAnswer::YesToAll;  // not even Yes to All overwrites a read-only file

  auto r = ReadAll(SetPath("s.fcf"), drive, nullptr);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_TRUE(r[0].more && r[1].more && r[2].more);
  EXPECT_EQ(r[0].error, "File is read-only. Cannot overwrite.");
  EXPECT_EQ(r[1].error, "File is read-only. Cannot overwrite.");
  EXPECT_EQ(r[2].error, "");
  EXPECT_EQ(ReadFile(drive + "ro-old"), "keep1");
  EXPECT_EQ(ReadFile(drive + "ro-new"), "keep2");
  EXPECT_EQ(ReadFile(drive + "after"), "after");  // the data before it was read past exactly
  EXPECT_TRUE(ui.overwriteQuestions.empty());
}

TEST_F(EntryReaderTest, PickListsIgnoreCaseAndDriveLetter) {
  CIndependentSetWriter w;
  w.AddEntry("F:\\docs\\a.txt", "picked", kEntryTime);
  w.AddEntry("F:\\docs\\b.txt", "not picked", kEntryTime);
  w.AddEntry("F:\\other\\A.TXT", "other folder", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));

  // To the drive: the file goes below the root, the element becomes the scratch path.
  std::vector<std::string> pick = {"E:\\Docs\\A.TXT"};
  auto r = ReadAll(SetPath("s.fcf"), drive, &pick);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_TRUE(r[0].more && r[1].more && r[2].more);
  EXPECT_EQ(r[0].name, drive + "docs/a.txt");
  EXPECT_EQ(r[1].name, "F:\\docs\\b.txt");  // not picked: the stored name is handed out
  EXPECT_EQ(ReadFile(drive + "docs/a.txt"), "picked");
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"docs", "docs/a.txt"}));
  EXPECT_EQ(pick, (std::vector<std::string>{"E:\\Docs\\A.TXT"}));  // a restore leaves the picks as they were
  EXPECT_FALSE(Exists(ScratchFile("a.txt")));

  // To the scratch folder: two picked files of one bare name, the later replaces the earlier.
  std::vector<std::string> pick2 = {"X:\\OTHER\\a.txt", "e:\\docs\\a.txt"};
  r = ReadAll(SetPath("s.fcf"), "", &pick2);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[0].name, "F:\\docs\\a.txt");
  EXPECT_EQ(r[0].error, "");
  EXPECT_EQ(pick2, (std::vector<std::string>{ScratchFile("A.TXT"), ScratchFile("a.txt")}));
  EXPECT_EQ(ReadFile(ScratchFile("a.txt")), "picked");
  EXPECT_EQ(ReadFile(ScratchFile("A.TXT")), "other folder");
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"docs", "docs/a.txt"}));

  std::vector<std::string> pick3 = {"E:\\docs\\a.txt", "E:\\x\\a.txt"};
  CIndependentSetWriter w2;
  w2.AddEntry("E:\\docs\\a.txt", "first", kEntryTime);
  w2.AddEntry("E:\\x\\a.txt", "second", kEntryTime);
  ASSERT_TRUE(w2.Write(SetPath("t.fcf")));
  ReadAll(SetPath("t.fcf"), "", &pick3);
  EXPECT_EQ(pick3, (std::vector<std::string>{ScratchFile("a.txt"), ScratchFile("a.txt")}));
  EXPECT_EQ(ReadFile(ScratchFile("a.txt")), "second");

  // A link planted at the scratch path is replaced, never written through.
  std::string outside = base + "/outside.txt";
  ASSERT_TRUE(WriteFile(outside, "untouched"));
  ASSERT_EQ(unlink(ScratchFile("a.txt").c_str()), 0);
  ASSERT_EQ(symlink(outside.c_str(), ScratchFile("a.txt").c_str()), 0);
  std::vector<std::string> pick4 = {"E:\\docs\\a.txt"};
  r = ReadAll(SetPath("t.fcf"), "", &pick4);
  EXPECT_TRUE(r[0].more);
  EXPECT_EQ(r[0].error, "");
  EXPECT_EQ(ReadFile(outside), "untouched");
  struct stat st;
  ASSERT_EQ(lstat(ScratchFile("a.txt").c_str(), &st), 0);
  EXPECT_TRUE(S_ISREG(st.st_mode));
  EXPECT_EQ(ReadFile(ScratchFile("a.txt")), "first");

  // The catalogue use writes nothing and hands out what the entries hold.
  auto before = Tree(base);
  r = ReadAll(SetPath("s.fcf"), "", nullptr, false);
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[2].name, "F:\\other\\A.TXT");
  EXPECT_EQ(r[2].size, 12u);
  EXPECT_EQ(r[2].error, "unchanged");
  EXPECT_EQ(Tree(base), before);
}

TEST_F(EntryReaderTest, PickFolderTakesPickedFilesUnderTheirBareNames) {
  CIndependentSetWriter w;
  w.AddEntry("E:\\deep\\er\\f.txt", "data", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  std::string folder = base + "/out";
  ASSERT_EQ(mkdir(folder.c_str(), 0755), 0);
  std::vector<std::string> pick = {"D:\\DEEP\\ER\\F.TXT"};
  auto r = ReadAll(SetPath("s.fcf"), "", &pick, true, folder);
  EXPECT_TRUE(r[0].more);
  EXPECT_EQ(r[0].error, "");
  EXPECT_EQ(pick[0], folder + "/f.txt");
  EXPECT_EQ(ReadFile(folder + "/f.txt"), "data");
}

TEST_F(EntryReaderTest, DataCutShortShowsErrorReadingOnceAndBringsTheEarlierFileBack) {
  // The last entry announces more data than the set holds.
  ASSERT_TRUE(WriteFile(drive + "keep.txt", "earlier content"));
  ASSERT_TRUE(SetMtime(drive + "keep.txt", kEntryTime - 1));
  CIndependentSetWriter w;
  w.AddEntry("E:\\first.txt", "first", kEntryTime);
  w.AddEntry("E:\\keep.txt", Noise(30000, 3), kEntryTime, 50000);
  ASSERT_TRUE(w.Write(SetPath("short.fcf")));
  auto r = ReadAll(SetPath("short.fcf"), drive, nullptr);
  ASSERT_EQ(r.size(), 2u);
  EXPECT_TRUE(r[0].more);
  EXPECT_FALSE(r[1].more);
  EXPECT_EQ(r[1].error, "");
  EXPECT_EQ(ui.messages, (std::vector<std::string>{"error reading"}));
  EXPECT_EQ(ReadFile(drive + "keep.txt"), "earlier content");
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"first.txt", "keep.txt"}));

  // The gzip file itself cut in the middle; the entry had no earlier file: none is left.
  ui.messages.clear();
  CIndependentSetWriter w2;
  w2.AddEntry("E:\\cut.bin", Noise(300000, 4), kEntryTime);
  std::string gz;
  ASSERT_TRUE(CIndependentSetWriter::Deflate(w2.Content(), gz));
  ASSERT_TRUE(w2.Write(SetPath("cut.fcf"), static_cast<long>(gz.size() / 2)));
  r = ReadAll(SetPath("cut.fcf"), drive, nullptr);
  ASSERT_EQ(r.size(), 1u);
  EXPECT_FALSE(r[0].more);
  EXPECT_EQ(ui.messages, (std::vector<std::string>{"error reading"}));
  EXPECT_FALSE(Exists(drive + "cut.bin"));

  // The same into the scratch folder: the copy there from before stays, no partial one.
  ui.messages.clear();
  std::string scratchFolder = temp + "/fernapp-" + std::to_string(getuid()) + "/fernwork";
  ASSERT_EQ(system(("mkdir -p '" + scratchFolder + "'").c_str()), 0);
  ASSERT_TRUE(WriteFile(ScratchFile("cut.bin"), "complete earlier copy"));
  std::vector<std::string> pick = {"E:\\cut.bin"};
  r = ReadAll(SetPath("cut.fcf"), "", &pick);
  EXPECT_FALSE(r[0].more);
  EXPECT_EQ(ui.messages.size(), 1u);
  EXPECT_EQ(ReadFile(ScratchFile("cut.bin")), "complete earlier copy");
  EXPECT_EQ(Tree(scratchFolder), (std::vector<std::string>{"cut.bin"}));
}

TEST_F(EntryReaderTest, DamagedHeadersEndTheSetWithOneErrorReading) {
  struct Case {
    const char* what;
    void (*add)(CIndependentSetWriter&);
  } cases[] = {
      {"1-byte header", [](CIndependentSetWriter& w) { w.AddRaw("\x05"); }},
      {"15-byte header", [](CIndependentSetWriter& w) { w.AddRaw(std::string(15, '\x01')); }},
      {"name of 512 bytes", [](CIndependentSetWriter& w) { w.AddHeader(512, 0, kEntryTime); }},
      {"huge name length", [](CIndependentSetWriter& w) { w.AddHeader(0xffffffffu, 1, kEntryTime); }},
      {"name cut short", [](CIndependentSetWriter& w) {
         w.AddHeader(20, 0, kEntryTime);
         w.AddRaw("E:\\short");
       }},
  };
  int n = 0;
  for (const auto& c : cases) {
    CIndependentSetWriter w;
    w.AddEntry("E:\\good.txt", "good", kEntryTime);
    c.add(w);
    std::string set = SetPath("d" + std::to_string(n++) + ".fcf");
    ASSERT_TRUE(w.Write(set));
    ui.messages.clear();
    auto r = ReadAll(set, drive, nullptr);
    ASSERT_EQ(r.size(), 2u) << c.what;
    EXPECT_TRUE(r[0].more) << c.what;
    EXPECT_FALSE(r[1].more) << c.what;
    EXPECT_EQ(ui.messages, (std::vector<std::string>{"error reading"})) << c.what;
    EXPECT_EQ(Tree(drive), (std::vector<std::string>{"good.txt"})) << c.what;
  }
  // A plain end of the set is no error.
  ui.messages.clear();
  CIndependentSetWriter w;
  w.AddEntry("E:\\good.txt", "good", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("whole.fcf")));
  ReadAll(SetPath("whole.fcf"), drive, nullptr);
  EXPECT_TRUE(ui.messages.empty());
}

// Runs one restore of "E:\big.bin" in a child whose file size limit is 20000 bytes. The
// child's exit status: 0 when the entry was read whole with a disk-full error text.
int RestoreWithSizeLimit(const std::string& set, const std::string& drive) {
  pid_t pid = fork();
  if (pid == 0) {
    signal(SIGXFSZ, SIG_IGN);
    struct rlimit limit = {20000, 20000};
    if (setrlimit(RLIMIT_FSIZE, &limit) != 0) _exit(10);
    CRecordingUI ui;
    std::vector<char> buffer(16384);
    OverwriteAnswer answer = OverwriteAnswer::None;
    std::vector<std::string> names, texts;
    auto r = CEntryCalls::Read(ui, buffer.data(), answer, set, drive, nullptr, "", &names, &texts);
    if (r.size() != 3) _exit(11);
    if (!r[0].more) _exit(12);
    if (r[0].error.find("Disk full") == std::string::npos) _exit(13);
    if (!ui.messages.empty()) _exit(14);
    // The stream was positioned at the next entry.
    if (!r[1].more || !r[1].error.empty() || r[1].name != drive + "next.txt") _exit(15);
    // Files go in place once the set is known to be whole.
    _exit(names.empty() && ui.messages.empty() ? 0 : 16);
  }
  int status = 0;
  if (pid < 0 || waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 100 + WTERMSIG(status);
}

TEST_F(EntryReaderTest, AWriteThatFailsHalfwayBringsTheEarlierFileBack) {
  CIndependentSetWriter w;
  w.AddEntry("E:\\big.bin", Noise(100000, 5), kEntryTime);
  w.AddEntry("E:\\next.txt", "next", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  ASSERT_TRUE(WriteFile(drive + "big.bin", "the earlier file"));
  ASSERT_TRUE(SetMtime(drive + "big.bin", kEntryTime - 5));

  EXPECT_EQ(RestoreWithSizeLimit(SetPath("s.fcf"), drive), 0);
  EXPECT_EQ(ReadFile(drive + "big.bin"), "the earlier file");
  EXPECT_EQ(ReadFile(drive + "next.txt"), "next");
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"big.bin", "next.txt"}));

  // Without an earlier file the partial copy is removed.
  ASSERT_EQ(unlink((drive + "big.bin").c_str()), 0);
  EXPECT_EQ(RestoreWithSizeLimit(SetPath("s.fcf"), drive), 0);
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"next.txt"}));
}

TEST_F(EntryReaderTest, AnExistingBakFileIsNeverTouched) {
  ASSERT_TRUE(WriteFile(drive + "f.txt", "current"));
  ASSERT_TRUE(WriteFile(drive + "f.txt.bak", "the user's own"));
  ASSERT_TRUE(SetMtime(drive + "f.txt", kEntryTime - 1));
  CIndependentSetWriter w;
  w.AddEntry("E:\\f.txt", "restored", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  auto r = ReadAll(SetPath("s.fcf"), drive, nullptr);
  EXPECT_EQ(r[0].error, "");
  EXPECT_EQ(ReadFile(drive + "f.txt"), "restored");
  EXPECT_EQ(ReadFile(drive + "f.txt.bak"), "the user's own");
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"f.txt", "f.txt.bak"}));

  // .bak and .bak.1 taken: .bak.2 holds the earlier file while the cut-short copy is written,
  // and the earlier file comes back from there.
  ASSERT_TRUE(WriteFile(drive + "f.txt", "current"));
  ASSERT_TRUE(SetMtime(drive + "f.txt", kEntryTime - 1));
  ASSERT_TRUE(WriteFile(drive + "f.txt.bak.1", "also the user's"));
  CIndependentSetWriter w2;
  w2.AddEntry("E:\\f.txt", "cut", kEntryTime, 100);
  ASSERT_TRUE(w2.Write(SetPath("t.fcf")));
  r = ReadAll(SetPath("t.fcf"), drive, nullptr);
  EXPECT_FALSE(r[0].more);
  EXPECT_EQ(ReadFile(drive + "f.txt"), "current");
  EXPECT_EQ(ReadFile(drive + "f.txt.bak"), "the user's own");
  EXPECT_EQ(ReadFile(drive + "f.txt.bak.1"), "also the user's");
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{"f.txt", "f.txt.bak", "f.txt.bak.1"}));
}

TEST_F(EntryReaderTest, NamesThatWouldLeaveTheDriveWriteNothing) {
  CIndependentSetWriter w;
  const char* bad[] = {"E:\\..\\..\\x",    "E:\\a\\..\\..\\y", "E:\\.\\z",     "E:\\a\\\\b",
                       "E:\\a/../../etc", "E:\\",             "E:\\a\\",      "E:\\..",
                       "E:\\\\abs"};
  for (const char* name : bad) w.AddEntry(name, "escaped", kEntryTime);
  // A zero byte inside the name: the text before it is not the file the set meant.
  static const char cutName[] = "E:\\cut.txt\0\\..\\x";
  w.AddEntry(std::string(cutName, sizeof cutName - 1), "cut", kEntryTime);
  w.AddEntry("E:\\ok.txt", "ok", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  std::vector<std::string> pick;
  auto r = ReadAll(SetPath("s.fcf"), drive, nullptr);
  ASSERT_EQ(r.size(), std::size(bad) + 3);
  for (size_t i = 0; i < std::size(bad); ++i) {
    EXPECT_TRUE(r[i].more) << bad[i];
    EXPECT_EQ(r[i].error, std::string(bad[i]) + " contains an invalid path.") << bad[i];
  }
  EXPECT_TRUE(r[std::size(bad)].more);
  EXPECT_EQ(r[std::size(bad)].error, "E:\\cut.txt contains an invalid path.");
  EXPECT_EQ(ReadFile(drive + "ok.txt"), "ok");
  EXPECT_NE(access((drive + "cut.txt").c_str(), F_OK), 0);
  // Nothing next to the drive or above it; at most folders created inside it.
  EXPECT_EQ(Tree(base).size(), Tree(drive).size() + 3);  // drive/, temp/, s.fcf
  for (const auto& p : Tree(drive)) {
    struct stat st;
    ASSERT_EQ(lstat((drive + p).c_str(), &st), 0);
    if (p != "ok.txt") {
      EXPECT_TRUE(S_ISDIR(st.st_mode)) << p;
    }
  }
}

TEST_F(EntryReaderTest, LinksPlantedOnTheDriveAreNotFollowed) {
  std::string outside = base + "/outside";
  ASSERT_EQ(mkdir(outside.c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(outside + "/target.txt", "outside file"));
  ASSERT_EQ(symlink(outside.c_str(), (drive + "dirlink").c_str()), 0);
  ASSERT_EQ(symlink((outside + "/target.txt").c_str(), (drive + "filelink").c_str()), 0);
  CIndependentSetWriter w;
  w.AddEntry("E:\\dirlink\\evil.txt", "evil", kEntryTime);
  w.AddEntry("E:\\dirlink\\sub\\evil.txt", "evil", kEntryTime);
  w.AddEntry("E:\\filelink", "evil", kEntryTime);
  w.AddEntry("E:\\dirlink\\target.txt", "evil", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));

  for (bool walk : {false, true}) {
    fern::UseSegmentWalkOnly(walk);
    auto r = ReadAll(SetPath("s.fcf"), drive, nullptr);
    fern::UseSegmentWalkOnly(false);
    ASSERT_EQ(r.size(), 5u);
    for (int i = 0; i < 4; ++i) {
      EXPECT_TRUE(r[i].more);
      EXPECT_NE(r[i].error, "") << i << " walk " << walk;
    }
    EXPECT_EQ(Tree(outside), (std::vector<std::string>{"target.txt"}));
    EXPECT_EQ(ReadFile(outside + "/target.txt"), "outside file");
    struct stat st;
    ASSERT_EQ(lstat((drive + "filelink").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(Tree(drive), (std::vector<std::string>{"dirlink", "filelink"}));
  }
}

TEST_F(EntryReaderTest, SetsOfTheProgramsOwnStorageLayerReadBack) {
  std::vector<StoredEntry> entries = {
      {"E:\\m\\one.bin", Noise(16384, 9), kEntryTime},
      {"E:\\m\\two.bin", Noise(16385, 10), kEntryTime},
      {"E:\\three.txt", std::string(100000, 'z'), kEntryTime},
  };
  ASSERT_TRUE(WriteProjectSet(SetPath("p.fcf"), entries));
  auto r = ReadAll(SetPath("p.fcf"), drive, nullptr);
  ASSERT_EQ(r.size(), 4u);
  for (const auto& e : entries) {
    std::string relative = e.name.substr(3);
    for (auto& c : relative) c = c == '\\' ? '/' : c;
    EXPECT_EQ(ReadFile(drive + relative), e.data) << e.name;
  }
  EXPECT_TRUE(ui.messages.empty());
}

}  // namespace
