#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <regex>

#include "platform/ArchiveMark.h"
#include "platform/FileError.h"
#include "platform/FileFinder.h"
#include "platform/Tick.h"
#include "res/Resource.h"
#include "storage/CompressedFile.h"
#include "storage/ParallelCompressedFile.h"
#include "storage/PartialSet.h"
#include "storage/SetFormat.h"
#include "storage/StoredName.h"
#include "tests/engine/BackupDrive.h"
#include "tests/engine/LoopImage.h"

using Result = CBackupRun::Result;

namespace {

bool MarkedNow(const CBackupBench& b, const std::string& path) {
  fern::CArchiveMarks marks(b.drive, b.marks);
  struct stat st;
  if (lstat(path.c_str(), &st) != 0) return true;
  return marks.IsMarked(path, st);
}

}  // namespace

TEST(BackupRun, OneFileGivesTheTwentyNineByteSet) {
  CBackupBench b;
  PutFile(b.D("a.txt"), "hello");
  SetMtime(b.D("a.txt"), 1234567890);

  ASSERT_EQ(b.Run(true), Result::Done);
  EXPECT_EQ(b.ui->LastStatus(), "Done!");
  ASSERT_EQ(b.ui->rows.size(), 1u);
  EXPECT_EQ(b.ui->rows[0].image, 1);
  EXPECT_EQ(b.ui->rows[0].driveName, "STICK");
  EXPECT_EQ(b.ui->rows[0].setPath, b.setPath);
  EXPECT_TRUE(std::regex_match(b.ui->rows[0].date, std::regex(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d)")));
  EXPECT_TRUE(std::regex_match(b.setPath, std::regex(b.backups + R"(/STICK-\d+\.fcf)"))) << b.setPath;
  EXPECT_TRUE(b.ui->errorLists.empty());
  EXPECT_EQ(b.ui->progressRange, 1);
  EXPECT_EQ(b.ui->progressSteps, 1);
  EXPECT_FALSE(b.ui->progressShown);

  std::string plain;
  ASSERT_TRUE(InflateSet(GetFile(b.setPath), plain));
  ASSERT_EQ(plain.size(), 29u);
  EXPECT_EQ(LittleEndian(plain, 0, 4), 8u);
  EXPECT_EQ(LittleEndian(plain, 4, 4), 5u);
  EXPECT_EQ(LittleEndian(plain, 8, 8), 1234567890u);
  EXPECT_EQ(plain.substr(16), std::string("E:\\a.txt") + "hello");

  // The letter the watcher gave the volume is the one stored.
  ASSERT_EQ(b.Run(true, {}, "STICK", 'G'), Result::Done);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "G:\\a.txt");
}

TEST(BackupRun, WholeTreeDepthFirstWithEveryByte) {
  CBackupBench b;
  std::map<std::string, std::string> files = {
      {"top.txt", "top level"},
      {"A/a.txt", std::string(40000, 'a') + NoiseBytes(50000, 1)},
      {"A/B/b.bin", NoiseBytes(16384, 2)},
      {"A/B/C/c.txt", "deep"},
      {"D/d.txt", NoiseBytes(16385, 3)},
  };
  for (const char* folder : {"A", "A/B", "A/B/C", "D", "Empty", "Empty/Inner"}) mkdir(b.D(folder).c_str(), 0755);
  for (const auto& [rel, data] : files) PutFile(b.D(rel), data);
  PutFile(b.D("A/zero.txt"), "");

  ASSERT_EQ(b.Run(true), Result::Done);
  EXPECT_EQ(b.ui->progressRange, 7);
  EXPECT_EQ(b.ui->progressSteps, 7);  // the bar ends full
  EXPECT_TRUE(b.ui->errorLists.empty());
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), files.size());
  std::vector<std::string> order;
  for (const auto& e : entries) {
    std::string rel = e.name.substr(3);
    std::replace(rel.begin(), rel.end(), '\\', '/');
    ASSERT_TRUE(files.count(rel)) << e.name;
    EXPECT_EQ(e.data, files[rel]) << e.name;
    EXPECT_EQ(e.nameLength, e.name.size());
    order.push_back(rel);
  }
  // Depth first: the root's files first, each folder's subtree in one piece.
  EXPECT_EQ(order[0], "top.txt");
  auto pos = [&](const std::string& rel) { return std::find(order.begin(), order.end(), rel) - order.begin(); };
  EXPECT_EQ(pos("A/B/b.bin") + 1, pos("A/B/C/c.txt"));
  EXPECT_EQ(pos("A/a.txt") + 1, pos("A/B/b.bin"));
}

TEST(BackupRun, QuickBackupTakesExactlyTheChangedFiles) {
  CBackupBench b;
  mkdir(b.D("docs").c_str(), 0755);
  mkdir(b.D("empty").c_str(), 0755);
  PutFile(b.D("docs/plan.txt"), "version 1");
  PutFile(b.D("notes.txt"), "unchanged");
  PutFile(b.D("blank.txt"), "");
  SetMtime(b.D("docs/plan.txt"), 1600000000);
  ASSERT_EQ(b.Run(true), Result::Done);
  const std::string fullSet = b.setPath;

  // Unchanged drive: nothing to write, the empty set is removed, no row.
  ASSERT_EQ(b.Run(false), Result::NoChanges);
  EXPECT_EQ(b.ui->LastStatus(), "No file changes");
  EXPECT_TRUE(b.ui->rows.empty());
  EXPECT_TRUE(b.ui->errorLists.empty());
  EXPECT_NE(access(b.setPath.c_str(), F_OK), 0);
  EXPECT_EQ(b.SetsInBackups(), 1u);
  EXPECT_EQ(access(fullSet.c_str(), F_OK), 0);

  // Rewritten with the same size and an older time stamp: still picked up.
  PutFile(b.D("docs/plan.txt"), "version 2");
  SetMtime(b.D("docs/plan.txt"), 1500000000);
  ASSERT_EQ(b.Run(false), Result::Done);
  EXPECT_TRUE(std::regex_match(b.setPath, std::regex(b.backups + R"(/STICK-\d+\.fci)")));
  ASSERT_EQ(b.ui->rows.size(), 1u);
  EXPECT_EQ(b.ui->rows[0].image, 2);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\docs\\plan.txt");
  EXPECT_EQ(entries[0].data, "version 2");
  EXPECT_EQ(entries[0].time, 1500000000);

  // A new file, then nothing again.
  PutFile(b.D("empty/new.txt"), "new");
  ASSERT_EQ(b.Run(false), Result::Done);
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\empty\\new.txt");
  ASSERT_EQ(b.Run(false), Result::NoChanges);

  // A Full Backup takes every file whatever its mark.
  ASSERT_EQ(b.Run(true), Result::Done);
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  EXPECT_EQ(entries.size(), 3u);
}

