// The mount table parser and the difference of two readings. The input is two tables, split at
// a line "~~~~" (without one, the second table is the first less every third line). Checked:
// every parsed entry is well formed and comes back the same when written out again the way the
// kernel writes it; a table differs from itself in nothing; arrivals and removals are the two
// sides of one difference.
#include <sys/stat.h>
#include <unistd.h>

#include <set>
#include <string>
#include <utility>
#include <vector>

#include "fuzz/FuzzSupport.h"
#include "platform/MountTable.h"

namespace {

std::string g_sysfs;  // a small sysfs: one USB stick partition, one fixed disk partition

void Sysfs(const std::string& rel, const std::string& link) {
  std::string path = g_sysfs + "/" + rel;
  FUZZ_CHECK(symlink(link.c_str(), path.c_str()) == 0, "symlink %s", path.c_str());
}

void MakeFolders(const std::string& rel) {
  std::string path = g_sysfs;
  size_t start = 0;
  while (start <= rel.size()) {
    size_t slash = rel.find('/', start);
    if (slash == std::string::npos) slash = rel.size();
    path += "/" + rel.substr(start, slash - start);
    mkdir(path.c_str(), 0755);
    start = slash + 1;
  }
}

// As the kernel writes a path field: space, tab, newline and backslash as octal escapes.
std::string Escape(const std::string& field) {
  std::string out;
  for (char c : field) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\\') {
      char esc[8];
      snprintf(esc, sizeof esc, "\\%03o", static_cast<unsigned char>(c));
      out += esc;
    } else {
      out += c;
    }
  }
  return out;
}

std::string Line(const fern::CMountEntry& e) {
  return std::to_string(e.mountId) + " " + std::to_string(e.parentId) + " " + e.device + " " + Escape(e.root) +
         " " + Escape(e.mountPoint) + " rw shared:1 - " + e.fsType + " " + Escape(e.source) + " rw\n";
}

bool Same(const fern::CMountEntry& a, const fern::CMountEntry& b) {
  return a.mountId == b.mountId && a.parentId == b.parentId && a.device == b.device && a.root == b.root &&
         a.mountPoint == b.mountPoint && a.fsType == b.fsType && a.source == b.source;
}

using Key = std::pair<int, std::string>;
std::set<Key> Keys(const std::vector<fern::CMountEntry>& entries) {
  std::set<Key> keys;
  for (const auto& e : entries) keys.insert({e.mountId, e.mountPoint});
  return keys;
}

void CheckTable(const std::vector<fern::CMountEntry>& table) {
  for (const auto& e : table) {
    FUZZ_CHECK(!e.mountPoint.empty() && e.mountPoint[0] == '/', "mount point %s",
               fuzz::Printable(e.mountPoint).c_str());
    FUZZ_CHECK(e.device.find(':') != std::string::npos && !e.root.empty() && !e.fsType.empty(),
               "entry with device %s root %s type %s", fuzz::Printable(e.device).c_str(),
               fuzz::Printable(e.root).c_str(), fuzz::Printable(e.fsType).c_str());
    FUZZ_CHECK(e.mountId >= 0 && e.parentId >= 0, "ids %d %d", e.mountId, e.parentId);
    // Written out again, the line parses to the same entry.
    std::vector<fern::CMountEntry> again = fern::ParseMountInfo(Line(e));
    FUZZ_CHECK(again.size() == 1 && Same(again[0], e), "%s does not parse back", fuzz::Printable(Line(e)).c_str());
    fern::IsRemovableMount(e, g_sysfs);
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g_sysfs = fuzz::MakeWorkFolder("fern-mountinfo") + "/sys";
  const std::string usb = "devices/pci0000:00/0000:00:14.0/usb2/2-1/2-1:1.0/host6/target6:0:0/6:0:0:0/block/sdb";
  const std::string ata = "devices/pci0000:00/0000:00:17.0/ata1/host0/target0:0:0/0:0:0:0/block/sda";
  FUZZ_CHECK(mkdir(g_sysfs.c_str(), 0755) == 0, "mkdir %s", g_sysfs.c_str());
  MakeFolders("dev/block");
  MakeFolders(usb + "/sdb1");
  MakeFolders(ata + "/sda1");
  fuzz::PutFile(g_sysfs + "/" + usb + "/removable", "1\n", 0);
  fuzz::PutFile(g_sysfs + "/" + ata + "/removable", "0\n", 0);
  Sysfs("dev/block/8:17", "../../" + usb + "/sdb1");
  Sysfs("dev/block/8:1", "../../" + ata + "/sda1");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  std::string first, second;
  size_t split = input.find("\n~~~~\n");
  if (split != std::string::npos) {
    first = input.substr(0, split + 1);
    second = input.substr(split + 6);
  } else {
    first = input;
    size_t start = 0;
    for (int line = 0; start < input.size(); ++line) {
      size_t end = input.find('\n', start);
      end = end == std::string::npos ? input.size() : end + 1;
      if (line % 3 != 2) second += input.substr(start, end - start);
      start = end;
    }
  }
  std::vector<fern::CMountEntry> before = fern::ParseMountInfo(first);
  std::vector<fern::CMountEntry> after = fern::ParseMountInfo(second);
  CheckTable(before);
  CheckTable(after);

  auto all = [](const fern::CMountEntry&) { return true; };
  fern::CMountChange same = fern::DiffMounts(before, before, all);
  FUZZ_CHECK(same.arrived.empty() && same.removed.empty(), "a table differs from itself");

  fern::CMountChange forward = fern::DiffMounts(before, after, all);
  fern::CMountChange backward = fern::DiffMounts(after, before, all);
  const std::set<Key> beforeKeys = Keys(before), afterKeys = Keys(after);
  FUZZ_CHECK(Keys(forward.arrived) == Keys(backward.removed) && Keys(forward.removed) == Keys(backward.arrived),
             "arrivals and removals disagree between the two directions");
  for (const auto& e : forward.arrived)
    FUZZ_CHECK(beforeKeys.count({e.mountId, e.mountPoint}) == 0 && afterKeys.count({e.mountId, e.mountPoint}) != 0,
               "arrival %d %s", e.mountId, fuzz::Printable(e.mountPoint).c_str());
  for (const auto& e : forward.removed)
    FUZZ_CHECK(afterKeys.count({e.mountId, e.mountPoint}) == 0 && beforeKeys.count({e.mountId, e.mountPoint}) != 0,
               "removal %d %s", e.mountId, fuzz::Printable(e.mountPoint).c_str());
  const std::set<Key> arrivedKeys = Keys(forward.arrived);
  for (const auto& e : after)
    FUZZ_CHECK(beforeKeys.count({e.mountId, e.mountPoint}) != 0 || arrivedKeys.count({e.mountId, e.mountPoint}) != 0,
               "new mount %d %s not reported", e.mountId, fuzz::Printable(e.mountPoint).c_str());

  // The program's own rule of which mounts count, on the small sysfs: a subset of the above.
  fern::CMountChange removable = fern::DiffMounts(before, after, g_sysfs);
  FUZZ_CHECK(removable.arrived.size() <= forward.arrived.size() && removable.removed.size() <= forward.removed.size(),
             "the removable difference is larger than the whole");
  return 0;
}
