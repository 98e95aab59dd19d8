// Volume labels in set names. A label is whatever bytes the drive holds (up to a zero byte); the
// set named after it must lie in the backups folder, be found by the patterns of its drive and
// kind (under a UTF-8 locale, as a desktop session runs the program), be told apart from the
// other kind, be recognised as the set of its label, tick and kind, and give the label's part
// before its first '-' back as its drive name.
#include <clocale>
#include <cstring>
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/FileFinder.h"
#include "storage/SetFormat.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setlocale(LC_ALL, "C.UTF-8");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t tick = 0;
  memcpy(&tick, data, 4);
  const std::string label(reinterpret_cast<const char*>(data) + 4, strnlen(reinterpret_cast<const char*>(data) + 4, size - 4));
  const std::string folder = "/home/ann/backups";
  for (bool full : {true, false}) {
    const std::string path = fern::SetFilePath(folder, label, tick, full);
    FUZZ_CHECK(path.compare(0, folder.size() + 1, folder + "/") == 0, "%s lies outside the folder",
               fuzz::Printable(path).c_str());
    const std::string bare = path.substr(folder.size() + 1);
    FUZZ_CHECK(bare.find('/') == std::string::npos && bare != "." && bare != "..", "set name %s",
               fuzz::Printable(bare).c_str());
    FUZZ_CHECK(fern::BareFileName(path) == bare, "bare name of %s", fuzz::Printable(path).c_str());
    FUZZ_CHECK(fern::IsQuickSet(bare) == !full, "%s taken for the wrong kind", fuzz::Printable(bare).c_str());
    FUZZ_CHECK(fern::MatchesPattern(bare, fern::AllSetsPattern()), "%s not found as a set",
               fuzz::Printable(bare).c_str());
    const std::string own = full ? fern::FullSetsPattern(label) : fern::QuickSetsPattern(label);
    const std::string other = full ? fern::QuickSetsPattern(label) : fern::FullSetsPattern(label);
    FUZZ_CHECK(fern::MatchesPattern(bare, own), "%s not found by its pattern %s", fuzz::Printable(bare).c_str(),
               fuzz::Printable(own).c_str());
    FUZZ_CHECK(!fern::MatchesPattern(bare, other), "%s found by the other kind's pattern %s",
               fuzz::Printable(bare).c_str(), fuzz::Printable(other).c_str());
    // The purge and the schedule know a set by its name alone: every name written is one.
    std::string parsedLabel;
    uint32_t parsedTick = 0;
    bool parsedFull = !full;
    std::string written = label;
    for (char& c : written)
      if (c == '/') c = '_';
    FUZZ_CHECK(fern::ParseSetName(bare, parsedLabel, parsedTick, parsedFull) && parsedLabel == written &&
                   parsedTick == tick && parsedFull == full,
               "%s not recognised as the set it is", fuzz::Printable(bare).c_str());
    std::string drive = label.substr(0, label.find('-'));
    for (char& c : drive)
      if (c == '/') c = '_';
    FUZZ_CHECK(fern::DriveNameOfSet(bare) == drive, "drive name of %s is %s", fuzz::Printable(bare).c_str(),
               fuzz::Printable(fern::DriveNameOfSet(bare)).c_str());
  }
  return 0;
}
