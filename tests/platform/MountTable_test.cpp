#include "platform/MountTable.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

namespace fern {
namespace {

// A reading of a desktop machine with a stick automounted, written as the kernel writes it.
const char kTable[] =
    "22 27 0:21 / /proc rw,nosuid,nodev,noexec,relatime shared:12 - proc proc rw\n"
    "23 27 0:22 / /sys rw,nosuid,nodev,noexec,relatime shared:2 - sysfs sysfs rw\n"
    "27 1 254:0 / / rw,relatime shared:1 - ext4 /dev/vda rw,discard\n"
    "28 27 8:1 / /boot rw,relatime shared:5 - ext4 /dev/sda1 rw\n"
    "29 28 8:2 / /boot/efi rw,relatime shared:6 - vfat /dev/sda2 rw,fmask=0077\n"
    "31 23 0:28 / /sys/fs/cgroup rw,relatime shared:9 - cgroup2 cgroup2 rw\n"
    "32 27 0:29 / /dev/pts rw,relatime - devpts devpts rw,mode=600\n"
    "33 27 0:30 / /tmp rw,nosuid,nodev shared:14 - tmpfs tmpfs rw,size=8g\n"
    "90 27 8:17 / /media/ann/MY\\040STICK rw,nosuid,nodev,relatime shared:300 - vfat /dev/sdb1 "
    "rw,fmask=0022,uid=1000\n"
    "91 27 8:33 / /mnt/usb\\011tab\\134x rw,relatime shared:301 master:2 propagate_from:3 - ext4 "
    "/dev/sdc1 rw\n"
    "92 27 8:17 /photos /srv/photos rw,relatime shared:300 - vfat /dev/sdb1 rw\n"
    "93 27 7:0 / /snap/core/123 ro,nodev,relatime shared:30 - squashfs /dev/loop0 ro\n"
    "94 27 0:46 / /run/media/bob/DISK rw - tmpfs tmpfs rw\n"
    "95 27 8:49 / /data rw,relatime - ext4 /dev/sdd1 rw\n"
    "96 27 179:1 / /mnt/sd rw,relatime - vfat /dev/mmcblk0p1 rw\n"
    "97 27 0:47 / /media rw - tmpfs tmpfs rw\n"
    "98 90 8:17 /sub /media/ann/MY\\040STICK/bound rw - vfat /dev/sdb1 rw\n"
    "99 27 8:65 / /mnt/gone rw - ext4 /dev/sde1 rw\n"
    "100 27 0:48 / /mnt/net rw - nfs4 server:/export rw\n";

const CMountEntry* Find(const std::vector<CMountEntry>& entries, int id) {
  for (const CMountEntry& entry : entries)
    if (entry.mountId == id) return &entry;
  return nullptr;
}

TEST(MountTable, ParsesFieldsEscapesAndOptionalFields) {
  std::vector<CMountEntry> entries = ParseMountInfo(kTable);
  ASSERT_EQ(entries.size(), 19u);

  const CMountEntry* stick = Find(entries, 90);
  ASSERT_NE(stick, nullptr);
  EXPECT_EQ(stick->parentId, 27);
  EXPECT_EQ(stick->device, "8:17");
  EXPECT_EQ(stick->root, "/");
  EXPECT_EQ(stick->mountPoint, "/media/ann/MY STICK");
  EXPECT_EQ(stick->fsType, "vfat");
  EXPECT_EQ(stick->source, "/dev/sdb1");

  // Several optional fields before the separator; tab and backslash escapes.
  const CMountEntry* odd = Find(entries, 91);
  ASSERT_NE(odd, nullptr);
  EXPECT_EQ(odd->mountPoint, "/mnt/usb\ttab\\x");
  EXPECT_EQ(odd->fsType, "ext4");
  EXPECT_EQ(odd->source, "/dev/sdc1");

  // A bind mount of a folder of the stick.
  const CMountEntry* bind = Find(entries, 92);
  ASSERT_NE(bind, nullptr);
  EXPECT_EQ(bind->root, "/photos");
  EXPECT_EQ(bind->mountPoint, "/srv/photos");

  // No optional field at all.
  const CMountEntry* pts = Find(entries, 32);
  ASSERT_NE(pts, nullptr);
  EXPECT_EQ(pts->fsType, "devpts");
}

TEST(MountTable, LeavesOutMalformedLines) {
  std::string text =
      "garbage\n"
      "\n"
      "1 2 3\n"
      "40 27 8:1 / /no/separator rw shared:1 ext4 /dev/sda1 rw\n"
      "x 27 8:1 / /bad/id rw - ext4 /dev/sda1 rw\n"
      "41 27 8-1 / /bad/device rw - ext4 /dev/sda1 rw\n"
      "42 27 8:1 / relative rw - ext4 /dev/sda1 rw\n"
      "43 27 8:1 / /short rw -\n"
      "44 27 8:1 / /good rw - ext4 /dev/sda1 rw\n"
      "45 27 8:2 / /last\\040line rw - ext4 /dev/sda2 rw";  // no final newline
  std::vector<CMountEntry> entries = ParseMountInfo(text);
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].mountPoint, "/good");
  EXPECT_EQ(entries[1].mountPoint, "/last line");
  EXPECT_TRUE(ParseMountInfo("").empty());
}

