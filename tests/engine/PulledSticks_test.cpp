// Sticks that go in the middle of a run, on the file systems sticks carry (mounted from images):
// lazily unmounted as a desktop's automounter does when a stick is pulled, or left behind by a
// FUSE driver that died. What the user is told, what the set and the stick keep, and what the
// next run makes of it once the stick is back.
#include <dirent.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "engine/RestoreRun.h"
#include "platform/ArchiveMark.h"
#include "platform/FileError.h"
#include "storage/StoredName.h"
#include "tests/engine/BackupDrive.h"
#include "tests/engine/IndependentSetWriter.h"
#include "tests/engine/LoopImage.h"
#include "tests/engine/RecordingUI.h"
#include "tests/engine/RestoreFixture.h"

namespace {

using Result = CBackupRun::Result;

const char kSetKeptRow[] =
    "The drive was removed during the backup. The backup set is incomplete: it holds only the files "
    "stored before the drive was removed.";
const char kDriveRemoved[] = "The drive was removed during the restore. Files not yet restored were not written.";
constexpr int64_t kEntryTime = 1700000000;

std::string ParamName(const ::testing::TestParamInfo<const char*>& info) {
  std::string name = info.param;
  for (char& c : name)
    if (c == '-') c = '_';
  return name;
}

bool IsFuse(const std::string& kind) { return kind != "ext4"; }

// The process serving a FUSE mount: the one whose arguments name the mount point. 0 if none.
pid_t FuseDaemonOf(const std::string& point) {
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return 0;
  pid_t found = 0;
  while (dirent* e = readdir(proc)) {
    const pid_t pid = static_cast<pid_t>(atoi(e->d_name));
    if (pid <= 0 || pid == getpid()) continue;
    const std::string args = GetFile("/proc/" + std::string(e->d_name) + "/cmdline");
    size_t at = 0;
    while (at < args.size()) {
      const size_t end = args.find('\0', at);
      const std::string arg = args.substr(at, end == std::string::npos ? std::string::npos : end - at);
      if (arg == point || arg == point + "/") found = pid;
      if (end == std::string::npos) break;
      at = end + 1;
    }
    if (found != 0) break;
  }
  closedir(proc);
  return found;
}

// Whether a process has exited (gone, or a zombie nobody reaped yet).
bool Exited(pid_t pid) {
  const std::string stat = GetFile("/proc/" + std::to_string(pid) + "/stat");
  if (stat.empty()) return true;
  const size_t paren = stat.rfind(')');
  return paren != std::string::npos && paren + 2 < stat.size() && (stat[paren + 2] == 'Z' || stat[paren + 2] == 'X');
}

// Waits (at most 20 s) for a process to exit: a FUSE daemon flushes its volume on the way out, so
// the image is only whole once it has gone.
bool WaitExited(pid_t pid) {
  for (int i = 0; i < 2000; ++i) {
    if (Exited(pid)) return true;
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
  return false;
}

// Small files in three folders and two larger ones; relative path -> bytes.
std::map<std::string, std::string> FillStick(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const char* folder : {"docs", "docs/old", "media"}) mkdir((root + folder).c_str(), 0755);
  files["readme.txt"] = "read me first";
  for (int i = 0; i < 50; ++i) files["docs/n" + std::to_string(i) + ".txt"] = "note " + std::to_string(i * 31);
  for (int i = 0; i < 30; ++i) files["docs/old/o" + std::to_string(i) + ".txt"] = NoiseBytes(300 + i, 40 + i);
  for (int i = 0; i < 20; ++i) files["media/s" + std::to_string(i) + ".jpg"] = NoiseBytes(2000 + i, 90 + i);
  for (int i = 0; i < 2; ++i) files["media/big" + std::to_string(i) + ".mov"] = NoiseBytes(400000, 7 + i);
  for (const auto& [rel, bytes] : files) PutFile(root + rel, bytes);
  return files;
}

// The entries of a set by their path below the drive.
bool EntriesByPath(const std::string& setPath, std::vector<std::pair<std::string, std::string>>& out) {
  out.clear();
  std::vector<ParsedEntry> entries;
  if (!ParseSetFile(setPath, entries)) return false;
  for (auto& e : entries) {
    std::string rel;
    if (!fern::StoredNameToRelative(e.name, rel)) return false;
    out.emplace_back(rel, std::move(e.data));
  }
  return true;
}

bool NamesRestoreFile(const std::string& text) {
  return text.find(".fernpart-") != std::string::npos || text.find(".fernjournal-") != std::string::npos;
}

// An image stick that can be pulled and plugged in again. Unplug waits until the detached file
// system is released (its FUSE daemon gone), so that the image is whole before the next mount.
class CPullableStick {
 public:
  bool Make(const std::string& folder, const std::string& kind, std::string& why) {
    m_kind = kind;
    if (!m_image.Make(folder, kind, why)) return false;
    return FindDaemon(why);
  }
  std::string Root() const { return m_image.Root(); }
  std::string Point() const { return Root().substr(0, Root().size() - 1); }
  pid_t Daemon() const { return m_daemon; }