TEST(BackupRun, ReadOnlyAndZeroLengthFiles) {
  CBackupBench b;
  PutFile(b.D("locked.txt"), "keep me");
  SetMtime(b.D("locked.txt"), 1400000000);
  ASSERT_EQ(chmod(b.D("locked.txt").c_str(), 0444), 0);
  PutFile(b.D("zero.txt"), "");
  struct stat before;
  ASSERT_EQ(stat(b.D("locked.txt").c_str(), &before), 0);

  ASSERT_EQ(b.Run(true), Result::Done);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].data, "keep me");
  EXPECT_TRUE(b.ui->errorLists.empty());

  struct stat after;
  ASSERT_EQ(stat(b.D("locked.txt").c_str(), &after), 0);
  EXPECT_EQ(after.st_mode & 07777, 0444u);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
  EXPECT_FALSE(MarkedNow(b, b.D("locked.txt")));
  EXPECT_FALSE(MarkedNow(b, b.D("zero.txt")));

  // Only empty files and folders: no entry, no row, no set left behind.
  CBackupBench e;
  mkdir(e.D("folder").c_str(), 0755);
  PutFile(e.D("folder/nothing"), "");
  ASSERT_EQ(e.Run(true), Result::NoChanges);
  EXPECT_TRUE(e.ui->errorLists.empty());
  EXPECT_EQ(e.SetsInBackups(), 0u);
}

TEST(BackupRun, UnreadableFileGivesARowAndLosesItsMark) {
  CBackupBench b;
  PutFile(b.D("secret.txt"), "no entry");
  PutFile(b.D("open.txt"), "readable");
  ASSERT_EQ(chmod(b.D("secret.txt").c_str(), 0), 0);
  mkdir(b.D("closed").c_str(), 0755);
  PutFile(b.D("closed/inside.txt"), "inside");
  ASSERT_EQ(chmod(b.D("closed").c_str(), 0), 0);
  // Root reads anything: the run then goes as the user nobody, who meets the real EACCES.
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    for (const std::string& p : {b.temp.path(), b.drive, b.backups}) {
      ASSERT_EQ(chmod(p.c_str(), 0777), 0);
    }
    ASSERT_EQ(mkdir(b.marks.c_str(), 0777), 0);
    ASSERT_EQ(chmod(b.marks.c_str(), 0777), 0);
    ASSERT_EQ(seteuid(65534), 0);
  }
  Result result = b.Run(true);
  if (asRoot) {
    ASSERT_EQ(seteuid(0), 0);
  }
  ASSERT_EQ(result, Result::Done);
  chmod(b.D("closed").c_str(), 0755);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  // The file, and the folder whose files could not even be listed.
  ASSERT_EQ(b.ui->errorLists[0].fileNames.size(), 2u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames[0], b.D("secret.txt"));
  EXPECT_EQ(b.ui->errorLists[0].errorTexts[0], "Access to " + b.D("secret.txt") + " was denied.");
  EXPECT_EQ(b.ui->errorLists[0].fileNames[1], b.D("closed"));
  EXPECT_EQ(b.ui->errorLists[0].errorTexts[1], "Access to " + b.D("closed") + " was denied.");
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\open.txt");

  // The next Quick Backup does not retry it until it changes; the folder's files are new to it.
  ASSERT_EQ(b.Run(false), Result::Done);
  EXPECT_TRUE(b.ui->errorLists.empty());
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\closed\\inside.txt");
}

TEST(BackupRun, ThousandErrorsCloseTheList) {
  // 999 rows: shown as they are, and the walk goes on into the subfolder.
  CBackupBench b;
  for (int i = 0; i < 999; ++i) PutFile(b.D("bad\\" + std::to_string(i)), "x");
  mkdir(b.D("sub").c_str(), 0755);
  PutFile(b.D("sub/good.txt"), "good");
  ASSERT_EQ(b.Run(true), Result::Done);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  const auto& list = b.ui->errorLists[0];
  ASSERT_EQ(list.fileNames.size(), 999u);
  ASSERT_EQ(list.errorTexts.size(), 999u);
  EXPECT_EQ(list.errorTexts[0], list.fileNames[0] + " contains an invalid path.");
  EXPECT_NE(list.fileNames.back(), "<Exceeded Maximum number of Errors>");
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\sub\\good.txt");

  // 1000 rows: the closing row follows and no further folder is entered.
  CBackupBench c;
  for (int i = 0; i < 1000; ++i) PutFile(c.D("bad\\" + std::to_string(i)), "x");
  mkdir(c.D("sub").c_str(), 0755);
  PutFile(c.D("sub/good.txt"), "good");
  ASSERT_EQ(c.Run(true), Result::NoChanges);
  ASSERT_EQ(c.ui->errorLists.size(), 1u);
  const auto& full = c.ui->errorLists[0];
  ASSERT_EQ(full.fileNames.size(), 1001u);
  ASSERT_EQ(full.errorTexts.size(), 1001u);
  EXPECT_EQ(full.fileNames.back(), "<Exceeded Maximum number of Errors>");
  EXPECT_EQ(full.errorTexts.back(), "<Cancelling operation>");
  EXPECT_TRUE(MarkedNow(c, c.D("sub/good.txt")));
}

