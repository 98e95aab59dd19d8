#include "engine/Schedule.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>
#include <string>
#include <vector>


namespace fern {
namespace {

constexpr int64_t kHour = 3600;
constexpr int64_t kDay = 86400;

class ScheduleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fernsched-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_folder = pattern;
    m_now = static_cast<int64_t>(time(nullptr));
  }
  void TearDown() override { std::filesystem::remove_all(m_folder); }

  // A set file written `age` seconds before now.
  void MakeSet(const std::string& name, int64_t age) {
    std::string path = m_folder + "/" + name;
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(write(fd, "x", 1), 1);
    ASSERT_EQ(close(fd), 0);
    SetAge(path, age);
  }
  void SetAge(const std::string& path, int64_t age) {
    struct timespec times[2];
    times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(m_now - age);
    times[0].tv_nsec = times[1].tv_nsec = 0;
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, AT_SYMLINK_NOFOLLOW), 0) << path;
  }
  bool Exists(const std::string& name) const {
    struct stat st;
    return lstat((m_folder + "/" + name).c_str(), &st) == 0;
  }

  // Runs the check with the stored values, recording which values were read.
  DueBackup Check(const std::string& driveName, bool attached = true) {
    SettingReader reader = [this](const char* valueName, int defaultValue) {
      m_read.push_back(valueName);
      auto it = m_settings.find(valueName);
      return it == m_settings.end() ? defaultValue : it->second;
    };
    m_read.clear();
    return CheckSchedule(m_folder, attached ? "/media/" + driveName + "/" : "", driveName, reader,
                         m_now);
  }
  bool WasRead(const std::string& valueName) const {
    for (const std::string& name : m_read)
      if (name == valueName) return true;
    return false;
  }

  std::string m_folder;
  int64_t m_now = 0;
  std::map<std::string, int> m_settings;
  std::vector<std::string> m_read;
};

TEST_F(ScheduleTest, NothingStoredMeansNoBackupAndSixtyDayPurge) {
  MakeSet("A-1.fcf", 60 * kDay + 23 * kHour);
  MakeSet("A-2.fci", 61 * kDay);
  MakeSet("OTHER-3.FCF", 61 * kDay + kHour);  // another drive, upper-case extension
  MakeSet("OTHER-4.fcf", 61 * kDay);          // its latest backup
  MakeSet("notes.txt", 100 * kDay);
  ASSERT_EQ(mkdir((m_folder + "/old.fcf").c_str(), 0755), 0);
  SetAge(m_folder + "/old.fcf", 100 * kDay);

  EXPECT_EQ(Check("A"), DueBackup::None);
  EXPECT_TRUE(Exists("A-1.fcf"));
  EXPECT_FALSE(Exists("A-2.fci"));
  EXPECT_FALSE(Exists("OTHER-3.FCF"));
  EXPECT_TRUE(Exists("OTHER-4.fcf"));
  EXPECT_TRUE(Exists("notes.txt"));
  EXPECT_TRUE(Exists("old.fcf"));  // a folder is never deleted
  // Both backups are disabled by their zero day counts.
  EXPECT_TRUE(WasRead("Full Days"));
  EXPECT_TRUE(WasRead("Incremental Days"));
}