  // Unmounts the stick (a mount already detached, or left by a dead daemon, is taken away
  // lazily) and waits for its daemon to go.
  bool Unplug() {
    m_image.Unmount();
    return m_daemon == 0 || WaitExited(m_daemon);
  }
  bool Plug(std::string& why) { return m_image.Mount(why) && FindDaemon(why); }

 private:
  bool FindDaemon(std::string& why) {
    m_daemon = 0;
    if (!IsFuse(m_kind)) return true;
    m_daemon = FuseDaemonOf(Point());
    if (m_daemon == 0) why = "no process serves the " + m_kind + " mount " + Point();
    return m_daemon != 0;
  }

  std::string m_kind;
  CLoopImage m_image;
  pid_t m_daemon = 0;
};

// ---------------------------------------------------------------------------------------------
// A backup whose stick is pulled: the set keeps exactly what was stored, one row says that the
// drive went, no mark is cleared, and a Quick Backup once the stick is back takes every file.

class PulledStickBackup : public ::testing::TestWithParam<const char*> {};

TEST_P(PulledStickBackup, LazilyUnmountedMidBackupKeepsWhatWasStoredAndEveryMark) {
  CBackupTempFolder place;
  CPullableStick stick;
  std::string why;
  if (!stick.Make(place.path(), GetParam(), why)) GTEST_SKIP() << why;
  CBackupBench b;
  b.drive = stick.Root();
  const std::map<std::string, std::string> files = FillStick(b.drive);
  const std::string records = fern::CArchiveMarks(b.drive, b.marks).RecordFilePath();

  unsigned seen = 0;
  std::string pulledAt;
  int detachError = 0;
  Result result = b.Run(true, [&](const std::string& path) {
    if (++seen == 40) {
      pulledAt = path;
      if (umount2(stick.Point().c_str(), MNT_DETACH) != 0) detachError = errno;
    }
  });
  ASSERT_EQ(detachError, 0) << strerror(detachError);
  ASSERT_FALSE(pulledAt.empty());
  EXPECT_EQ(result, Result::DriveLost);

  // The set is listed and holds the files read before the stick went (the one open at that
  // moment is read whole through its open descriptor), each exactly the file it names.
  ASSERT_EQ(b.ui->rows.size(), 1u);
  EXPECT_EQ(b.ui->rows[0].setPath, b.setPath);
  std::vector<std::pair<std::string, std::string>> entries;
  ASSERT_TRUE(EntriesByPath(b.setPath, entries)) << b.setPath;
  ASSERT_EQ(entries.size(), 40u);
  EXPECT_EQ(b.drive + entries.back().first, pulledAt);
  for (const auto& [rel, data] : entries) {
    ASSERT_EQ(files.count(rel), 1u) << rel;
    EXPECT_TRUE(data == files.at(rel)) << rel << " is not the file it names";
  }
  // One row, about the drive; none naming a file the set holds.
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, std::vector<std::string>{b.setPath});
  EXPECT_EQ(b.ui->errorLists[0].errorTexts, std::vector<std::string>{kSetKeptRow});
  EXPECT_EQ(std::count(b.ui->statusTexts.begin(), b.ui->statusTexts.end(), "Done!"), 0);
  EXPECT_EQ(b.ui->LastStatus(), "Not Connected");
  // No mark record was written for a drive that had gone.
  if (!records.empty()) {
    EXPECT_FALSE(restore_test::Exists(records)) << records;
  }

