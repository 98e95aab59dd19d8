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
#include <string>
#include <system_error>

#include <gtest/gtest.h>

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
