#include "platform/DriveWatcher.h"

#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/Volume.h"
#include "res/Resource.h"
#include "tests/platform/DriveTestMount.h"

namespace fern {
namespace {

// One delivered notice with the roots its letters had while it was delivered.
struct CNotice {
  int event = 0;
  uint32_t mask = 0;
  std::vector<std::string> roots;
  bool Names(const std::string& root) const {
    for (const std::string& r : roots)
      if (r == root) return true;
    return false;
  }
};

class CRecorder {
 public:
  CDriveWatcher::Notice Callback() {
    return [this](int event, uint32_t mask) {
      CNotice notice;
      notice.event = event;
      notice.mask = mask;
      for (int bit = 0; bit < 26; ++bit)
        if (mask & (1u << bit)) notice.roots.push_back(m_watcher->RootOfLetter(static_cast<char>('A' + bit)));
      std::lock_guard<std::mutex> lock(m_mutex);
      m_notices.push_back(notice);
      m_changed.notify_all();
    };
  }
  void Watch(CDriveWatcher* watcher) { m_watcher = watcher; }

  std::vector<CNotice> Notices() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_notices;
  }
  void Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_notices.clear();
  }
  // Waits until a notice of the event names the root; its index, or -1 after five seconds.
  int WaitFor(int event, const std::string& root) {
    std::unique_lock<std::mutex> lock(m_mutex);
    int found = -1;
    m_changed.wait_for(lock, std::chrono::seconds(5), [&] {
      for (size_t i = 0; i < m_notices.size(); ++i)
        if (m_notices[i].event == event && m_notices[i].Names(root)) {
          found = static_cast<int>(i);
          return true;
        }
      return false;
    });
    return found;
  }

 private:
  CDriveWatcher* m_watcher = nullptr;
  std::mutex m_mutex;
  std::condition_variable m_changed;
  std::vector<CNotice> m_notices;
};

constexpr uint32_t Bit(char letter) { return 1u << (letter - 'A'); }

// The watcher over a mount table written to a file by the test, rescanned by hand.
class WatcherOnFile : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fernwatch-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_folder = pattern;
    m_path = m_folder + "/mountinfo";
    m_base =
        "22 27 0:21 / /proc rw - proc proc rw\n"
        "27 1 254:0 / / rw - ext4 /dev/vda rw\n"
        "50 27 0:60 / /media/OLD rw - vfat /dev/sdb1 rw\n";
    Write(m_base);
  }
  void TearDown() override { std::filesystem::remove_all(m_folder); }
  void Write(const std::string& text) { std::ofstream(m_path, std::ios::trunc) << text; }
  static std::string Line(int id, const std::string& point) {
    return std::to_string(id) + " 27 0:" + std::to_string(id + 100) + " / " + point +
           " rw,relatime - vfat /dev/sdx1 rw\n";
  }

  std::string m_folder;
  std::string m_path;
  std::string m_base;
};