  // The stick comes back: every file is still marked, so a Quick Backup takes them all.
  ASSERT_TRUE(stick.Unplug()) << "the detached file system was not released";
  ASSERT_TRUE(stick.Plug(why)) << why;
  ASSERT_EQ(b.Run(false), Result::Done);
  EXPECT_TRUE(b.ui->errorLists.empty()) << b.ui->errorLists[0].fileNames[0] << ": "
                                        << b.ui->errorLists[0].errorTexts[0];
  ASSERT_TRUE(EntriesByPath(b.setPath, entries));
  const std::map<std::string, std::string> back(entries.begin(), entries.end());
  EXPECT_EQ(back.size(), files.size());
  EXPECT_TRUE(back == files);
  // And the marks that run cleared hold on this volume: the next Quick Backup has nothing to take.
  ASSERT_EQ(b.Run(false), Result::NoChanges);
  EXPECT_EQ(b.entries, 0u);
}

INSTANTIATE_TEST_SUITE_P(Sticks, PulledStickBackup, ::testing::Values("exfat-fuse", "ntfs-3g"), ParamName);

// The stick's FUSE daemon dies while a file is being read: the walk ends as for a pulled stick.
// The file being read is cut (its entry is not the file, and its row says so); every other
// entry is whole, and no other file gets a row.
TEST_P(PulledStickBackup, ADaemonKilledMidBackupEndsTheRunAsAPulledStick) {
  CBackupTempFolder place;
  CPullableStick stick;
  std::string why;
  if (!stick.Make(place.path(), GetParam(), why)) GTEST_SKIP() << why;
  CBackupBench b;
  b.drive = stick.Root();
  const std::map<std::string, std::string> files = FillStick(b.drive);
  // What was written above may still sit in the page cache; the run must read from the daemon.
  ASSERT_TRUE(stick.Unplug());
  ASSERT_TRUE(stick.Plug(why)) << why;

  unsigned seen = 0;
  std::string cut;
  bool killed = false;
  Result result = b.Run(true, [&](const std::string& path) {
    if (++seen == 40) {
      cut = path;
      killed = kill(stick.Daemon(), SIGKILL) == 0 && WaitExited(stick.Daemon());
    }
  });
  ASSERT_TRUE(killed);
  EXPECT_EQ(result, Result::DriveLost);
  std::vector<std::pair<std::string, std::string>> entries;
  ASSERT_TRUE(EntriesByPath(b.setPath, entries)) << b.setPath;
  ASSERT_EQ(entries.size(), 40u);
  EXPECT_EQ(b.drive + entries.back().first, cut);
  for (const auto& [rel, data] : entries) {
    if (b.drive + rel == cut) {
      EXPECT_FALSE(data == files.at(rel)) << "the daemon died before " << rel << " was read";
    } else {
      EXPECT_TRUE(data == files.at(rel)) << rel << " is not the file it names";
    }
  }
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, (std::vector<std::string>{cut, b.setPath}));
  ASSERT_EQ(b.ui->errorLists[0].errorTexts.size(), 2u);
  EXPECT_EQ(b.ui->errorLists[0].errorTexts[0], fern::FormatFileError(ENOTCONN, cut));
  EXPECT_EQ(b.ui->errorLists[0].errorTexts[1], kSetKeptRow);
  EXPECT_EQ(b.ui->LastStatus(), "Not Connected");

  ASSERT_TRUE(stick.Unplug());
  ASSERT_TRUE(stick.Plug(why)) << why;
  ASSERT_EQ(b.Run(false), Result::Done);
  EXPECT_TRUE(b.ui->errorLists.empty());
  ASSERT_TRUE(EntriesByPath(b.setPath, entries));
  const std::map<std::string, std::string> back(entries.begin(), entries.end());
  EXPECT_TRUE(back == files);
}

