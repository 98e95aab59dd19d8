// A drive that goes during a backup (a stick pulled while the desktop unmounts it lazily), and
// files that vanish or become unreachable between the listing of their folder and their reading.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>

#include "platform/ArchiveMark.h"
#include "platform/FileError.h"
#include "res/Resource.h"
#include "storage/StoredName.h"
#include "tests/engine/BackupDrive.h"
#include "tests/engine/LoopImage.h"
#include "tests/engine/UnmountOnOpen.h"
#include "tests/platform/DriveTestMount.h"

using Result = CBackupRun::Result;

namespace {

const char kSetKeptRow[] =
    "The drive was removed during the backup. The backup set is incomplete: it holds only the files "
    "stored before the drive was removed.";
const char kNoSetRow[] = "The drive was removed during the backup. No backup set was written.";

constexpr size_t kBigFile = 1500000;

// About two hundred small files in three folders and four big ones; relative path -> bytes.
std::map<std::string, std::string> FillStick(const std::string& root) {
  std::map<std::string, std::string> files;
  for (const char* folder : {"docs", "docs/old", "media"}) mkdir((root + folder).c_str(), 0755);
  files["readme.txt"] = "read me first";
  for (int i = 0; i < 120; ++i) files["docs/n" + std::to_string(i) + ".txt"] = "note " + std::to_string(i * 31);
  for (int i = 0; i < 40; ++i) files["docs/old/o" + std::to_string(i) + ".txt"] = NoiseBytes(300 + i, 40 + i);
  for (int i = 0; i < 40; ++i) files["media/s" + std::to_string(i) + ".jpg"] = NoiseBytes(2000 + i, 90 + i);
  for (int i = 0; i < 4; ++i) files["media/big" + std::to_string(i) + ".mov"] = NoiseBytes(kBigFile, 7 + i);
  for (const auto& [rel, bytes] : files) PutFile(root + rel, bytes);
  return files;
}

// A fresh folder below /media/ (the desktop's place for sticks) with a tmpfs on it.
bool MountStick(fern::CTestMount& mount, const std::string& tag, std::string& why) {
  return mount.Mount("/media/fern-lost-" + tag + "-" + std::to_string(getpid()), "size=48m", why);
}

// The entries of a set by their path below the drive, in set order.
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

bool StatusSaid(const CRecordingUI& ui, const std::string& text) {
  return std::find(ui.statusTexts.begin(), ui.statusTexts.end(), text) != ui.statusTexts.end();
}

}  // namespace

// The stick goes while the 100th file is being read: that file and those before it stay a
// listed set, each entry exactly the file it names; the run says that the drive went, in one
// row, and touches no mark.
TEST(BackupDriveLost, TmpfsUnmountedMidRunKeepsAWholeSetOfWhatWasStored) {
  fern::CTestMount stick;
  std::string why;
  if (!MountStick(stick, "a", why)) GTEST_SKIP() << why;
  CBackupBench b;
  b.drive = stick.Point() + "/";
  const std::map<std::string, std::string> files = FillStick(b.drive);

  // A first backup that ends well leaves the marks' record file; the lost run must not change it.
  ASSERT_EQ(b.Run(true), Result::Done);
  const std::string records = fern::CArchiveMarks(b.drive, b.marks).RecordFilePath();
  ASSERT_FALSE(records.empty());
  const std::string recordsBefore = GetFile(records);
  ASSERT_FALSE(recordsBefore.empty());

  unsigned seen = 0;
  std::string pulledAt;
  int detachError = 0;
  Result result = b.Run(true, [&](const std::string& path) {
    if (++seen == 100) {
      pulledAt = path;
      if (umount2(stick.Point().c_str(), MNT_DETACH) != 0) detachError = errno;
    }
  });
  ASSERT_EQ(detachError, 0) << strerror(detachError);
  ASSERT_FALSE(pulledAt.empty());
  EXPECT_EQ(result, Result::DriveLost);

  // The set is kept and listed, and holds exactly what was read before the drive went.
  ASSERT_EQ(b.ui->rows.size(), 1u);
  EXPECT_EQ(b.ui->rows[0].setPath, b.setPath);
  EXPECT_EQ(b.ui->rows[0].image, 1);
  std::vector<std::pair<std::string, std::string>> entries;
  ASSERT_TRUE(EntriesByPath(b.setPath, entries)) << b.setPath;
  ASSERT_EQ(entries.size(), 100u);
  EXPECT_EQ(b.drive + entries.back().first, pulledAt);
  for (const auto& [rel, data] : entries) {
    ASSERT_EQ(files.count(rel), 1u) << rel;
    EXPECT_TRUE(data == files.at(rel)) << rel << " is not the file it names";
  }

  // One row, naming the set; nothing about the files it holds or could no longer reach.
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, std::vector<std::string>{b.setPath});
  EXPECT_EQ(b.ui->errorLists[0].errorTexts, std::vector<std::string>{kSetKeptRow});
  EXPECT_FALSE(StatusSaid(*b.ui, "Done!"));
  EXPECT_EQ(b.ui->LastStatus(), "Not Connected");
  EXPECT_FALSE(b.ui->progressShown);
  EXPECT_EQ(GetFile(records), recordsBefore);
}