TEST(BackupRun, CancelKeepsThePartialSet) {
  CBackupBench b;
  for (int i = 0; i < 5; ++i) PutFile(b.D("f" + std::to_string(i)), NoiseBytes(40000, i));
  mkdir(b.D("sub").c_str(), 0755);
  PutFile(b.D("sub/later.txt"), "later");
  std::string first;
  ASSERT_EQ(b.Run(true,
                  [&](const std::string& path) {
                    if (first.empty()) first = path;
                    b.stop = true;  // the Cancel button, pressed while the first file is read
                  }),
            Result::Done);
  EXPECT_EQ(b.ui->LastStatus(), "Done!");
  ASSERT_EQ(b.ui->rows.size(), 1u);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);  // no file is cut off, no further file is begun
  EXPECT_EQ(entries[0].data, GetFile(first));
  EXPECT_FALSE(MarkedNow(b, first));
  EXPECT_TRUE(MarkedNow(b, b.D("sub/later.txt")));
}

// Sets of many compressed blocks: one worker or several give the very same file, which holds
// every byte, passes gzip's own test, and a cancel in the middle still leaves a whole set.
TEST(BackupRun, SetOfManyBlocksIsTheSameOnOneWorkerAndOnSeveral) {
  CBackupBench b;
  std::string text;
  for (int i = 0; i < 20000; ++i) text += "line " + std::to_string(i * 7919 % 10007) + " of the report\n";
  for (int i = 0; i < 6; ++i) {
    mkdir(b.D("d" + std::to_string(i)).c_str(), 0755);
    PutFile(b.D("d" + std::to_string(i) + "/noise.bin"), NoiseBytes(300000 + i * 1000, 20 + i));
    PutFile(b.D("d" + std::to_string(i) + "/text.txt"), text.substr(i * 1000));
    for (int k = 0; k < 40; ++k) PutFile(b.D("d" + std::to_string(i) + "/s" + std::to_string(k)), text.substr(k, 300 + k));
  }
  auto gzipTest = [](const std::string& path) {
    const int status = system(("gzip -t '" + path + "'").c_str());
    return status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  };

  b.threads = 1;
  ASSERT_EQ(b.Run(true), Result::Done);
  const std::string one = GetFile(b.setPath);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 6u * 42u);
  for (const ParsedEntry& e : entries) {
    std::string relative = e.name.substr(3);
    std::replace(relative.begin(), relative.end(), '\\', '/');
    ASSERT_TRUE(e.data == GetFile(b.D(relative))) << e.name;
  }
  EXPECT_TRUE(gzipTest(b.setPath));
  EXPECT_GT(one.size(), 6u * CParallelCompressedFile::kBlockSize);  // the noise alone fills many blocks
  ASSERT_EQ(unlink(b.setPath.c_str()), 0);

  b.threads = 4;
  ASSERT_EQ(b.Run(true), Result::Done);
  EXPECT_TRUE(GetFile(b.setPath) == one);
  ASSERT_EQ(unlink(b.setPath.c_str()), 0);

  // Cancelled while blocks are still being compressed: the set ends after the file in progress.
  int seen = 0;
  std::string lastTaken;
  ASSERT_EQ(b.Run(true,
                  [&](const std::string& path) {
                    lastTaken = path;
                    if (++seen == 100) b.stop = true;
                  }),
            Result::Done);
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 100u);
  EXPECT_TRUE(entries.back().data == GetFile(lastTaken));
  EXPECT_TRUE(gzipTest(b.setPath));
  EXPECT_FALSE(MarkedNow(b, lastTaken));
}

TEST(BackupRun, ProgressRangeIsSixteenBitsWide) {
  EXPECT_EQ(CBackupRun::ProgressRange(1), 1);
  EXPECT_EQ(CBackupRun::ProgressRange(65535), 65535);
  EXPECT_EQ(CBackupRun::ProgressRange(65536), 0);
  EXPECT_EQ(CBackupRun::ProgressRange(65537), 1);
  EXPECT_EQ(CBackupRun::ProgressRange(70000), 4464);

  CBackupBench b;
  for (const char* f : {"a", "a/b", "a/b/c", "d"}) mkdir(b.D(f).c_str(), 0755);
  ASSERT_EQ(symlink("a", b.D("link").c_str()), 0);  // not a folder of its own
  CRecordingUI ui;
  std::atomic<bool> stop{false};
  char buffer[16384];
  CBackupRun run(ui, stop, buffer);
  unsigned count = 0;
  run.CountFolders(b.drive, count);
  EXPECT_EQ(count, 5u);
}