// ---------------------------------------------------------------------------------------------
// A restore whose stick goes: lazily unmounted, or its FUSE daemon killed.

// Does something once, when the restore shows its n-th entry.
class AfterEntriesUI : public CRecordingUI {
 public:
  unsigned after = 0;
  std::function<void()> action;
  unsigned seen = 0;
  void SetInfoText(const std::string& text) override {
    CRecordingUI::SetInfoText(text);
    if (++seen == after && action) action();
  }
};

class PulledStickRestore : public restore_test::RestoreFolders, public ::testing::WithParamInterface<const char*> {
 protected:
  // A set of small files in two folders and a few larger ones.
  void MakeSet() {
    CIndependentSetWriter w;
    for (int i = 0; i < 60; ++i) Add(w, "d/f" + std::to_string(i) + ".txt", "data " + std::to_string(i));
    for (int i = 0; i < 4; ++i) Add(w, "big/b" + std::to_string(i) + ".bin", restore_test::Noise(200000, 3 + i));
    for (int i = 0; i < 40; ++i) Add(w, "e/g" + std::to_string(i) + ".txt", restore_test::Noise(700 + i, 50 + i));
    ASSERT_TRUE(w.Write(SetPath("s.fcf")));
  }
  void Add(CIndependentSetWriter& w, const std::string& rel, const std::string& data) {
    std::string stored = rel;
    std::replace(stored.begin(), stored.end(), '/', '\\');
    w.AddEntry("E:\\" + stored, data, kEntryTime);
    files[rel] = data;
  }

  // The run onto the stick, as the window starts it; the UI says when the stick goes.
  bool RestoreOnto(AfterEntriesUI& ui, const std::string& root) {
    std::atomic<bool> stop{false};
    OverwriteAnswer answer = OverwriteAnswer::None;
    CRestoreRun run(ui, stop, buffer.data(), answer, nullptr);
    run.RestoreSelectedSets({{"", SetPath("s.fcf")}}, "", root);
    return run.DriveChanged();
  }

  // One row saying the drive went, naming its root, and nothing else.
  void ExpectOneDriveRemovedRow(const CRecordingUI& ui, const std::string& point) {
    EXPECT_TRUE(ui.messages.empty());
    ASSERT_EQ(ui.errorLists.size(), 1u);
    for (size_t i = 0; i < ui.errorLists[0].fileNames.size(); ++i) {
      EXPECT_FALSE(NamesRestoreFile(ui.errorLists[0].fileNames[i])) << ui.errorLists[0].fileNames[i];
      EXPECT_FALSE(NamesRestoreFile(ui.errorLists[0].errorTexts[i])) << ui.errorLists[0].errorTexts[i];
    }
    EXPECT_EQ(ui.errorLists[0].fileNames, std::vector<std::string>{point});
    EXPECT_EQ(ui.errorLists[0].errorTexts, std::vector<std::string>{kDriveRemoved});
  }