// The drive goes while a file is read and its data stops short: the entry, filled up with zeros,
// is not the file, and a row says so beside the row about the drive.
TEST(BackupDriveLost, AFileCutByTheLossGetsItsOwnRow) {
  fern::CTestMount stick;
  std::string why;
  if (!MountStick(stick, "b", why)) GTEST_SKIP() << why;
  CBackupBench b;
  b.drive = stick.Point() + "/";
  const std::map<std::string, std::string> files = FillStick(b.drive);

  unsigned seen = 0;
  std::string cut;
  Result result = b.Run(true, [&](const std::string& path) {
    ++seen;
    struct stat st;
    if (!cut.empty() || stat(path.c_str(), &st) != 0 || static_cast<size_t>(st.st_size) != kBigFile) return;
    cut = path;
    // What the reader still gets of it is its first 100000 bytes.
    if (truncate(path.c_str(), 100000) != 0) ADD_FAILURE() << strerror(errno);
    if (umount2(stick.Point().c_str(), MNT_DETACH) != 0) ADD_FAILURE() << strerror(errno);
  });
  ASSERT_FALSE(cut.empty());
  EXPECT_EQ(result, Result::DriveLost);
  std::vector<std::pair<std::string, std::string>> entries;
  ASSERT_TRUE(EntriesByPath(b.setPath, entries));
  ASSERT_EQ(entries.size(), seen);
  for (const auto& [rel, data] : entries) {
    if (b.drive + rel == cut) {
      EXPECT_TRUE(data == files.at(rel).substr(0, 100000) + std::string(kBigFile - 100000, '\0'));
    } else {
      EXPECT_TRUE(data == files.at(rel)) << rel;
    }
  }
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, (std::vector<std::string>{cut, b.setPath}));
  EXPECT_EQ(b.ui->errorLists[0].errorTexts,
            (std::vector<std::string>{fern::FormatFileErrorId(IDS_FILE_ENDOFFILE, cut), kSetKeptRow}));
  EXPECT_FALSE(StatusSaid(*b.ui, "Done!"));
}

// A drive gone before anything was stored: no set, and the row names the drive. The stick is
// pulled while the run opens its first file, an empty one that makes no entry.
TEST(BackupDriveLost, NothingStoredLeavesNoSetAndSaysSo) {
  fern::CTestMount stick;
  std::string why;
  if (!MountStick(stick, "c", why)) GTEST_SKIP() << why;
  CBackupBench b;
  b.drive = stick.Point() + "/";
  FillStick(b.drive);
  for (const auto& e : std::filesystem::directory_iterator(b.drive))
    if (e.is_regular_file()) {
      ASSERT_EQ(unlink(e.path().c_str()), 0);
    }
  PutFile(b.D("empty.txt"), "");  // the only file of the root, so the first one opened
  CUnmountOnOpen pull;
  if (!pull.Start(stick.Point(), b.D("empty.txt"), why)) GTEST_SKIP() << why;

  Result result = b.Run(true);
  ASSERT_TRUE(pull.Fired());
  ASSERT_EQ(pull.DetachError(), 0) << strerror(pull.DetachError());
  EXPECT_EQ(result, Result::DriveLost);
  EXPECT_EQ(b.entries, 0u);
  EXPECT_EQ(b.SetsInBackups(), 0u);
  EXPECT_TRUE(b.ui->rows.empty());
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, std::vector<std::string>{b.drive});
  EXPECT_EQ(b.ui->errorLists[0].errorTexts, std::vector<std::string>{kNoSetRow});
  EXPECT_EQ(b.ui->LastStatus(), "Not Connected");
}