TEST_F(WatcherOnFile, LettersMasksAndOrder) {
  CRecorder recorder;
  CDriveWatcher watcher(recorder.Callback(), m_path, m_folder + "/nosys");
  recorder.Watch(&watcher);
  watcher.Rescan();  // before Start: nothing to compare with
  ASSERT_TRUE(watcher.Start());
  EXPECT_TRUE(recorder.Notices().empty());  // /media/OLD was there at start
  EXPECT_EQ(watcher.RootOfLetter('D'), "");

  // Two volumes in one change: one notice, letters D and E.
  std::string table = m_base + Line(60, "/media/A") + Line(61, "/media/B\\040C");
  Write(table);
  watcher.Rescan();
  std::vector<CNotice> notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].event, DBT_DEVICEARRIVAL);
  EXPECT_EQ(notices[0].mask, Bit('D') | Bit('E'));
  EXPECT_EQ(watcher.RootOfLetter('D'), "/media/A/");
  EXPECT_EQ(watcher.RootOfLetter('E'), "/media/B C/");
  EXPECT_EQ(watcher.RootOfLetter('C'), "");
  EXPECT_EQ(watcher.RootOfLetter('F'), "");
  EXPECT_EQ(watcher.RootOfLetter('['), "");
  EXPECT_EQ(watcher.RootOfLetter('\0'), "");

  // Nothing that counts changed, or a volume present at start went: no notice.
  recorder.Clear();
  watcher.Rescan();
  table = "22 27 0:21 / /proc rw - proc proc rw\n27 1 254:0 / / rw - ext4 /dev/vda rw\n" +
          Line(60, "/media/A") + Line(61, "/media/B\\040C") +
          "70 27 0:80 / /tmp rw - tmpfs tmpfs rw\n";
  Write(table);
  watcher.Rescan();
  EXPECT_TRUE(recorder.Notices().empty());

  // A removal: the letter still answers while its notice is delivered, and is free after.
  std::string withoutA = table;
  withoutA.erase(withoutA.find(Line(60, "/media/A")), Line(60, "/media/A").size());
  Write(withoutA);
  watcher.Rescan();
  notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(notices[0].mask, Bit('D'));
  EXPECT_EQ(notices[0].roots, std::vector<std::string>{"/media/A/"});
  EXPECT_EQ(watcher.RootOfLetter('D'), "");

  // The next volume takes the lowest free letter.
  recorder.Clear();
  table = withoutA + Line(62, "/media/F");
  Write(table);
  watcher.Rescan();
  notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].mask, Bit('D'));
  EXPECT_EQ(watcher.RootOfLetter('D'), "/media/F/");

  // Mounted again between two readings (a new mount id): removal first, then arrival. The
  // volume mounted before the start is reported once it is mounted again.
  recorder.Clear();
  std::string again = table;
  again.replace(again.find(Line(61, "/media/B\\040C")), Line(61, "/media/B\\040C").size(),
                Line(63, "/media/B\\040C"));
  again += Line(64, "/media/OLD");
  Write(again);
  watcher.Rescan();
  notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(notices[0].mask, Bit('E'));
  EXPECT_EQ(notices[1].event, DBT_DEVICEARRIVAL);
  EXPECT_EQ(notices[1].mask, Bit('E') | Bit('F'));
  EXPECT_EQ(notices[1].roots, (std::vector<std::string>{"/media/B C/", "/media/OLD/"}));

  // An unreadable table changes nothing; the next good reading is compared with the last.
  recorder.Clear();
  ASSERT_EQ(unlink(m_path.c_str()), 0);
  watcher.Rescan();
  EXPECT_TRUE(recorder.Notices().empty());
  EXPECT_EQ(watcher.RootOfLetter('E'), "/media/B C/");

  // Everything goes at once: one removal notice.
  Write(m_base.substr(0, m_base.find("50 27")));
  watcher.Rescan();
  notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(notices[0].mask, Bit('D') | Bit('E') | Bit('F'));
  for (char letter = 'A'; letter <= 'Z'; ++letter) EXPECT_EQ(watcher.RootOfLetter(letter), "");
  watcher.Stop();
  watcher.Stop();
}

// Started at login, the volumes mounted already arrive once, from the watcher's thread, and
// are then followed like any other: no second arrival, a removal when they go.
TEST_F(WatcherOnFile, ReportPresentAtStart) {
  CRecorder recorder;
  CDriveWatcher watcher(recorder.Callback(), m_path, m_folder + "/nosys");
  recorder.Watch(&watcher);
  ASSERT_TRUE(watcher.Start(true));
  ASSERT_EQ(recorder.WaitFor(DBT_DEVICEARRIVAL, "/media/OLD/"), 0);
  std::vector<CNotice> notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].mask, Bit('D'));
  EXPECT_EQ(watcher.RootOfLetter('D'), "/media/OLD/");
  watcher.Rescan();
  EXPECT_EQ(recorder.Notices().size(), 1u);
  Write("22 27 0:21 / /proc rw - proc proc rw\n27 1 254:0 / / rw - ext4 /dev/vda rw\n");
  watcher.Rescan();
  notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[1].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(notices[1].mask, Bit('D'));
}

TEST_F(WatcherOnFile, LettersRunOutAtZ) {
  CRecorder recorder;
  CDriveWatcher watcher(recorder.Callback(), m_path, m_folder + "/nosys");
  recorder.Watch(&watcher);
  ASSERT_TRUE(watcher.Start());
  std::string table = m_base;
  for (int i = 0; i < 24; ++i) table += Line(200 + i, "/media/V" + std::to_string(i));
  Write(table);
  watcher.Rescan();
  std::vector<CNotice> notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].mask, 0x03FFFFF8u);  // D to Z; the 24th volume gets none
  EXPECT_EQ(watcher.RootOfLetter('Z'), "/media/V22/");

  // When a letter comes free, a volume that had none is still not given one: it is not new.
  recorder.Clear();
  std::string fewer = table;
  fewer.erase(fewer.find(Line(200, "/media/V0")), Line(200, "/media/V0").size());
  Write(fewer);
  watcher.Rescan();
  notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 1u);
  EXPECT_EQ(notices[0].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(notices[0].mask, Bit('D'));
}