  // Once the stick is back: what the interrupted restore left is its journal (and temporaries it
  // lists); the same restore again removes all of it and puts every file in place, whole.
  void ExpectSecondRestoreCleansUp(const std::string& root) {
    const std::vector<std::string> before = restore_test::Tree(root);
    EXPECT_TRUE(std::any_of(before.begin(), before.end(),
                            [](const std::string& p) { return p.find(".fernjournal-") != std::string::npos; }))
        << "the interrupted restore left no journal";
    AfterEntriesUI again;
    EXPECT_FALSE(RestoreOnto(again, root));
    EXPECT_TRUE(again.errorLists.empty()) << again.errorLists[0].fileNames[0] << ": "
                                          << again.errorLists[0].errorTexts[0];
    EXPECT_TRUE(again.messages.empty());
    std::vector<std::string> expected = {"big", "d", "e"};
    for (const auto& [rel, data] : files) {
      expected.push_back(rel);
      EXPECT_TRUE(restore_test::ReadFile(root + rel) == data) << rel << " is not whole";
    }
    std::sort(expected.begin(), expected.end());
    // Nothing else: no temporary, no journal (the exFAT and NTFS roots hold no system folder).
    std::vector<std::string> after = restore_test::Tree(root);
    after.erase(std::remove(after.begin(), after.end(), "lost+found"), after.end());
    EXPECT_EQ(after, expected);
  }

  std::map<std::string, std::string> files;
  std::vector<char> buffer = std::vector<char>(16384);
};

TEST_P(PulledStickRestore, LazilyUnmountedMidRestoreSaysSoAndTheNextRestoreCleansUp) {
  CPullableStick stick;
  std::string why;
  if (!stick.Make(base, GetParam(), why)) GTEST_SKIP() << why;
  MakeSet();
  const std::string point = stick.Point();

  AfterEntriesUI ui;
  ui.after = 70;  // the small files and the big ones written, the third folder begun
  int detachError = -1;
  ui.action = [&] { detachError = umount2(point.c_str(), MNT_DETACH) == 0 ? 0 : errno; };
  EXPECT_TRUE(RestoreOnto(ui, stick.Root()));
  ASSERT_EQ(detachError, 0) << strerror(detachError);
  ExpectOneDriveRemovedRow(ui, point);
  EXPECT_TRUE(restore_test::Tree(point).empty()) << "the bare mount-point folder received files";

  ASSERT_TRUE(stick.Unplug()) << "the detached file system was not released";
  ASSERT_TRUE(stick.Plug(why)) << why;
  ExpectSecondRestoreCleansUp(stick.Root());
}

INSTANTIATE_TEST_SUITE_P(Sticks, PulledStickRestore, ::testing::Values("ext4", "exfat-fuse", "ntfs-3g"), ParamName);

// The FUSE driver of the stick dies mid-restore (killed): the stick is as good as gone, and the
// user reads that, never the internal name of a file the restore was writing.
class DeadFuseRestore : public PulledStickRestore {};

TEST_P(DeadFuseRestore, ADaemonKilledMidRestoreReadsAsARemovedDrive) {
  CPullableStick stick;
  std::string why;
  if (!stick.Make(base, GetParam(), why)) GTEST_SKIP() << why;
  MakeSet();
  const std::string point = stick.Point();

  AfterEntriesUI ui;
  ui.after = 70;
  bool killed = false;
  ui.action = [&] { killed = kill(stick.Daemon(), SIGKILL) == 0 && WaitExited(stick.Daemon()); };
  EXPECT_TRUE(RestoreOnto(ui, stick.Root()));
  ASSERT_TRUE(killed);
  ExpectOneDriveRemovedRow(ui, point);

  // The dead mount is taken away (lazily, as it cannot answer), the stick plugged in again.
  ASSERT_TRUE(stick.Unplug());
  ASSERT_TRUE(stick.Plug(why)) << why;
  ExpectSecondRestoreCleansUp(stick.Root());
}

INSTANTIATE_TEST_SUITE_P(Sticks, DeadFuseRestore, ::testing::Values("exfat-fuse", "ntfs-3g"), ParamName);

}  // namespace
