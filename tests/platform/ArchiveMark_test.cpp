#include "platform/ArchiveMark.h"

#include <fcntl.h>
#include <linux/msdos_fs.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <system_error>

#include <gtest/gtest.h>

#include "platform/MarkRecords.h"

using fern::CArchiveMarks;
using Clear = CArchiveMarks::ClearResult;

namespace {

struct MarkFolder {
  std::string path;
  MarkFolder() {
    char pattern[] = "/tmp/fern-marks-XXXXXX";
    if (mkdtemp(pattern) != nullptr) path = pattern;
  }
  ~MarkFolder() {
    std::error_code ec;
    if (!path.empty()) std::filesystem::remove_all(path, ec);
  }
};

void Put(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << bytes;
  out.close();
  ASSERT_TRUE(out.good()) << path;
}

struct stat StatOf(const std::string& path) {
  struct stat st;
  memset(&st, 0, sizeof st);
  EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
  return st;
}

bool Marked(CArchiveMarks& marks, const std::string& path) { return marks.IsMarked(path, StatOf(path)); }

// A tmpfs on a folder for the life of the object, where the process may mount one (else the
// folder stays as it is).
struct CTmpfsHere {
  explicit CTmpfsHere(const std::string& folder)
      : path(folder), mounted(mount("fern-marks", folder.c_str(), "tmpfs", 0, "size=256m") == 0) {}
  ~CTmpfsHere() {
    if (mounted) umount2(path.c_str(), MNT_DETACH);
  }
  std::string path;
  bool mounted;
};

int RunCommand(const std::string& command) {
  int status = system((command + " >/dev/null 2>&1").c_str());
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

uint32_t FatAttributes(const std::string& path) {
  int fd = open(path.c_str(), O_RDONLY);
  uint32_t attributes = 0xFFFFFFFF;
  if (fd >= 0) {
    if (ioctl(fd, FAT_IOCTL_GET_ATTRIBUTES, &attributes) != 0) attributes = 0xFFFFFFFF;
    close(fd);
  }
  return attributes;
}

}  // namespace

TEST(ArchiveMark, StandInRecordsFollowSizeAndNanosecondTime) {
  MarkFolder t;
  const std::string root = t.path + "/drive/", records = t.path + "/state/marks";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  const std::string a = root + "a.txt", odd = root + "line\nbreak%41.txt";
  Put(a, "1234");
  Put(odd, "odd");
  {
    CArchiveMarks marks(root, records);
    EXPECT_FALSE(marks.UsesFatAttributes());
    EXPECT_EQ(marks.RecordFilePath().rfind(records + "/", 0), 0u);
    EXPECT_TRUE(Marked(marks, a));
    EXPECT_EQ(marks.ClearMark(a), Clear::Cleared);
    EXPECT_EQ(marks.ClearMark(odd), Clear::Cleared);
    EXPECT_FALSE(Marked(marks, a));
    // Not saved: a new instance knows nothing of it.
    CArchiveMarks other(root, records);
    EXPECT_TRUE(Marked(other, a));
    ASSERT_TRUE(marks.Save());
  }
  {
    CArchiveMarks marks(root, records);
    EXPECT_FALSE(Marked(marks, a));
    EXPECT_FALSE(Marked(marks, odd));
    // The same size and second, another nanosecond: changed.
    struct stat st = StatOf(a);
    struct timespec times[2] = {st.st_atim, st.st_mtim};
    times[1].tv_nsec = (times[1].tv_nsec + 1) % 1000000000;
    ASSERT_EQ(utimensat(AT_FDCWD, a.c_str(), times, 0), 0);
    EXPECT_TRUE(Marked(marks, a));
    // Another size with the old time: changed.
    times[1] = st.st_mtim;
    Put(a, "12345");
    ASSERT_EQ(utimensat(AT_FDCWD, a.c_str(), times, 0), 0);
    EXPECT_TRUE(Marked(marks, a));
    // Cleared against a status the file no longer has: the mark stays.
    EXPECT_EQ(marks.ClearMark(a, st), Clear::ChangedMeanwhile);
    EXPECT_TRUE(Marked(marks, a));
    int error = 0;
    EXPECT_EQ(marks.ClearMark(root + "missing", &error), Clear::Failed);
    EXPECT_EQ(error, ENOENT);
  }
  // Written atomically: only the record file is left in the folder, and records of files that
  // are gone are dropped when it is written again.
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(records)) {
    (void)entry;
    ++files;
  }
  EXPECT_EQ(files, 1u);
  ASSERT_EQ(unlink(odd.c_str()), 0);
  {
    CArchiveMarks marks(root, records);
    EXPECT_EQ(marks.ClearMark(a), Clear::Cleared);
    ASSERT_TRUE(marks.Save());
    std::ifstream in(marks.RecordFilePath());
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(text.find("line"), std::string::npos);
    EXPECT_NE(text.find("a.txt"), std::string::npos);
  }
  // A damaged record file only makes every file marked again.
  {
    CArchiveMarks marks(root, records);
    Put(marks.RecordFilePath(), "something else\n5 1 1 a.txt\n");
    CArchiveMarks reread(root, records);
    EXPECT_TRUE(Marked(reread, a));
  }
  // A marks folder that cannot be made: Save says so.
  Put(t.path + "/blocker", "");
  CArchiveMarks blocked(root, t.path + "/blocker/marks");
  EXPECT_EQ(blocked.ClearMark(a), Clear::Cleared);
  int error = 0;
  EXPECT_FALSE(blocked.Save(&error));
  EXPECT_EQ(error, ENOTDIR);
}