// The user's own files that happen to match "*.fc*" are never taken for sets, however old: in a
// home's "backups" folder they may be anything (FreeCAD's .FCStd and .FCBak, for one).
TEST_F(ScheduleTest, PurgeDeletesOnlyTheProgramsOwnSets) {
  const char* lookAlikes[] = {"bracket.FCStd", "bracket.FCBak", "notes-1.fcfx", "x-12.fcfz", "x-abc.fcf",
                              "MYSTICK-notes.fcf", "X-01.fcf", "X-4294967296.fci", "NODASH.fcf", "x-.fci",
                              "x-1.fc"};
  for (const char* name : lookAlikes) MakeSet(name, 100 * kDay);
  MakeSet("X-1.fcf", 100 * kDay);  // a real old set of a drive with a newer Full set
  MakeSet("X-2.fcf", 99 * kDay);
  ASSERT_EQ(mkdir((m_folder + "/Y-5.fcf").c_str(), 0755), 0);  // a folder named like a set
  SetAge(m_folder + "/Y-5.fcf", 100 * kDay);
  MakeSet("Y-4.fcf", 1 * kDay);
  MakeSet("outside.txt", 100 * kDay);
  ASSERT_EQ(symlink((m_folder + "/outside.txt").c_str(), (m_folder + "/Y-3.fcf").c_str()), 0);
  SetAge(m_folder + "/Y-3.fcf", 100 * kDay);

  EXPECT_EQ(Check("X", false), DueBackup::None);
  for (const char* name : lookAlikes) EXPECT_TRUE(Exists(name)) << name;
  EXPECT_FALSE(Exists("X-1.fcf"));
  EXPECT_TRUE(Exists("X-2.fcf"));
  EXPECT_TRUE(Exists("Y-5.fcf"));  // folders and links are never deleted
  EXPECT_TRUE(Exists("Y-3.fcf"));
  EXPECT_TRUE(Exists("outside.txt"));

  // Nor do they count in the due decision: "MYSTICK-notes.fcf" is no Full set of MYSTICK.
  m_settings["Full Days"] = 200;
  EXPECT_EQ(Check("MYSTICK"), DueBackup::Full);
  // And an old look-alike makes no Full set old: X's earliest set is X-2 (99 days)...
  m_settings["Full Days"] = 100;
  EXPECT_EQ(Check("X"), DueBackup::None);
  // ...and "X-01.fcf" (100 days) is none.
  m_settings["Full Days"] = 0;
  m_settings["Incremental Days"] = 100;
  MakeSet("X-3.fci", kHour);
  EXPECT_EQ(Check("X"), DueBackup::None) << "X-4294967296.fci is no Quick set";
}

// A drive not plugged in for longer than "Purge Days" keeps its latest backup: the newest Full
// set and the Quick sets written after it; a drive with only Quick sets keeps the newest.
TEST_F(ScheduleTest, PurgeNeverDeletesADrivesLatestBackup) {
  m_settings["Purge Days"] = 30;
  MakeSet("A-1.fcf", 200 * kDay);
  MakeSet("A-2.fci", 190 * kDay);
  MakeSet("A-3.fcf", 100 * kDay);  // newest Full set
  MakeSet("A-4.fci", 90 * kDay);   // Quick sets after it
  MakeSet("A-5.fci", 80 * kDay);
  MakeSet("Q-1.fci", 100 * kDay);  // only Quick sets
  MakeSet("Q-2.fci", 90 * kDay);
  MakeSet("N-1.fcf", 40 * kDay);   // a young Full set: the older one goes by age alone
  MakeSet("N-2.fcf", 20 * kDay);
  MakeSet("N-3.fci", 31 * kDay);   // older than N's newest Full set and old enough
  MakeSet("N-4.fci", 30 * kDay + 23 * kHour);  // 30 whole days: not older than the limit
  // One drive, whatever the case of its label and extension.
  MakeSet("Stick-1.fcf", 100 * kDay);
  MakeSet("STICK-2.FCI", 90 * kDay);
  MakeSet("stick-0.FCF", 120 * kDay);
  // A label is the name before its last "-": "MY-STICK" is not "MY".
  MakeSet("MY-STICK-7.fcf", 100 * kDay);
  MakeSet("MY-8.fcf", kDay);
  // A link to a set is no Full set of its label: it does not shield older sets.
  MakeSet("L-1.fcf", 100 * kDay);
  MakeSet("L-2.fci", 90 * kDay);
  ASSERT_EQ(symlink((m_folder + "/L-1.fcf").c_str(), (m_folder + "/L-3.fcf").c_str()), 0);
  SetAge(m_folder + "/L-3.fcf", kDay);

  for (int round = 0; round < 2; ++round) {  // and stays so at every later check
    EXPECT_EQ(Check("A", false), DueBackup::None);
    EXPECT_FALSE(Exists("A-1.fcf"));
    EXPECT_FALSE(Exists("A-2.fci"));
    EXPECT_TRUE(Exists("A-3.fcf"));
    EXPECT_TRUE(Exists("A-4.fci"));
    EXPECT_TRUE(Exists("A-5.fci"));
    EXPECT_FALSE(Exists("Q-1.fci"));
    EXPECT_TRUE(Exists("Q-2.fci"));
    EXPECT_FALSE(Exists("N-1.fcf"));
    EXPECT_TRUE(Exists("N-2.fcf"));
    EXPECT_FALSE(Exists("N-3.fci"));
    EXPECT_TRUE(Exists("N-4.fci"));
    EXPECT_TRUE(Exists("Stick-1.fcf"));
    EXPECT_TRUE(Exists("STICK-2.FCI"));
    EXPECT_FALSE(Exists("stick-0.FCF"));
    EXPECT_TRUE(Exists("MY-STICK-7.fcf"));
    EXPECT_TRUE(Exists("MY-8.fcf"));
    EXPECT_TRUE(Exists("L-1.fcf"));
    EXPECT_TRUE(Exists("L-2.fci"));
    EXPECT_TRUE(Exists("L-3.fcf"));
  }
}