// A sysfs tree in a temporary folder, under a folder named like a USB bus node so that only
// the part below the sysfs root can be taken for one.
class FakeSysfs : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/fernsys-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    m_base = pattern;
    m_sys = m_base + "/usb1/sys";
    const std::string pci = "devices/pci0000:00/";
    // A USB stick that says it is not removable (many do): the bus decides.
    AddDevice("8:17", pci + "0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb",
              "sdb1", false);
    // A disk with removable media, on no USB bus: the disk's flag decides.
    AddDevice("8:33", pci + "0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sdc", "sdc1", true);
    // An internal disk.
    AddDevice("8:49", pci + "0000:00:17.0/ata2/host1/target1:0:0/1:0:0:0/block/sdd", "sdd1", false);
    // The system disk, removable as it may be.
    AddDevice("8:1", pci + "0000:00:14.0/usb1/1-1/block/sda", "sda1", true);
    AddDevice("8:2", pci + "0000:00:14.0/usb1/1-1/block/sda", "sda2", true);
    // An SD card reader.
    AddDevice("179:1", "devices/platform/mmc/mmc0/mmc0:0001/block/mmcblk0", "mmcblk0p1", true);
    // A loop device, claiming removable.
    AddDevice("7:0", "devices/virtual/block", "loop0", true);
    // The system root.
    AddDevice("254:0", pci + "0000:00:05.0/virtio2/block", "vda", false);
  }
  void TearDown() override { std::filesystem::remove_all(m_base); }

  void AddDevice(const std::string& number, const std::string& disk, const std::string& part,
                 bool removable) {
    std::filesystem::create_directories(m_sys + "/" + disk + "/" + part);
    std::filesystem::create_directories(m_sys + "/dev/block");
    std::ofstream(m_sys + "/" + disk + "/removable") << (removable ? "1\n" : "0\n");
    std::string link = m_sys + "/dev/block/" + number;
    std::string target = "../../" + disk + "/" + part;
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0) << link;
  }

  std::string m_base;
  std::string m_sys;
};

TEST_F(FakeSysfs, WhichMountsCount) {
  std::vector<CMountEntry> entries = ParseMountInfo(kTable);
  std::vector<std::string> counted;
  for (const CMountEntry& entry : entries)
    if (IsRemovableMount(entry, m_sys)) counted.push_back(entry.mountPoint);
  std::vector<std::string> expected = {
      "/media/ann/MY STICK",        // below /media/
      "/mnt/usb\ttab\\x",           // removable disk
      "/run/media/bob/DISK",        // below /run/media/, a tmpfs as much as any
      "/mnt/sd",                    // SD card
      "/media/ann/MY STICK/bound",  // below /media/, bind mount or not
  };
  EXPECT_EQ(counted, expected);
  // Left out: proc, sysfs, cgroup2, devpts, tmpfs at /tmp and /media itself, the system root,
  // /boot and /boot/efi on a removable USB disk, the bind mount of a stick's folder elsewhere,
  // the loop image, the internal disk, a device with no sysfs node, the network share.
}