TEST(BackupRun, FailedSetWriteIsReportedAndRemoved) {
  CBackupBench b;
  PutFile(b.D("big.bin"), NoiseBytes(1 << 20, 7));
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 64 * 1024;
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Result result = b.Run(true);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(result, Result::WriteFailed);
  EXPECT_NE(access(b.setPath.c_str(), F_OK), 0);
  EXPECT_EQ(b.SetsInBackups(), 0u);
  EXPECT_TRUE(b.ui->rows.empty());
  EXPECT_TRUE(std::find(b.ui->statusTexts.begin(), b.ui->statusTexts.end(), "Done!") == b.ui->statusTexts.end());
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  ASSERT_EQ(b.ui->errorLists[0].fileNames.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames[0], b.setPath);
  EXPECT_EQ(b.ui->errorLists[0].errorTexts[0], "Disk full while accessing " + b.setPath + ".");
  // The file was not saved anywhere: it keeps its mark for the next Quick Backup.
  EXPECT_TRUE(MarkedNow(b, b.D("big.bin")));
  ASSERT_EQ(b.Run(false), Result::Done);

  // A real full file system where the test may mount one.
  CBackupBench t;
  PutFile(t.D("big.bin"), NoiseBytes(1 << 20, 8));
  if (mount("fern-full", t.backups.c_str(), "tmpfs", 0, "size=128k") != 0) {
    GTEST_SKIP() << "tmpfs mount not permitted: " << strerror(errno);
  }
  Result onTmpfs = t.Run(true);
  const bool gone = access(t.setPath.c_str(), F_OK) != 0;
  umount2(t.backups.c_str(), MNT_DETACH);
  EXPECT_EQ(onTmpfs, Result::WriteFailed);
  EXPECT_TRUE(gone);
  ASSERT_EQ(t.ui->errorLists.size(), 1u);
  EXPECT_EQ(t.ui->errorLists[0].errorTexts[0], "Disk full while accessing " + t.setPath + ".");
}

TEST(BackupRun, FilesChangingWhileReadKeepTheSetInStep) {
  CBackupBench b;
  const std::string growing = NoiseBytes(20000, 11), shrinking = NoiseBytes(30000, 12);
  PutFile(b.D("grow.bin"), growing);
  PutFile(b.D("shrink.bin"), shrinking);
  PutFile(b.D("steady.txt"), "steady");
  ASSERT_EQ(b.Run(true,
                  [&](const std::string& path) {
                    if (path == b.D("grow.bin")) {
                      std::ofstream out(path, std::ios::binary | std::ios::app);
                      out << std::string(50000, 'g');
                    } else if (path == b.D("shrink.bin")) {
                      ASSERT_EQ(truncate(path.c_str(), 3), 0);
                    }
                  }),
            Result::Done);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));  // every header agrees with its data
  ASSERT_EQ(entries.size(), 3u);
  const ParsedEntry* grow = FindEntry(entries, "E:\\grow.bin");
  const ParsedEntry* shrink = FindEntry(entries, "E:\\shrink.bin");
  ASSERT_TRUE(grow && shrink && FindEntry(entries, "E:\\steady.txt"));
  EXPECT_EQ(grow->data, growing);
  EXPECT_EQ(shrink->dataLength, 30000u);
  EXPECT_EQ(shrink->data, shrinking.substr(0, 3) + std::string(29997, '\0'));

  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  std::map<std::string, std::string> rows;
  for (size_t i = 0; i < b.errorNames.size(); ++i) rows[b.errorNames[i]] = b.errorTexts[i];
  ASSERT_EQ(rows.size(), 2u);
  EXPECT_EQ(rows[b.D("grow.bin")], "A sharing violation occurred while accessing " + b.D("grow.bin") + ".");
  EXPECT_EQ(rows[b.D("shrink.bin")], "An attempt was made to access " + b.D("shrink.bin") + " past its end.");
  // Both changed after they were read: their new state is not in any set, so they stay marked.
  EXPECT_TRUE(MarkedNow(b, b.D("grow.bin")));
  EXPECT_TRUE(MarkedNow(b, b.D("shrink.bin")));
  EXPECT_FALSE(MarkedNow(b, b.D("steady.txt")));
  ASSERT_EQ(b.Run(false), Result::Done);
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  EXPECT_EQ(entries.size(), 2u);
}