TEST_F(ScheduleTest, PurgeRunsWithoutDriveAndHonoursItsLimit) {
  m_settings["Purge Days"] = 10;
  m_settings["Full Days"] = 1;
  MakeSet("A-1.fcf", 10 * kDay + 23 * kHour);
  MakeSet("Z-2.fci", 11 * kDay);
  MakeSet("Z-5.fci", kDay);
  EXPECT_EQ(Check("A", false), DueBackup::None);  // no drive: nothing is due, the purge still ran
  EXPECT_TRUE(Exists("A-1.fcf"));
  EXPECT_FALSE(Exists("Z-2.fci"));
  EXPECT_FALSE(WasRead("Full Days"));

  // Zero or negative limits delete nothing.
  MakeSet("Z-3.fci", 1000 * kDay);
  for (int limit : {0, -5}) {
    m_settings["Purge Days"] = limit;
    Check("A", false);
    EXPECT_TRUE(Exists("Z-3.fci")) << limit;
  }
}

TEST_F(ScheduleTest, FullBackupDueByTheEarliestSet) {
  m_settings["Full Days"] = 7;
  MakeSet("A-1.fcf", 6 * kDay + 23 * kHour);
  EXPECT_EQ(Check("A"), DueBackup::None);

  // The earliest set counts, not the latest: a fresh set does not make it not due.
  MakeSet("A-2.fcf", kHour);
  MakeSet("A-0.fcf", 7 * kDay);
  EXPECT_EQ(Check("A"), DueBackup::Full);
  EXPECT_EQ(Check("A"), DueBackup::Full);  // and stays due at every later check

  // A drive with no full set gets one at once.
  EXPECT_EQ(Check("B"), DueBackup::Full);
  // Unless full backups are disabled; then "Full Days" is not even read.
  m_settings["Enable Full"] = 0;
  EXPECT_EQ(Check("B"), DueBackup::None);
  EXPECT_FALSE(WasRead("Full Days"));
}

TEST_F(ScheduleTest, QuickBackupAfterFullAndFromTheEarliestOfBoth) {
  m_settings["Full Days"] = 7;
  m_settings["Incremental Days"] = 2;
  // No set at all: full first, no quick considered.
  EXPECT_EQ(Check("A"), DueBackup::Full);
  EXPECT_FALSE(WasRead("Enable Incremental"));

  // A fresh full set and no quick set: a quick backup at once.
  MakeSet("A-1.fcf", kHour);
  EXPECT_EQ(Check("A"), DueBackup::Quick);

  // A quick set younger than the limit, but the full set is old enough: t keeps the earliest.
  SetAge(m_folder + "/A-1.fcf", 2 * kDay);
  MakeSet("A-2.fci", kHour);
  EXPECT_EQ(Check("A"), DueBackup::Quick);
  SetAge(m_folder + "/A-1.fcf", kDay + 23 * kHour);
  EXPECT_EQ(Check("A"), DueBackup::None);

  // Quick sets but no full set: full backup.
  MakeSet("C-3.fci", kHour);
  EXPECT_EQ(Check("C"), DueBackup::Full);

  m_settings["Enable Incremental"] = 0;
  EXPECT_EQ(Check("A"), DueBackup::None);
  EXPECT_FALSE(WasRead("Incremental Days"));
  SetAge(m_folder + "/A-1.fcf", 2 * kDay);
  EXPECT_EQ(Check("A"), DueBackup::None);
}