TEST(ArchiveMark, TwoVolumesNeverShareRecords) {
  MarkFolder t;
  const std::string one = t.path + "/one/", two = t.path + "/two/";
  ASSERT_EQ(mkdir(one.c_str(), 0755), 0);
  ASSERT_EQ(mkdir(two.c_str(), 0755), 0);
  EXPECT_NE(fern::MarksKeyOfVolume(one), fern::MarksKeyOfVolume(two));
  EXPECT_EQ(fern::MarksKeyOfVolume(one), fern::MarksKeyOfVolume(one));
  EXPECT_EQ(fern::MarksKeyOfVolume(one).find('/'), std::string::npos);

  // Two tmpfs volumes mounted one after the other at the same place differ by their id.
  const std::string place = t.path + "/media/";
  ASSERT_EQ(mkdir(place.c_str(), 0755), 0);
  if (mount("fern-a", place.c_str(), "tmpfs", 0, "size=1m") != 0)
    GTEST_SKIP() << "tmpfs mount not permitted: " << strerror(errno);
  std::string first = fern::MarksKeyOfVolume(place);
  umount2(place.c_str(), MNT_DETACH);
  ASSERT_EQ(mount("fern-b", place.c_str(), "tmpfs", 0, "size=1m"), 0);
  std::string second = fern::MarksKeyOfVolume(place);
  umount2(place.c_str(), MNT_DETACH);
  EXPECT_NE(first, second);
}

// A real FAT volume: the kernel's archive bit, the read-only attribute and the times.
TEST(ArchiveMark, FatAttributesOnAVfatImage) {
  MarkFolder t;
  const std::string image = t.path + "/stick.img", root = t.path + "/mnt/";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  if (RunCommand("truncate -s 8M " + image) != 0 || RunCommand("mkfs.vfat " + image) != 0)
    GTEST_SKIP() << "mkfs.vfat (dosfstools) not available";
  if (RunCommand("mount -o loop " + image + " " + root) != 0)
    GTEST_SKIP() << "loop mount of a vfat image failed (no vfat in this kernel, or no mount rights)";
  struct Unmount {
    std::string root;
    ~Unmount() { umount2(root.c_str(), MNT_DETACH); }
  } unmount{root};

  const std::string plain = root + "plain.txt", locked = root + "locked.txt";
  Put(plain, "plain");
  Put(locked, "locked");
  ASSERT_EQ(chmod(locked.c_str(), 0444), 0);
  ASSERT_NE(FatAttributes(plain), 0xFFFFFFFFu);
  EXPECT_TRUE(FatAttributes(plain) & ATTR_ARCH);
  EXPECT_TRUE(FatAttributes(locked) & ATTR_RO);

  CArchiveMarks marks(root, t.path + "/records");
  ASSERT_TRUE(marks.UsesFatAttributes());
  EXPECT_EQ(marks.RecordFilePath(), "");
  EXPECT_TRUE(Marked(marks, plain));
  EXPECT_TRUE(Marked(marks, locked));

  struct stat before = StatOf(locked);
  EXPECT_EQ(marks.ClearMark(plain), Clear::Cleared);
  EXPECT_EQ(marks.ClearMark(locked, before), Clear::Cleared);
  EXPECT_FALSE(FatAttributes(plain) & ATTR_ARCH);
  EXPECT_FALSE(FatAttributes(locked) & ATTR_ARCH);
  EXPECT_TRUE(FatAttributes(locked) & ATTR_RO);
  struct stat after = StatOf(locked);
  EXPECT_EQ(after.st_mode & 0222, 0u);
  EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
  EXPECT_FALSE(Marked(marks, plain));
  EXPECT_TRUE(marks.Save());
  EXPECT_EQ(access((t.path + "/records").c_str(), F_OK), -1);  // nothing kept beside the volume

  // Any write sets the bit again, whatever the time stamp says.
  Put(plain, "again");
  EXPECT_TRUE(Marked(marks, plain));

  // A write-protected medium refuses the clearing, and says so.
  ASSERT_EQ(RunCommand("mount -o remount,ro " + root), 0);
  int error = 0;
  EXPECT_EQ(marks.ClearMark(plain, &error), Clear::ReadOnlyMedium);
  EXPECT_EQ(error, EROFS);
  EXPECT_TRUE(Marked(marks, plain));
}