TEST(BackupRun, SymbolicLinks) {
  CBackupBench b;
  CBackupTempFolder outside;
  PutFile(outside.path() + "/elsewhere.txt", "not on the drive");
  mkdir(b.D("real").c_str(), 0755);
  PutFile(b.D("real/f.txt"), "the real file");
  ASSERT_EQ(symlink("real", b.D("folderlink").c_str()), 0);
  ASSERT_EQ(symlink("real/f.txt", b.D("filelink").c_str()), 0);
  ASSERT_EQ(symlink((outside.path() + "/elsewhere.txt").c_str(), b.D("outlink").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", b.D("dangling").c_str()), 0);
  ASSERT_EQ(symlink(outside.path().c_str(), b.D("outfolder").c_str()), 0);

  ASSERT_EQ(b.Run(true), Result::Done);
  EXPECT_TRUE(b.ui->errorLists.empty());
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 2u);
  ASSERT_TRUE(FindEntry(entries, "E:\\real\\f.txt"));
  ASSERT_TRUE(FindEntry(entries, "E:\\filelink"));
  EXPECT_EQ(FindEntry(entries, "E:\\filelink")->data, "the real file");
  EXPECT_EQ(b.ui->progressSteps, 2);
}

TEST(BackupRun, EachFolderIsWalkedOnce) {
  CBackupBench b;
  mkdir(b.D("sub").c_str(), 0755);
  mkdir(b.D("sub/loop").c_str(), 0755);
  PutFile(b.D("sub/x.txt"), "x");
  // A bind mount of the drive inside itself is a real loop that no link check catches.
  if (mount(b.drive.c_str(), b.D("sub/loop").c_str(), nullptr, MS_BIND, nullptr) != 0) {
    GTEST_SKIP() << "bind mount not permitted: " << strerror(errno);
  }
  Result result = b.Run(true);
  umount2(b.D("sub/loop").c_str(), MNT_DETACH);
  ASSERT_EQ(result, Result::Done);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\sub\\x.txt");
  EXPECT_EQ(b.ui->progressRange, 2);
  EXPECT_EQ(b.ui->progressSteps, 2);
}

TEST(BackupRun, RunsThatWriteNoSet) {
  // No drive: no set, nothing shown.
  CBackupBench b;
  PutFile(b.D("a.txt"), "a");
  CRecordingUI ui;
  std::atomic<bool> stop{false};
  char buffer[16384];
  CBackupRun run(ui, stop, buffer);
  EXPECT_EQ(run.RunBackup(CBackupDrive{}, true, b.backups, b.marks), Result::NoSet);
  EXPECT_TRUE(ui.statusTexts.empty());
  EXPECT_TRUE(ui.errorLists.empty());
  EXPECT_EQ(b.SetsInBackups(), 0u);

  // The set cannot be created: no message, and the drive keeps its marks.
  CBackupDrive d{b.drive, 'E', "STICK"};
  PutFile(b.temp.path() + "/plainfile", "");
  EXPECT_EQ(run.RunBackup(d, true, b.temp.path() + "/plainfile", b.marks), Result::NoSet);
  EXPECT_TRUE(ui.statusTexts.empty());
  EXPECT_TRUE(ui.errorLists.empty());
  EXPECT_TRUE(MarkedNow(b, b.D("a.txt")));

  // A label with '/' still names a file in the backups folder.
  d.name = "../up";
  EXPECT_EQ(run.RunBackup(d, true, b.backups, b.marks), Result::Done);
  EXPECT_EQ(run.SetPath().rfind(b.backups + "/.._up-", 0), 0u) << run.SetPath();
  ASSERT_EQ(ui.rows.size(), 1u);
  EXPECT_EQ(ui.rows[0].driveName, "../up");
}

TEST(BackupRun, SetInsideTheDriveIsNotBackedUpIntoItself) {
  CBackupBench b;
  PutFile(b.D("a.txt"), "a");
  b.backups = b.D("backups");
  mkdir(b.backups.c_str(), 0755);
  ASSERT_EQ(b.Run(true), Result::Done);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\a.txt");
}

// The drive as the desktop mounts it: a tmpfs below /media/, read back through the storage layer.
TEST(BackupRun, TmpfsUnderMediaReadsBackByteForByte) {
  char pattern[] = "/media/fern-backup-XXXXXX";
  if (mkdir("/media", 0755) != 0 && errno != EEXIST) GTEST_SKIP() << "no /media: " << strerror(errno);
  if (mkdtemp(pattern) == nullptr) GTEST_SKIP() << "cannot make a mount point below /media: " << strerror(errno);
  const std::string mountPoint = pattern;
  if (mount("fern-stick", mountPoint.c_str(), "tmpfs", 0, "size=8m") != 0) {
    int err = errno;
    rmdir(mountPoint.c_str());
    GTEST_SKIP() << "tmpfs mount not permitted: " << strerror(err);
  }
  CBackupBench b;
  b.drive = mountPoint + "/";
  std::map<std::string, std::string> files = {{"a.txt", "alpha"},
                                              {"photos/p1.jpg", NoiseBytes(300000, 21)},
                                              {"photos/2026/p2.jpg", NoiseBytes(70001, 22)},
                                              {"notes/n.txt", std::string(100000, 'n')}};
  for (const char* f : {"photos", "photos/2026", "notes", "empty"}) mkdir(b.D(f).c_str(), 0755);
  for (const auto& [rel, data] : files) PutFile(b.D(rel), data);
  PutFile(b.D("notes/zero"), "");

  Result full = b.Run(true);
  std::map<std::string, std::string> back;
  bool clean = false;
  {
    CCompressedFile stream;
    if (stream.Open(b.setPath.c_str(), 2)) {
      for (;;) {
        fern::EntryHeader header;
        std::string name;
        auto read = fern::ReadEntryHeader(stream, header, name);
        if (read != fern::HeaderResult::Entry) {
          clean = read == fern::HeaderResult::End;
          break;
        }
        std::string data(header.dataLength, '\0');
        uint32_t done = 0;
        while (done < header.dataLength) {
          int got = stream.Read(&data[done], std::min<uint32_t>(16384, header.dataLength - done));
          if (got <= 0) break;
          done += static_cast<uint32_t>(got);
        }
        if (done != header.dataLength) break;
        std::string rel;
        if (!fern::StoredNameToRelative(name, rel)) break;
        back[rel] = data;
      }
    }
  }
  PutFile(b.D("photos/2026/p3.jpg"), "new");
  Result quick = b.Run(false);
  std::vector<ParsedEntry> entries;
  bool parsed = ParseSetFile(b.setPath, entries);
  umount2(mountPoint.c_str(), MNT_DETACH);
  rmdir(mountPoint.c_str());

  ASSERT_EQ(full, Result::Done);
  EXPECT_TRUE(clean);
  EXPECT_EQ(back, files);
  ASSERT_EQ(quick, Result::Done);
  ASSERT_TRUE(parsed);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\photos\\2026\\p3.jpg");
}

// A FAT volume: the marks are the kernel's archive attributes.
TEST(BackupRun, VfatImageUsesTheArchiveAttribute) {
  CBackupBench b;
  const std::string image = b.temp.path() + "/stick.img";
  b.drive = b.temp.path() + "/mnt/";
  mkdir(b.drive.c_str(), 0755);
  if (system(("truncate -s 8M " + image + " && mkfs.vfat " + image + " >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "mkfs.vfat (dosfstools) not available";
  if (system(("mount -o loop " + image + " " + b.drive + " >/dev/null 2>&1").c_str()) != 0)
    GTEST_SKIP() << "loop mount of a vfat image failed (no vfat in this kernel, or no mount rights)";
  struct Unmount {
    std::string root;
    ~Unmount() { umount2(root.c_str(), MNT_DETACH); }
  } unmount{b.drive};
  mkdir(b.D("DOCS").c_str(), 0755);
  PutFile(b.D("DOCS/A.TXT"), "fat file");
  PutFile(b.D("RO.TXT"), "read only");
  ASSERT_EQ(chmod(b.D("RO.TXT").c_str(), 0444), 0);

  ASSERT_EQ(b.Run(true), Result::Done);
  EXPECT_TRUE(b.ui->errorLists.empty());
  EXPECT_EQ(access(b.marks.c_str(), F_OK), -1);  // no stand-in records for a FAT volume
  struct stat st;
  ASSERT_EQ(stat(b.D("RO.TXT").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0222, 0u);
  ASSERT_EQ(b.Run(false), Result::NoChanges);

  PutFile(b.D("DOCS/A.TXT"), "fat file");  // same bytes, but written: the kernel marks it
  ASSERT_EQ(b.Run(false), Result::Done);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\DOCS\\A.TXT");

  // Write-protected: the files are backed up, the marks stay, and no row per file says so.
  PutFile(b.D("DOCS/A.TXT"), "changed");
  ASSERT_EQ(system(("mount -o remount,ro " + b.drive).c_str()), 0);
  ASSERT_EQ(b.Run(false), Result::Done);
  EXPECT_TRUE(b.ui->errorLists.empty());
  ASSERT_EQ(b.Run(false), Result::Done);
}

// The stand-in records cannot be written: the set is good and listed, one row names the record
// file (not one per file), and the next Quick Backup takes every file again.
TEST(BackupRun, MarksThatCannotBeSavedGiveOneRow) {
  CBackupBench b;
  PutFile(b.D("a.txt"), "a");
  PutFile(b.D("b.txt"), "b");
  PutFile(b.marks, "a file where the marks folder should be");

  ASSERT_EQ(b.Run(true), Result::Done);
  EXPECT_EQ(b.ui->LastStatus(), "Done!");
  EXPECT_EQ(b.ui->rows.size(), 1u);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  ASSERT_EQ(b.ui->errorLists[0].fileNames.size(), 1u);
  const std::string record = b.ui->errorLists[0].fileNames[0];
  EXPECT_EQ(record.rfind(b.marks + "/", 0), 0u) << record;
  EXPECT_EQ(b.ui->errorLists[0].errorTexts[0], record + " contains an invalid path.");
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  EXPECT_EQ(entries.size(), 2u);

  ASSERT_EQ(b.Run(false), Result::Done);
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  EXPECT_EQ(entries.size(), 2u);
}

TEST(BackupRun, ASetTakesItsNameOnlyWhenWholeAndIsPrivate) {
  CBackupBench b;
  PutFile(b.D("a.txt"), NoiseBytes(30000, 1));
  PutFile(b.D("b.txt"), NoiseBytes(30000, 2));
  // Another run writing at the same time (its lock held), and what a killed run left behind.
  std::string otherRun;
  int otherFd = fern::CreatePartialSet(b.backups, otherRun);
  ASSERT_GE(otherFd, 0);
  const std::string leftover = b.backups + "/" + fern::PartialSetPrefix() + "Kq3xZ9";
  PutFile(leftover, "cut short");

  const mode_t oldMask = umask(022);
  std::vector<std::string> seenWhileWriting;
  std::vector<std::string> partialWhileWriting;
  Result result = b.Run(true, [&](const std::string&) {
    std::vector<fern::CFindData> found;
    fern::FindFiles(b.backups, fern::AllSetsPattern(), found);
    for (const auto& f : found) seenWhileWriting.push_back(f.name);
    fern::FindFiles(b.backups, std::string(fern::PartialSetPrefix()) + "*", found);
    for (const auto& f : found) partialWhileWriting.push_back(f.fullPath);
  });
  umask(oldMask);
  ASSERT_EQ(result, Result::Done);

  // While the run wrote, the set list found no set; the run's own file was there under its
  // partial name, the leftover already gone.
  EXPECT_TRUE(seenWhileWriting.empty());
  ASSERT_EQ(partialWhileWriting.size(), 4u);  // two entries, the other run's file and its own
  EXPECT_EQ(std::count(partialWhileWriting.begin(), partialWhileWriting.end(), leftover), 0);
  EXPECT_NE(std::count(partialWhileWriting.begin(), partialWhileWriting.end(), otherRun), 0);

  struct stat st;
  ASSERT_EQ(stat(b.setPath.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0600u);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  EXPECT_EQ(entries.size(), 2u);
  // The set and the other run's file remain; this run's partial name is gone.
  EXPECT_EQ(b.SetsInBackups(), 2u);
  EXPECT_EQ(access(otherRun.c_str(), F_OK), 0);
  EXPECT_NE(access(leftover.c_str(), F_OK), 0);
  close(otherFd);

  // A run that writes no entry leaves nothing at all, partial or set.
  ASSERT_EQ(b.Run(false), Result::NoChanges);
  EXPECT_EQ(b.SetsInBackups(), 1u);  // the first set; the other run's file was a leftover by now
  EXPECT_NE(access(otherRun.c_str(), F_OK), 0);
  EXPECT_NE(access(b.setPath.c_str(), F_OK), 0);
}

TEST(BackupRun, AFolderThatCanBeListedButNotEnteredGivesRows) {
  CBackupBench b;
  PutFile(b.D("open.txt"), "readable");
  mkdir(b.D("listed").c_str(), 0755);
  PutFile(b.D("listed/one.txt"), "one");
  PutFile(b.D("listed/two.txt"), "two");
  // Names can be read, but nothing in it examined or opened.
  ASSERT_EQ(chmod(b.D("listed").c_str(), 0744), 0);
  const bool asRoot = geteuid() == 0;
  if (asRoot) {
    for (const std::string& p : {b.temp.path(), b.drive, b.backups}) ASSERT_EQ(chmod(p.c_str(), 0777), 0);
    ASSERT_EQ(mkdir(b.marks.c_str(), 0777), 0);
    ASSERT_EQ(chmod(b.marks.c_str(), 0777), 0);
    ASSERT_EQ(seteuid(65534), 0);
  }
  Result result = b.Run(true);
  if (asRoot) ASSERT_EQ(seteuid(0), 0);
  chmod(b.D("listed").c_str(), 0755);
  ASSERT_EQ(result, Result::Done);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  std::vector<std::string> names = b.ui->errorLists[0].fileNames;
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names, (std::vector<std::string>{b.D("listed/one.txt"), b.D("listed/two.txt")}));
  for (size_t i = 0; i < b.ui->errorLists[0].fileNames.size(); ++i) {
    const std::string& name = b.ui->errorLists[0].fileNames[i];
    EXPECT_EQ(b.ui->errorLists[0].errorTexts[i], "Access to " + name + " was denied.");
  }
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\open.txt");
}

TEST(BackupRun, AFolderWhoseListingFailsGivesARowAndTheRunGoesOn) {
  CBackupTempFolder place;
  CLoopImage stick;
  std::string why;
  if (!stick.Make(place.path(), "exfat-fuse", why)) GTEST_SKIP() << why;
  const std::string root = stick.Root();
  ASSERT_EQ(mkdir((root + "broken").c_str(), 0755), 0);
  for (int i = 0; i < 30; ++i) PutFile(root + "broken/file" + std::to_string(i) + ".txt", "in broken");
  PutFile(root + "good.txt", "good");
  ASSERT_TRUE(stick.Unmount());
  {
    // One name in the folder changes on the medium behind the file system's back: the entry
    // set no longer matches its check sum, and reading the folder fails with an I/O error.
    std::string image = GetFile(stick.ImagePath());
    const std::string name("f\0i\0l\0e\0" "1\0" "7\0", 12);
    size_t at = image.find(name);
    ASSERT_NE(at, std::string::npos);
    image[at] ^= 1;
    std::fstream out(stick.ImagePath(), std::ios::in | std::ios::out | std::ios::binary);
    out.seekp(static_cast<std::streamoff>(at));
    out.put(image[at]);
    out.close();
    ASSERT_TRUE(out.good());
  }
  ASSERT_TRUE(stick.Mount(why)) << why;
  // The folder opens; it is its listing that fails.
  std::vector<fern::CFindData> found;
  std::vector<fern::CFindProblem> problems;
  EXPECT_TRUE(fern::FindFiles(root + "broken", "*.*", found, &problems));
  ASSERT_EQ(problems.size(), 1u);
  EXPECT_EQ(problems[0].fullPath, root + "broken");
  EXPECT_EQ(problems[0].error, EIO);

  CBackupBench b;
  b.drive = root;
  ASSERT_EQ(b.Run(true), Result::Done);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  ASSERT_EQ(b.ui->errorLists[0].fileNames.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames[0], root + "broken");
  EXPECT_EQ(b.ui->errorLists[0].errorTexts[0],
            "A hardware I/O error was reported while accessing " + root + "broken.");
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  EXPECT_NE(FindEntry(entries, "E:\\good.txt"), nullptr);
}

// Two sticks of one label backed up in one millisecond (two "NONAME" sticks): each run leaves
// its own set, and a file that already has a set's name is never replaced.
TEST(BackupRun, SetNamesNeverReplaceAFile) {
  struct PinnedClock {
    PinnedClock() { fern::PinTickCount(4242); }
    ~PinnedClock() { fern::UnpinTickCount(); }
  } pinned;
  CBackupBench b;
  PutFile(b.D("a.txt"), "first stick");
  ASSERT_EQ(b.Run(true, {}, "NONAME"), Result::Done);
  const std::string first = b.setPath;
  EXPECT_EQ(first, b.backups + "/NONAME-4242.fcf");
  const std::string firstBytes = GetFile(first);

  PutFile(b.D("a.txt"), "second stick");
  ASSERT_EQ(b.Run(true, {}, "NONAME"), Result::Done);
  EXPECT_EQ(b.setPath, b.backups + "/NONAME-4243.fcf");
  ASSERT_EQ(b.ui->rows.size(), 1u);
  EXPECT_EQ(b.ui->rows[0].setPath, b.setPath) << "the list shows the name used";
  EXPECT_EQ(GetFile(first), firstBytes);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].data, "second stick");

  // Any file of the name, in any case, is left as it is; so is a folder.
  PutFile(b.backups + "/NONAME-4244.fcf", "the user's own bytes");
  ASSERT_EQ(mkdir((b.backups + "/NONAME-4245.fcf").c_str(), 0755), 0);
  PutFile(b.D("a.txt"), "third stick");
  ASSERT_EQ(b.Run(true, {}, "NONAME"), Result::Done);
  EXPECT_EQ(b.setPath, b.backups + "/NONAME-4246.fcf");
  EXPECT_EQ(GetFile(b.backups + "/NONAME-4244.fcf"), "the user's own bytes");
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].data, "third stick");

  // A Quick set takes the next free name of its own kind.
  PutFile(b.D("a.txt"), "changed");
  PutFile(b.backups + "/NONAME-4242.fci", "taken");
  ASSERT_EQ(b.Run(false, {}, "NONAME"), Result::Done);
  EXPECT_EQ(b.setPath, b.backups + "/NONAME-4243.fci");
  EXPECT_EQ(GetFile(b.backups + "/NONAME-4242.fci"), "taken");
  EXPECT_EQ(GetFile(first), firstBytes);
  std::vector<std::string> partials;
  for (const auto& e : std::filesystem::directory_iterator(b.backups))
    if (e.path().filename().string().rfind(fern::PartialSetPrefix(), 0) == 0) partials.push_back(e.path());
  EXPECT_TRUE(partials.empty());
}

namespace {

// A tmpfs on a folder where the test may mount one, so that a busy disk does not decide how long
// a test of thousands of files takes; else the folder as it is. Unmounted when it goes.
struct CTmpfsOn {
  std::string path;
  bool mounted;
  CTmpfsOn(const std::string& folder, const char* options)
      : path(folder), mounted(mount("fern-many", folder.c_str(), "tmpfs", 0, options) == 0) {}
  ~CTmpfsOn() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
  }
};

size_t CountMarked(const CBackupBench& b, const std::vector<std::string>& paths) {
  fern::CArchiveMarks marks(b.drive, b.marks);
  size_t marked = 0;
  for (const std::string& path : paths) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || marks.IsMarked(path, st)) ++marked;
  }
  return marked;
}

}  // namespace

