// What an interrupted restore leaves on a drive, as the next restore and the backup walk see it:
// journals built by hand in the states a killed restore or a dying FUSE daemon leave, and a
// drive removed in the middle of a restore.
#include <fcntl.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "engine/EntryReader.h"
#include "engine/RestoreJournal.h"
#include "engine/RestoreRun.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/RecordingUI.h"
#include "tests/engine/RestoreFixture.h"

using namespace restore_test;

namespace {

constexpr int64_t kEntryTime = 1700000000;
const char kDriveRemoved[] = "The drive was removed during the restore. Files not yet restored were not written.";

class RestoreJournalTest : public RestoreFolders {
 protected:
  void Restore(CRecordingUI& ui, const std::string& set, const std::string& root) {
    std::atomic<bool> stop{false};
    OverwriteAnswer answer = OverwriteAnswer::None;
    CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
    EXPECT_TRUE(run.RestoreSet(set, root));
  }
  std::vector<char> buffer = std::vector<char>(16384);
};

TEST_F(RestoreJournalTest, AStaleJournalsFilesGoAndAFileSetAsideComesBackUnderItsName) {
  // A restore on a file system that refuses a rename over a file died after moving real.txt
  // aside and before its new copy took the name; another earlier file was replaced already.
  ASSERT_EQ(mkdir((drive + "sub").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(drive + "sub/.fernpart-aside1", "the only copy"));
  ASSERT_TRUE(WriteFile(drive + "sub/.fernpart-aside2", "earlier kept"));
  ASSERT_TRUE(WriteFile(drive + "sub/kept.txt", "restored kept"));
  // Moved aside, and its name taken since by a file the user saved: the earlier copy stays.
  ASSERT_TRUE(WriteFile(drive + "sub/.fernpart-aside3", "earlier of taken"));
  ASSERT_TRUE(WriteFile(drive + "sub/taken.txt", "the user's new file"));
  ASSERT_TRUE(WriteFile(drive + "sub/.fernpart-tmp001", "half a fi"));
  ASSERT_TRUE(WriteFile(drive + "sub/.fernpart-named01", "a name no journal lists"));
  ASSERT_TRUE(WriteFile(drive + ".fernpart-mine", "the user's own"));
  ASSERT_TRUE(WriteFile(base + "/.fernpart-escape", "outside the drive"));
  ASSERT_TRUE(WriteFile(base + "/outside.txt", "outside the drive"));
  ASSERT_EQ(symlink((base + "/outside.txt").c_str(), (drive + ".fernpart-link01").c_str()), 0);
  ASSERT_EQ(mkdir((drive + ".fernpart-folder").c_str(), 0755), 0);
  ASSERT_TRUE(WriteFile(drive + ".fernpart-folder/inside", "a folder is never removed"));
  ASSERT_TRUE(WriteFile(drive + ".fernjournal-user", "the user's own file of that name\nT\t.fernpart-mine\n"));
  ASSERT_TRUE(WriteFile(drive + ".fernjournal-hand01",
                        "fernjournal 1\n"
                        "T\tsub/.fernpart-tmp001\n"
                        "T\tsub/.fernpart-gone01\n"
                        "T\t.fernpart-link01\n"
                        "T\t.fernpart-folder\n"
                        "T\t../.fernpart-escape\n"
                        "T\tsub/not-a-temporary.txt\n"
                        "A\tsub/.fernpart-aside1\tsub/real.txt\n"
                        "A\tsub/.fernpart-aside2\tsub/kept.txt\n"
                        "P\tsub/.fernpart-aside2\n"
                        "A\tsub/.fernpart-aside3\tsub/taken.txt\n"
                        "T\tsub/.fernpart-notes.txt\n"
                        "T\tsub/.fernpart-named"));  // cut short by the power cut: never used

  // The backup walk's view: the temporaries the journal lists, never the real names, unlisted
  // files, names not of the temporaries' form, nor an earlier file moved aside (the user's data,
  // perhaps the only copy: it is backed up).
  std::set<std::string> listed = CRestoreJournal::ListedNames(drive);
  EXPECT_EQ(listed, (std::set<std::string>{".fernjournal-hand01", "sub/.fernpart-tmp001", "sub/.fernpart-gone01",
                                           ".fernpart-link01", ".fernpart-folder"}));
  EXPECT_FALSE(CRestoreJournal::IsRestoreFile(drive, "sub/.fernpart-aside1", listed));
  EXPECT_FALSE(CRestoreJournal::IsRestoreFile(drive, "sub/.fernpart-notes.txt", listed));
  EXPECT_FALSE(CRestoreJournal::IsRestoreFile(drive, "sub/real.txt", listed));
  EXPECT_FALSE(CRestoreJournal::IsRestoreFile(drive, ".fernpart-mine", listed));
  EXPECT_FALSE(CRestoreJournal::IsRestoreFile(drive, "sub/.fernpart-named01", listed));
  EXPECT_FALSE(CRestoreJournal::IsRestoreFile(drive, ".fernjournal-user", listed));

  CIndependentSetWriter w;
  w.AddEntry("E:\\new.txt", "new", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  CRecordingUI ui;
  Restore(ui, SetPath("s.fcf"), drive);
  EXPECT_TRUE(ui.errorLists.empty()) << ui.errorLists[0].fileNames[0] << ": " << ui.errorLists[0].errorTexts[0];
  EXPECT_EQ(ReadFile(drive + "new.txt"), "new");
  EXPECT_EQ(ReadFile(drive + "sub/real.txt"), "the only copy");
  EXPECT_EQ(ReadFile(drive + "sub/kept.txt"), "restored kept");
  EXPECT_EQ(ReadFile(drive + "sub/taken.txt"), "the user's new file");
  EXPECT_EQ(ReadFile(drive + "sub/.fernpart-aside3"), "earlier of taken");
  EXPECT_EQ(ReadFile(drive + ".fernpart-mine"), "the user's own");
  EXPECT_EQ(ReadFile(drive + "sub/.fernpart-named01"), "a name no journal lists");
  EXPECT_EQ(ReadFile(base + "/.fernpart-escape"), "outside the drive");
  EXPECT_EQ(ReadFile(base + "/outside.txt"), "outside the drive");
  EXPECT_EQ(ReadFile(drive + ".fernpart-folder/inside"), "a folder is never removed");
  EXPECT_TRUE(Exists(drive + ".fernpart-link01"));
  EXPECT_TRUE(Exists(drive + ".fernjournal-user"));
  EXPECT_EQ(Tree(drive), (std::vector<std::string>{".fernjournal-user", ".fernpart-folder", ".fernpart-folder/inside",
                                                   ".fernpart-link01", ".fernpart-mine", "new.txt", "sub",
                                                   "sub/.fernpart-aside3", "sub/.fernpart-named01", "sub/kept.txt",
                                                   "sub/real.txt", "sub/taken.txt"}));
}

TEST_F(RestoreJournalTest, ARecordCutByAFailedWriteDoesNotSwallowTheNext) {
  // A nearly full stick: a record written only in part would glue the next one onto it, and the
  // temporary that one lists would be used unlisted.
  fern::CFolderFd root(open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(root.IsOpen());
  CRestoreJournal journal;
  ASSERT_TRUE(journal.Create(root.Get()));
  ASSERT_TRUE(journal.AddTemps({".fernpart-aaaaaa"}));
  std::string name;
  for (const auto& e : std::filesystem::directory_iterator(drive))
    if (e.path().filename().string().rfind(".fernjournal-", 0) == 0) name = e.path().string();
  ASSERT_FALSE(name.empty());
  const off_t whole = static_cast<off_t>(std::filesystem::file_size(name));
  struct rlimit saved;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  struct sigaction ignore {}, before {};
  ignore.sa_handler = SIG_IGN;
  ASSERT_EQ(sigaction(SIGXFSZ, &ignore, &before), 0);
  struct rlimit tight = saved;
  tight.rlim_cur = static_cast<rlim_t>(whole + 8);  // room for part of the next record only
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  const bool cut = journal.AddTemps({".fernpart-bbbbbb"});
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
  ASSERT_EQ(sigaction(SIGXFSZ, &before, nullptr), 0);
  EXPECT_FALSE(cut);
  EXPECT_EQ(static_cast<off_t>(std::filesystem::file_size(name)), whole) << "the cut record is taken back";
  ASSERT_TRUE(journal.AddTemps({".fernpart-cccccc"}));
  const std::set<std::string> listed = CRestoreJournal::ListedNames(drive);
  EXPECT_EQ(listed.count(".fernpart-aaaaaa"), 1u);
  EXPECT_EQ(listed.count(".fernpart-bbbbbb"), 0u);
  EXPECT_EQ(listed.count(".fernpart-cccccc"), 1u);
  journal.Close(true);
}

TEST_F(RestoreJournalTest, AJournalHeldByALiveRestoreIsLeftAlone) {
  fern::CFolderFd root(open(drive.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  ASSERT_TRUE(root.IsOpen());
  CRestoreJournal live;
  ASSERT_TRUE(live.Create(root.Get()));
  ASSERT_TRUE(live.AddTemps({".fernpart-live01"}));
  ASSERT_TRUE(WriteFile(drive + ".fernpart-live01", "being written"));
  EXPECT_EQ(CRestoreJournal::CleanStale(root.Get()), 0);
  EXPECT_EQ(ReadFile(drive + ".fernpart-live01"), "being written");
  std::set<std::string> listed;
  EXPECT_TRUE(CRestoreJournal::IsRestoreFile(drive, ".fernpart-live01", listed));
  // Once its restore is gone (here: the journal let go without removal), the next one cleans.
  ASSERT_TRUE(live.Close(false));
  EXPECT_EQ(CRestoreJournal::CleanStale(root.Get()), 1);
  EXPECT_TRUE(Tree(drive).empty());
}

// Lazily unmounts the drive when asked whether to replace a file, and answers Yes.
class UnmountOnAskUI : public CRecordingUI {
 public:
  std::string point;
  bool done = false;
  OverwriteAnswer AskOverwrite(const std::string& path) override {
    CRecordingUI::AskOverwrite(path);
    if (!done) done = umount2(point.c_str(), MNT_DETACH) == 0;
    return OverwriteAnswer::Yes;
  }
};

TEST_F(RestoreJournalTest, ADriveRemovedMidRestoreGetsOnePlainRow) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  char pattern[] = "/media/fern-restore-XXXXXX";
  if (mkdir("/media", 0755) != 0 && errno != EEXIST) GTEST_SKIP() << "no /media: " << strerror(errno);
  if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "cannot make a mount point below /media: " << strerror(errno);
  const std::string point = pattern;
  if (mount("fern-test", point.c_str(), "tmpfs", 0, "size=16m") != 0) {
    rmdir(point.c_str());
    GTEST_SKIP() << "mount of a tmpfs not allowed here: " << strerror(errno);
  }
  struct Cleanup {
    std::string point;
    ~Cleanup() {
      umount2(point.c_str(), MNT_DETACH);
      rmdir(point.c_str());
    }
  } cleanup{point};
  // New files first (some in place already), then one newer on the stick: the question comes,
  // and the stick goes while it is asked.
  CIndependentSetWriter w;
  for (int i = 0; i < 300; ++i) w.AddEntry("E:\\d\\f" + std::to_string(i) + ".txt", "data", kEntryTime);
  w.AddEntry("E:\\newer.txt", "from the set", kEntryTime);
  for (int i = 0; i < 20; ++i) w.AddEntry("E:\\e\\g" + std::to_string(i) + ".txt", "data", kEntryTime);
  ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  ASSERT_TRUE(WriteFile(point + "/newer.txt", "the user's newer"));
  ASSERT_TRUE(SetMtime(point + "/newer.txt", kEntryTime + 100));

  UnmountOnAskUI ui;
  ui.point = point;
  std::atomic<bool> stop{false};
  OverwriteAnswer answer = OverwriteAnswer::None;
  CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
  run.RestoreSelectedSets({{"", SetPath("s.fcf")}}, "", point + "/");
  ASSERT_TRUE(ui.done);
  EXPECT_TRUE(run.DriveChanged());
  EXPECT_TRUE(ui.messages.empty());
  ASSERT_EQ(ui.errorLists.size(), 1u);
  EXPECT_EQ(ui.errorLists[0].fileNames, std::vector<std::string>{point});
  EXPECT_EQ(ui.errorLists[0].errorTexts, std::vector<std::string>{kDriveRemoved});
  for (const auto& name : ui.errorLists[0].fileNames) EXPECT_EQ(name.find(".fernpart-"), std::string::npos);
  EXPECT_TRUE(Tree(point).empty());  // the bare mount-point folder received nothing
}

}  // namespace