namespace {

struct stat FakeStat(int64_t size, int64_t sec, long nsec) {
  struct stat st;
  memset(&st, 0, sizeof st);
  st.st_size = static_cast<off_t>(size);
  st.st_mtim.tv_sec = static_cast<time_t>(sec);
  st.st_mtim.tv_nsec = nsec;
  return st;
}

std::string FolderOf(size_t i) { return "d" + std::to_string(i % 97) + "/"; }
std::string NameOf(size_t i) { return FolderOf(i) + "f" + std::to_string(i) + ".txt"; }

}  // namespace

// More records than the changes held in memory: they go through the scratch copies, and every
// lookup (before, between and after the recorded paths) answers as a map of them would.
TEST(ArchiveMark, ManyRecordsRoundTripThroughTheRecordFile) {
  MarkFolder t;
  const std::string root = t.path + "/drive/", records = t.path + "/marks";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  // Tens of thousands of files: on a tmpfs where one may be mounted, so a busy disk does not
  // decide how long the test takes.
  CTmpfsHere tmpfs(root);
  const size_t count = fern::CMarkRecords::kOverlayLimit + 777;
  for (size_t i = 0; i < 97; ++i) ASSERT_EQ(mkdir((root + FolderOf(i)).c_str(), 0755), 0);
  for (size_t i = 0; i < count; ++i) Put(root + NameOf(i), std::to_string(i));
  {
    CArchiveMarks marks(root, records);
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(marks.ClearMark(root + NameOf(i)), Clear::Cleared) << i;
    // Before the save, through the overlay and the scratch copies alike.
    for (size_t i = 0; i < count; i += 7) EXPECT_FALSE(Marked(marks, root + NameOf(i))) << i;
    ASSERT_TRUE(marks.Save());
  }
  // Gone files lose their records at the next save.
  for (size_t i = 0; i < count; i += 1000) ASSERT_EQ(unlink((root + NameOf(i)).c_str()), 0);
  const std::string changed = root + NameOf(4321);
  Put(changed, "changed");
  {
    CArchiveMarks marks(root, records);
    size_t unmarked = 0;
    for (size_t i = 0; i < count; ++i)
      if (i % 1000 != 0 && !Marked(marks, root + NameOf(i))) ++unmarked;
    EXPECT_EQ(unmarked, count - (count + 999) / 1000 - 1);  // all but the gone and the changed one
    EXPECT_TRUE(Marked(marks, changed));
    // Paths that sort before, between and after every recorded one have no record.
    for (const char* fresh : {"0first.txt", "d5/f5.txt0", "d50/aaa", "d96/zzz", "zzz.txt"}) {
      Put(root + fresh, "new");
      EXPECT_TRUE(Marked(marks, root + fresh)) << fresh;
    }
    // A record whose size matches but whose nanoseconds do not is a change.
    struct stat st = StatOf(root + NameOf(77));
    EXPECT_FALSE(marks.IsMarked(root + NameOf(77), st));
    st.st_mtim.tv_nsec = (st.st_mtim.tv_nsec + 1) % 1000000000;
    EXPECT_TRUE(marks.IsMarked(root + NameOf(77), st));
    // A change only: the save rewrites the file without the gone files' records.
    EXPECT_EQ(marks.ClearMark(changed), Clear::Cleared);
    ASSERT_TRUE(marks.Save());
  }
  for (size_t i = 0; i < count; i += 1000) Put(root + NameOf(i), std::to_string(i));
  {
    CArchiveMarks marks(root, records);
    EXPECT_FALSE(Marked(marks, changed));
    EXPECT_FALSE(Marked(marks, root + NameOf(1)));
    // Same bytes again, but the record went with the file: taken again.
    EXPECT_TRUE(Marked(marks, root + NameOf(0)));
    EXPECT_TRUE(Marked(marks, root + NameOf(count - count % 1000)));
    // A record file cut short is damage: every file is taken again.
    const std::string path = marks.RecordFilePath();
    struct stat file = StatOf(path);
    ASSERT_EQ(truncate(path.c_str(), file.st_size - 3), 0);
    CArchiveMarks cut(root, records);
    EXPECT_TRUE(Marked(cut, root + NameOf(1)));
  }
}