TEST(BackupRun, QuickBackupOfTwentyThousandFilesTakesOnlyWhatChanged) {
  CBackupBench b;
  CTmpfsOn tmpfs(b.drive, "size=256m");
  const size_t count = 20000;
  auto name = [](size_t i) { return "f" + std::to_string(i % 100) + "/n" + std::to_string(i) + ".txt"; };
  for (size_t f = 0; f < 100; ++f) ASSERT_EQ(mkdir(b.D("f" + std::to_string(f)).c_str(), 0755), 0);
  for (size_t i = 0; i < count; ++i) PutFile(b.D(name(i)), "file " + std::to_string(i));

  ASSERT_EQ(b.Run(true), Result::Done);
  EXPECT_EQ(b.entries, count);
  EXPECT_TRUE(b.ui->errorLists.empty());
  ASSERT_EQ(b.Run(false), Result::NoChanges);
  EXPECT_EQ(b.entries, 0u);
  EXPECT_EQ(b.SetsInBackups(), 1u);
  EXPECT_TRUE(b.ui->errorLists.empty());

  PutFile(b.D(name(12345)), "changed, and longer");
  ASSERT_EQ(b.Run(false), Result::Done);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, "E:\\f45\\n12345.txt");
  EXPECT_EQ(entries[0].data, "changed, and longer");
  EXPECT_EQ(b.Run(false), Result::NoChanges);
}