TEST_F(ScheduleTest, LabelPrefixSharesSets) {
  m_settings["Full Days"] = 7;
  MakeSet("A-B-1.fcf", kHour);  // a set of drive "A-B"
  EXPECT_EQ(Check("A"), DueBackup::None);     // "A-*.fcf" matches it: drive A counts it as its own
  EXPECT_EQ(Check("A-B"), DueBackup::None);
  MakeSet("A-2.fcf", 8 * kDay);
  EXPECT_EQ(Check("A"), DueBackup::Full);
  EXPECT_EQ(Check("A-B"), DueBackup::None);   // "A-B-*.fcf" does not match A-2.fcf
}

TEST_F(ScheduleTest, NegativeDaysAreDueAtEveryCheck) {
  m_settings["Full Days"] = -1;
  MakeSet("A-1.fcf", 0);
  EXPECT_EQ(Check("A"), DueBackup::Full);
  m_settings["Full Days"] = 0;
  m_settings["Incremental Days"] = -3;
  MakeSet("A-2.fci", 0);
  EXPECT_EQ(Check("A"), DueBackup::Quick);
}

TEST_F(ScheduleTest, MissingBackupsFolder) {
  std::string missing = m_folder + "/none";
  m_settings["Full Days"] = 3;
  SettingReader reader = [this](const char* name, int def) {
    auto it = m_settings.find(name);
    return it == m_settings.end() ? def : it->second;
  };
  EXPECT_EQ(CheckSchedule(missing, "/media/A/", "A", reader, m_now), DueBackup::Full);
  EXPECT_EQ(CheckSchedule(missing, "", "A", reader, m_now), DueBackup::None);
}

TEST_F(ScheduleTest, ScratchCleanUpLeavesFoldersAndLinkTargets) {
  std::string scratch = m_folder + "/fernwork";
  ASSERT_EQ(mkdir(scratch.c_str(), 0700), 0);
  ASSERT_EQ(mkdir((scratch + "/sub").c_str(), 0700), 0);
  MakeSet("fernwork/a.txt", 0);
  MakeSet("fernwork/noext", 0);
  MakeSet("fernwork/.hidden", 0);
  MakeSet("fernwork/sub/inner.txt", 0);
  MakeSet("outside.txt", 0);
  ASSERT_EQ(symlink((m_folder + "/outside.txt").c_str(), (scratch + "/link").c_str()), 0);
  ASSERT_EQ(symlink((m_folder + "/sub-nowhere").c_str(), (scratch + "/dangling").c_str()), 0);

  CleanScratchFolder(scratch);
  EXPECT_FALSE(Exists("fernwork/a.txt"));
  EXPECT_FALSE(Exists("fernwork/noext"));
  EXPECT_FALSE(Exists("fernwork/.hidden"));
  EXPECT_FALSE(Exists("fernwork/link"));
  EXPECT_FALSE(Exists("fernwork/dangling"));
  EXPECT_TRUE(Exists("outside.txt"));  // the link went, not what it named
  EXPECT_TRUE(Exists("fernwork/sub/inner.txt"));
  EXPECT_TRUE(Exists("fernwork"));

  CleanScratchFolder(m_folder + "/missing");  // a missing folder is no error
  EXPECT_TRUE(Exists("outside.txt"));
}

}  // namespace
}  // namespace fern