// The record file of the earlier text layout is read as it is, then rewritten in the new one by
// the next save: the next Quick Backup takes no file again.
TEST(ArchiveMark, ARecordFileThatIsNoFileIsNoRecord) {
  // A FIFO where the record file belongs would hold the backup for good at its open.
  MarkFolder t;
  const std::string root = t.path + "/drive/", records = t.path + "/state/marks";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  Put(root + "a.txt", "a");
  std::string recordPath;
  {
    CArchiveMarks marks(root, records);
    recordPath = marks.RecordFilePath();
  }
  ASSERT_TRUE(std::filesystem::create_directories(records));
  ASSERT_EQ(mkfifo(recordPath.c_str(), 0600), 0);
  CArchiveMarks marks(root, records);
  EXPECT_TRUE(Marked(marks, root + "a.txt"));
  ASSERT_EQ(marks.ClearMark(root + "a.txt"), fern::CArchiveMarks::ClearResult::Cleared);
  ASSERT_TRUE(marks.Save());  // the odd file is replaced by a record file
  CArchiveMarks again(root, records);
  EXPECT_FALSE(Marked(again, root + "a.txt"));
}

TEST(ArchiveMark, RecordFileOfTheTextLayoutIsUpgraded) {
  MarkFolder t;
  const std::string root = t.path + "/drive/", records = t.path + "/state/marks";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  const std::string a = root + "a.txt", odd = root + "line\nbreak%41.txt", stale = root + "stale.txt";
  Put(a, "1234");
  Put(odd, "odd");
  Put(stale, "stale");
  std::string recordPath;
  {
    CArchiveMarks marks(root, records);
    recordPath = marks.RecordFilePath();
  }
  ASSERT_EQ(std::filesystem::create_directories(records), true);
  const struct stat sa = StatOf(a), so = StatOf(odd), ss = StatOf(stale);
  std::string text = "fernapp-marks 1\n";
  auto line = [](const struct stat& st, const std::string& escaped) {
    return std::to_string(st.st_size) + " " + std::to_string(st.st_mtim.tv_sec) + " " +
           std::to_string(st.st_mtim.tv_nsec) + " " + escaped + "\n";
  };
  text += line(sa, "a.txt");
  text += line(so, "line%0Abreak%2541.txt");
  struct stat older = ss;
  older.st_mtim.tv_sec -= 10;
  text += line(older, "stale.txt");
  text += "not a record\n";
  // Records of files that are gone, more of them than the changes held in memory.
  const size_t gone = fern::CMarkRecords::kOverlayLimit + 100;
  for (size_t i = 0; i < gone; ++i) text += line(FakeStat(int64_t(i), 1600000000 + int64_t(i), 5), "gone/" + std::to_string(i));
  // A name that begins with a space is its own name, not that of "lead.txt" (a new file of the
  // same size and time, which has no record); a last line cut short names nobody.
  const std::string spaced = root + " lead.txt", lead = root + "lead.txt", cut = root + "cut";
  Put(spaced, "lead");
  Put(lead, "lead");
  Put(cut, "cut");
  const struct timespec same[2] = {{0, UTIME_OMIT}, {1600000000, 7}};
  ASSERT_EQ(utimensat(AT_FDCWD, spaced.c_str(), same, 0), 0);
  ASSERT_EQ(utimensat(AT_FDCWD, lead.c_str(), same, 0), 0);
  text += line(StatOf(spaced), " lead.txt");
  const std::string cutLine = line(StatOf(cut), "cut-short-name");
  text += cutLine.substr(0, cutLine.size() - 12);  // "... cut", its newline never written
  Put(recordPath, text);
  {
    CArchiveMarks marks(root, records);
    EXPECT_FALSE(Marked(marks, a));
    EXPECT_FALSE(Marked(marks, odd));
    EXPECT_TRUE(Marked(marks, stale));
    EXPECT_FALSE(Marked(marks, spaced));
    EXPECT_TRUE(Marked(marks, lead));
    EXPECT_TRUE(Marked(marks, cut));
    EXPECT_FALSE(marks.IsMarked(root + "gone/12345", FakeStat(12345, 1600000000 + 12345, 5)));
    EXPECT_TRUE(marks.IsMarked(root + "gone/12345", FakeStat(12345, 1600000000 + 12345, 6)));
    // Nothing cleared, yet the save writes the new layout.
    ASSERT_TRUE(marks.Save());
  }
  std::ifstream in(recordPath, std::ios::binary);
  std::string head(16, '\0');
  in.read(&head[0], 16);
  EXPECT_EQ(head, "fernapp-marks 2\n");
  {
    CArchiveMarks marks(root, records);
    EXPECT_FALSE(Marked(marks, a));
    EXPECT_FALSE(Marked(marks, odd));
    EXPECT_TRUE(Marked(marks, stale));
    // The gone files' records were dropped on the way.
    EXPECT_TRUE(marks.IsMarked(root + "gone/12345", FakeStat(12345, 1600000000 + 12345, 5)));
  }
}