// The list of files to clear lives in a file while the set is written: the marks it clears are
// exactly those of the files stored whole, and none while the set has no name.
TEST(BackupRun, MarksClearedFromTheListOnDiskAreExactlyThoseOfTheStoredFiles) {
  CBackupBench b;
  CTmpfsOn tmpfs(b.drive, "size=64m");
  // Enough files that the list spans many of its buffers.
  std::vector<std::string> files;
  for (size_t i = 0; i < 3000; ++i) {
    files.push_back(b.D("a-file-with-a-longer-name-" + std::to_string(i) + ".txt"));
    PutFile(files.back(), std::to_string(i));
  }
  ASSERT_EQ(mkdir(b.D("sub").c_str(), 0755), 0);
  files.push_back(b.D("sub/big.bin"));
  PutFile(files.back(), NoiseBytes(2 << 20, 9));

  // The set breaks off at the big file, after the small ones were listed.
  struct rlimit old;
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  struct rlimit small = old;
  small.rlim_cur = 1 << 20;
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  Result result = b.Run(true);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
  signal(SIGXFSZ, oldHandler);
  ASSERT_EQ(result, Result::WriteFailed);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, std::vector<std::string>{b.setPath});
  EXPECT_EQ(CountMarked(b, files), files.size());

  // A file that changes while it is read keeps its mark; every other loses it.
  const std::string changing = files[1500];
  ASSERT_EQ(b.Run(true,
                  [&](const std::string& path) {
                    if (path == changing) PutFile(changing, "rewritten while read");
                  }),
            Result::Done);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, std::vector<std::string>{changing});
  EXPECT_EQ(b.entries, files.size());
  EXPECT_EQ(CountMarked(b, files), 1u);
  EXPECT_TRUE(MarkedNow(b, changing));

  ASSERT_EQ(b.Run(false), Result::Done);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].data, "rewritten while read");
}