TEST_F(WatcherOnFile, StartFailsWithoutATable) {
  CRecorder recorder;
  CDriveWatcher watcher(recorder.Callback(), m_folder + "/missing", m_folder);
  EXPECT_FALSE(watcher.Start());
  EXPECT_FALSE(watcher.Start());
  watcher.Stop();  // nothing started: nothing to stop
}

// The real mount table and sysfs, with tmpfs volumes mounted below /media/. Other programs
// may mount things meanwhile, so the test looks only at the notices naming its own mounts.
class WatcherOnSystem : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
    // A mount we make, to see whether this process may mount at all.
    std::string why;
    CTestMount probe;
    if (!probe.Mount("/media/FERNPROBE" + std::to_string(getpid()), "size=64k", why))
      GTEST_SKIP() << why;
    m_watcher = std::make_unique<CDriveWatcher>(m_recorder.Callback());
    m_recorder.Watch(m_watcher.get());
    ASSERT_TRUE(m_watcher->Start());
  }
  void TearDown() override {
    if (m_watcher) m_watcher->Stop();
  }

  CRecorder m_recorder;
  std::unique_ptr<CDriveWatcher> m_watcher;
};

TEST_F(WatcherOnSystem, TmpfsArrivesAndLeaves) {
  std::string label = "FERNTEST" + std::to_string(getpid());
  std::string why;
  auto mount = std::make_unique<CTestMount>();
  ASSERT_TRUE(mount->Mount("/media/" + label, "size=4m", why)) << why;
  ASSERT_TRUE(WriteTestFile(mount->Point() + "/a.txt", "first file"));
  ASSERT_TRUE(WriteTestFile(mount->Point() + "/b.bin", std::string(100000, 'b')));
  std::string root = mount->Point() + "/";

  int arrival = m_recorder.WaitFor(DBT_DEVICEARRIVAL, root);
  ASSERT_GE(arrival, 0) << "no arrival for " << root;
  CNotice notice = m_recorder.Notices()[static_cast<size_t>(arrival)];
  ASSERT_EQ(notice.roots.size(), 1u);
  uint32_t mask = notice.mask;
  char letter = static_cast<char>('A' + __builtin_ctz(mask));
  EXPECT_GE(letter, 'D');
  EXPECT_EQ(m_watcher->RootOfLetter(letter), root);

  std::string volume;
  ASSERT_TRUE(GetVolumeLabel(m_watcher->RootOfLetter(letter), volume));
  EXPECT_EQ(volume, label);
  uint64_t total = 0, free = 0;
  ASSERT_TRUE(GetDiskFreeSpace(root, total, free));
  EXPECT_EQ(total, 4u * 1024 * 1024);
  EXPECT_LE(free, total - 100000);

  ASSERT_TRUE(mount->Unmount());
  int removal = m_recorder.WaitFor(DBT_DEVICEREMOVECOMPLETE, root);
  ASSERT_GE(removal, 0) << "no removal for " << root;
  EXPECT_GT(removal, arrival);
  EXPECT_EQ(m_recorder.Notices()[static_cast<size_t>(removal)].mask & mask, mask);
  // The letter is released just after the notice has been delivered.
  for (int i = 0; i < 100 && m_watcher->RootOfLetter(letter) == root; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_NE(m_watcher->RootOfLetter(letter), root);
}

TEST_F(WatcherOnSystem, TwoAtOnceMakeOneNoticeAndRemountIsRemovalThenArrival) {
  // Two tmpfs mounted in a staging place that does not count, then bound below /media/ as one
  // tree: both appear in one change of the table.
  std::string pid = std::to_string(getpid());
  char pattern[] = "/tmp/fernstage-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string why;
  {
    CTestMount stage, inner, tree;
    ASSERT_TRUE(stage.Mount(std::string(pattern) + "/s", "size=1m", why)) << why;
    ASSERT_TRUE(inner.Mount(stage.Point() + "/INNER", "size=1m", why)) << why;
    ASSERT_TRUE(tree.BindTree(stage.Point(), "/media/FERNTWO" + pid, why)) << why;
    std::string outer = tree.Point() + "/";
    std::string nested = tree.Point() + "/INNER/";

    int arrival = m_recorder.WaitFor(DBT_DEVICEARRIVAL, outer);
    ASSERT_GE(arrival, 0);
    CNotice notice = m_recorder.Notices()[static_cast<size_t>(arrival)];
    EXPECT_TRUE(notice.Names(nested)) << "the two volumes came in separate notices";
    EXPECT_EQ(__builtin_popcount(notice.mask), static_cast<int>(notice.roots.size()));

    // Detached as a tree: one removal notice for both.
    ASSERT_TRUE(tree.Unmount());
    int removal = m_recorder.WaitFor(DBT_DEVICEREMOVECOMPLETE, outer);
    ASSERT_GE(removal, 0);
    EXPECT_TRUE(m_recorder.Notices()[static_cast<size_t>(removal)].Names(nested));
    ASSERT_TRUE(inner.Unmount());
    ASSERT_TRUE(stage.Unmount());
  }
  rmdir((std::string(pattern) + "/s").c_str());
  rmdir(pattern);

  // Unmounted and mounted again at once: a removal, then an arrival.
  CTestMount again;
  ASSERT_TRUE(again.Mount("/media/FERNAGAIN" + pid, "size=1m", why)) << why;
  std::string root = again.Point() + "/";
  ASSERT_GE(m_recorder.WaitFor(DBT_DEVICEARRIVAL, root), 0);
  m_recorder.Clear();
  ASSERT_TRUE(again.Unmount());
  ASSERT_TRUE(again.Mount(again.Point(), "size=1m", why)) << why;
  int removal = m_recorder.WaitFor(DBT_DEVICEREMOVECOMPLETE, root);
  int arrival = m_recorder.WaitFor(DBT_DEVICEARRIVAL, root);
  ASSERT_GE(removal, 0);
  ASSERT_GE(arrival, 0);
  EXPECT_LT(removal, arrival);
  char letter = static_cast<char>('A' + __builtin_ctz(m_recorder.Notices()[static_cast<size_t>(arrival)].mask));
  EXPECT_EQ(m_watcher->RootOfLetter(letter), root);
}

// The kernel gives a volume mounted again the same mount id and device number, so the table
// reads exactly as before. Snapshots of the real table, read by hand, make the two changes
// fall between two readings for certain.
TEST(WatcherOnSnapshot, RemountBetweenTwoReadingsIsRemovalThenArrival) {
  if (geteuid() != 0) GTEST_SKIP() << "mounting a tmpfs needs root";
  char pattern[] = "/tmp/fernsnap-XXXXXX";
  ASSERT_NE(mkdtemp(pattern), nullptr);
  std::string folder = pattern;
  std::string snapshot = folder + "/mountinfo";
  auto take = [&snapshot] {
    std::string text;
    std::ifstream in("/proc/self/mountinfo");
    text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    std::ofstream(snapshot, std::ios::trunc) << text;
  };
  take();
  CRecorder recorder;
  CDriveWatcher watcher(recorder.Callback(), snapshot);
  recorder.Watch(&watcher);
  ASSERT_TRUE(watcher.Start());

  std::string why;
  CTestMount volume;
  if (!volume.Mount("/media/FERNSNAP" + std::to_string(getpid()), "size=1m", why)) {
    std::filesystem::remove_all(folder);
    GTEST_SKIP() << why;
  }
  std::string root = volume.Point() + "/";
  take();
  watcher.Rescan();
  ASSERT_GE(recorder.WaitFor(DBT_DEVICEARRIVAL, root), 0);
  recorder.Clear();

  ASSERT_TRUE(volume.Unmount());
  ASSERT_TRUE(volume.Mount(volume.Point(), "size=1m", why)) << why;
  take();
  watcher.Rescan();
  std::vector<CNotice> notices = recorder.Notices();
  ASSERT_EQ(notices.size(), 2u);
  EXPECT_EQ(notices[0].event, DBT_DEVICEREMOVECOMPLETE);
  EXPECT_EQ(notices[0].roots, std::vector<std::string>{root});
  EXPECT_EQ(notices[1].event, DBT_DEVICEARRIVAL);
  EXPECT_EQ(notices[1].roots, std::vector<std::string>{root});

  // Read again with nothing changed: no notice.
  recorder.Clear();
  watcher.Rescan();
  EXPECT_TRUE(recorder.Notices().empty());
  watcher.Stop();
  std::filesystem::remove_all(folder);
}

}  // namespace
}  // namespace fern