TEST_F(FakeSysfs, DiffFindsSeveralChangesAtOnce) {
  std::vector<CMountEntry> before = ParseMountInfo(kTable);
  std::string next = kTable;
  // The stick at 90 (and the bind mount 98 on it) goes, 96 is mounted again under a new id,
  // two new sticks come, and a tmpfs that does not count comes and 33 goes.
  auto drop = [&next](const std::string& prefix) {
    std::string::size_type at = next.find(prefix);
    ASSERT_NE(at, std::string::npos) << prefix;
    next.erase(at, next.find('\n', at) + 1 - at);
  };
  drop("90 27 ");
  drop("98 90 ");
  drop("96 27 ");
  drop("33 27 ");
  next +=
      "101 27 179:1 / /mnt/sd rw,relatime - vfat /dev/mmcblk0p1 rw\n"
      "102 27 0:50 / /media/ann/NEW\\040ONE rw - exfat /dev/sdf1 rw\n"
      "103 27 8:33 / /mnt/second rw - ext4 /dev/sdc1 rw\n"
      "104 27 0:51 / /run/user/1000 rw - tmpfs tmpfs rw\n";
  CMountChange change = DiffMounts(before, ParseMountInfo(next), m_sys);

  std::vector<int> arrived, removed;
  for (const CMountEntry& entry : change.arrived) arrived.push_back(entry.mountId);
  for (const CMountEntry& entry : change.removed) removed.push_back(entry.mountId);
  EXPECT_EQ(arrived, (std::vector<int>{101, 102, 103}));
  EXPECT_EQ(removed, (std::vector<int>{90, 96, 98}));

  // The same mount id at another point is another mount.
  std::string moved = kTable;
  moved.replace(moved.find("/mnt/sd "), 8, "/mnt/sd2 ");
  change = DiffMounts(before, ParseMountInfo(moved), m_sys);
  ASSERT_EQ(change.arrived.size(), 1u);
  ASSERT_EQ(change.removed.size(), 1u);
  EXPECT_EQ(change.arrived[0].mountPoint, "/mnt/sd2");
  EXPECT_EQ(change.removed[0].mountPoint, "/mnt/sd");

  // The caller's own rule decides, for both lists.
  change = DiffMounts(before, ParseMountInfo(next),
                      [](const CMountEntry& entry) { return entry.fsType == "tmpfs"; });
  ASSERT_EQ(change.arrived.size(), 1u);
  EXPECT_EQ(change.arrived[0].mountId, 104);
  ASSERT_EQ(change.removed.size(), 1u);
  EXPECT_EQ(change.removed[0].mountId, 33);

  EXPECT_TRUE(DiffMounts(before, before, m_sys).arrived.empty());
  EXPECT_TRUE(DiffMounts(before, before, m_sys).removed.empty());
}

TEST(MountTable, ReadsTheLiveTable) {
  std::string text;
  ASSERT_TRUE(ReadWholeFile("/proc/self/mountinfo", text));
  std::vector<CMountEntry> entries = ParseMountInfo(text);
  ASSERT_FALSE(entries.empty());
  bool haveRoot = std::any_of(entries.begin(), entries.end(),
                              [](const CMountEntry& entry) { return entry.mountPoint == "/"; });
  EXPECT_TRUE(haveRoot);
  for (const CMountEntry& entry : entries) {
    if (entry.mountPoint == "/" || entry.fsType == "proc" || entry.fsType == "sysfs") {
      EXPECT_FALSE(IsRemovableMount(entry)) << entry.mountPoint;
    }
  }
  EXPECT_FALSE(ReadWholeFile("/nonexistent/mountinfo", text));
}

}  // namespace
}  // namespace fern