// Lookups read the records a window of blocks at a time and keep it: in any order, across many
// windows, and after each save, which puts a new record file in place, the answer is the
// latest record's.
TEST(ArchiveMark, LookupsInAnyOrderSeeTheLatestSave) {
  MarkFolder t;
  const std::string root = t.path + "/drive/", records = t.path + "/marks";
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  // On a tmpfs where one may be mounted, so a busy disk does not decide how long the test takes.
  CTmpfsHere tmpfs(root);
  // Some hundred kilobytes of records (long names): several windows' worth.
  const size_t folders = 40, perFolder = 30, count = folders * perFolder;
  const std::string longName(150, 'n');
  auto name = [&](size_t i) {
    return root + "folder-" + std::to_string(i % folders) + "/" + longName + "-" + std::to_string(i) + ".txt";
  };
  for (size_t f = 0; f < folders; ++f) ASSERT_EQ(mkdir((root + "folder-" + std::to_string(f)).c_str(), 0755), 0);
  for (size_t i = 0; i < count; ++i) Put(name(i), std::to_string(i));
  {
    CArchiveMarks marks(root, records);
    for (size_t i = 0; i < count; ++i) ASSERT_EQ(marks.ClearMark(name(i)), Clear::Cleared) << i;
    ASSERT_TRUE(marks.Save());
  }
  struct stat file = StatOf(CArchiveMarks(root, records).RecordFilePath());
  ASSERT_GT(file.st_size, 150000);

  CArchiveMarks marks(root, records);
  size_t marked = 0;
  for (size_t i = count; i-- > 0;) marked += Marked(marks, name(i)) ? 1 : 0;
  for (size_t i = 0; i < count; ++i) marked += Marked(marks, name(i * 997 % count)) ? 1 : 0;
  EXPECT_EQ(marked, 0u);
  // Paths that sort between recorded ones, in the windows just read, have no record.
  EXPECT_TRUE(marks.IsMarked(name(1) + "0", StatOf(name(1))));
  EXPECT_TRUE(marks.IsMarked(root + "folder-39/b", StatOf(name(1))));

  // Files changed (the same length: their records keep their places in the file), each looked
  // up first so that its old record is in the window read, then cleared and saved.
  const size_t changed[] = {0, count / 2 + 3, count - 1};
  for (size_t i : changed) {
    struct stat before = StatOf(name(i));
    struct timespec times[2] = {before.st_atim, before.st_mtim};
    times[1].tv_sec -= 1000;
    ASSERT_EQ(utimensat(AT_FDCWD, name(i).c_str(), times, 0), 0);
    EXPECT_TRUE(Marked(marks, name(i))) << i;
  }
  for (size_t i : changed) ASSERT_EQ(marks.ClearMark(name(i)), Clear::Cleared) << i;
  ASSERT_TRUE(marks.Save());
  // The last one first: its window was the last read from the record file before the save.
  for (size_t k = std::size(changed); k-- > 0;) EXPECT_FALSE(Marked(marks, name(changed[k]))) << changed[k];
  for (size_t i = 1; i < count; i += 101) EXPECT_FALSE(Marked(marks, name(i))) << i;
}