// The list cannot be made (here: the backups folder is write-protected from the first file taken
// on): a row says so, the set is still whole, and every file keeps its mark.
TEST(BackupRun, AListOfFilesToClearThatCannotBeMadeGivesARow) {
  CBackupBench b;
  PutFile(b.D("a.txt"), "a");
  PutFile(b.D("b.txt"), "b");
  PutFile(b.D("c.txt"), "c");
  int calls = 0;
  bool mounted = false;
  Result result = b.Run(true, [&](const std::string&) {
    if (++calls == 1)
      mounted = mount("fern-ro", b.backups.c_str(), "tmpfs", MS_RDONLY, "size=1m") == 0;
    else if (calls == 2 && mounted)
      umount2(b.backups.c_str(), MNT_DETACH);
  });
  if (!mounted) GTEST_SKIP() << "tmpfs mount not permitted: " << strerror(errno);
  ASSERT_EQ(result, Result::Done);
  std::vector<ParsedEntry> entries;
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  EXPECT_EQ(entries.size(), 3u);
  ASSERT_EQ(b.ui->errorLists.size(), 1u);
  EXPECT_EQ(b.ui->errorLists[0].fileNames, std::vector<std::string>{b.backups});
  EXPECT_EQ(b.ui->errorLists[0].errorTexts, std::vector<std::string>{fern::FormatFileError(EROFS, b.backups)});
  EXPECT_EQ(CountMarked(b, {b.D("a.txt"), b.D("b.txt"), b.D("c.txt")}), 3u);
  ASSERT_EQ(b.Run(false), Result::Done);
  ASSERT_TRUE(ParseSetFile(b.setPath, entries));
  EXPECT_EQ(entries.size(), 3u);
}