// On ext4 from an image: after the loss the stick comes back, and the next Quick Backup takes
// every file, since the lost run cleared no mark.
TEST(BackupDriveLost, Ext4StickComesBackAndQuickBackupTakesEveryFile) {
  CBackupTempFolder place;
  CLoopImage image;
  std::string why;
  if (!image.Make(place.path(), "ext4", why)) GTEST_SKIP() << why;
  CBackupBench b;
  b.drive = image.Root();
  const std::map<std::string, std::string> files = FillStick(b.drive);
  const std::string point = b.drive.substr(0, b.drive.size() - 1);

  unsigned seen = 0;
  Result result = b.Run(true, [&](const std::string&) {
    if (++seen == 50 && umount2(point.c_str(), MNT_DETACH) != 0) ADD_FAILURE() << strerror(errno);
  });
  EXPECT_EQ(result, Result::DriveLost);
  std::vector<std::pair<std::string, std::string>> entries;
  ASSERT_TRUE(EntriesByPath(b.setPath, entries));
  ASSERT_EQ(entries.size(), 50u);
  for (const auto& [rel, data] : entries) EXPECT_TRUE(data == files.at(rel)) << rel;
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, std::vector<std::string>{b.setPath});
  EXPECT_EQ(b.ui->errorLists[0].errorTexts, std::vector<std::string>{kSetKeptRow});
  EXPECT_FALSE(StatusSaid(*b.ui, "Done!"));

  // Back again (the lazily detached file system is released once the run let go of it).
  image.Unmount();
  ASSERT_TRUE(image.Mount(why)) << why;
  ASSERT_EQ(b.Run(false), Result::Done);
  EXPECT_TRUE(b.ui->errorLists.empty());
  ASSERT_TRUE(EntriesByPath(b.setPath, entries));
  std::map<std::string, std::string> back(entries.begin(), entries.end());
  EXPECT_EQ(back.size(), files.size());
  EXPECT_TRUE(back == files);
}

// A file that goes, or can no longer be examined, after its folder was listed is not stored and
// gets a row; the files stored get none.
TEST(BackupDriveLost, FilesUnreachableAfterTheListingGetRows) {
  CBackupBench b;
  const bool asRoot = geteuid() == 0;
  ASSERT_EQ(mkdir(b.D("gone").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(b.D("shut").c_str(), 0755), 0);
  for (int i = 0; i < 4; ++i) {
    PutFile(b.D("gone/g" + std::to_string(i)), "gone " + std::to_string(i));
    PutFile(b.D("shut/s" + std::to_string(i)), "shut " + std::to_string(i));
  }
  if (asRoot) {
    // The user nobody owns the folders, so the run (as nobody) may change them.
    ASSERT_EQ(chown(b.D("shut").c_str(), 65534, 65534), 0);
    ASSERT_EQ(chown(b.D("gone").c_str(), 65534, 65534), 0);
    for (const std::string& p : {b.temp.path(), b.drive, b.backups}) ASSERT_EQ(chmod(p.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(b.marks.c_str(), 0777), 0);
    ASSERT_EQ(chmod(b.marks.c_str(), 0777), 0);
  }
  std::set<std::string> expected;  // rows
  std::set<std::string> stored;
  std::set<std::string> hooked;
  auto hook = [&](const std::string& path) {
    hooked.insert(path);
    for (const char* folder : {"gone/", "shut/"}) {
      const std::string prefix = b.D(folder);
      if (path.compare(0, prefix.size(), prefix) != 0) continue;
      if (std::count_if(hooked.begin(), hooked.end(),
                        [&](const std::string& p) { return p.compare(0, prefix.size(), prefix) == 0; }) != 1)
        continue;
      // At the first file of the folder, the others go (or become unreachable).
      stored.insert(path);
      for (int i = 0; i < 4; ++i) {
        const std::string other = prefix + folder[0] + std::to_string(i);
        if (other == path) continue;
        if (folder[0] == 'g') {
          if (unlink(other.c_str()) != 0) ADD_FAILURE() << other;
          expected.insert(other);
        } else if (asRoot) {
          expected.insert(other);
        }
      }
      if (folder[0] == 's' && asRoot) {
        // The file read now keeps its mark as well: clearing it meets the same refusal, and
        // says so.
        expected.insert(path);
        if (chmod(prefix.c_str(), 0644) != 0) ADD_FAILURE() << strerror(errno);
      }
    }
  };
  if (asRoot) {
    ASSERT_EQ(seteuid(65534), 0);
  }
  Result result = b.Run(true, hook);
  if (asRoot) {
    ASSERT_EQ(seteuid(0), 0);
  }
  chmod(b.D("shut").c_str(), 0755);
  ASSERT_EQ(result, Result::Done);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  const auto& list = b.ui->errorLists[0];
  EXPECT_EQ(std::set<std::string>(list.fileNames.begin(), list.fileNames.end()), expected);
  for (size_t i = 0; i < list.fileNames.size(); ++i) {
    const std::string& name = list.fileNames[i];
    const std::string want = name.find("/gone/") != std::string::npos ? name + " was not found."
                                                                        : "Access to " + name + " was denied.";
    EXPECT_EQ(list.errorTexts[i], want);
  }
  std::vector<std::pair<std::string, std::string>> entries;
  ASSERT_TRUE(EntriesByPath(b.setPath, entries));
  std::set<std::string> inSet;
  for (const auto& e : entries) inSet.insert(b.D(e.first));
  if (asRoot) {
    EXPECT_EQ(inSet, stored);
  } else {
    EXPECT_EQ(inSet.size(), 5u);  // the whole shut folder, and the first file of the other
    EXPECT_EQ(inSet.count(*stored.begin()), 1u);
  }
}
