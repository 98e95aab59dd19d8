// The set loop and its readers on any bytes, taken both as a set file (raw) and as the content of
// a valid gzip stream, in each of its uses: the viewer's load (nothing written), a restore into a
// real folder full of traps, an extraction of picked entries into a folder, and a restore of
// picked entries; the restores run as every restore does (drive taken, the checking pass beside
// the restore on its own thread, finished). After every input nothing outside the target may have changed, the traps stand,
// no file of the target is gone, and no file (no temporary one above all) is left that no entry
// names. For the gzip form, whose content is known, what the reader reports and writes is held
// against an independent reading of the format.
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "engine/RestoreJournal.h"
#include "fuzz/FuzzSupport.h"
#include "storage/SetFormat.h"
#include "tests/engine/EntryCalls.h"
#include "tests/engine/RecordingUI.h"

namespace {

constexpr int64_t kOldTime = 1000000000;    // 2001
constexpr int64_t kNewerTime = 4102444800;  // 2100: newer than the entries a backup makes
constexpr int kYesToAll = 3;

struct Folders {
  std::string work, outside, target, pick, set, tmp;
} g;
fuzz::Snapshot g_outsideBefore;  // the work folder less what the reader may write
fuzz::Snapshot g_targetInitial;
const std::set<std::string> kWritable = {"target", "pick", "set.fcf"};

// One entry as the format defines it, read here without the program's code.
struct Parsed {
  std::string name;  // up to the first zero byte, as the reader hands it out
  uint64_t size = 0;
  int64_t time = 0;
  std::string data;
  bool complete = false;
  bool nameCut = false;  // the stored name went on past a zero byte
};

uint64_t Le(const unsigned char* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}

// damaged: the content ends otherwise than exactly between two entries.
std::vector<Parsed> ParseEntries(const std::string& content, bool& damaged) {
  std::vector<Parsed> out;
  damaged = false;
  size_t at = 0;
  const auto* bytes = reinterpret_cast<const unsigned char*>(content.data());
  while (at < content.size()) {
    if (content.size() - at < fern::kEntryHeaderSize) {
      damaged = true;
      break;
    }
    uint32_t nameLength = static_cast<uint32_t>(Le(bytes + at, 4));
    Parsed p;
    p.size = static_cast<uint32_t>(Le(bytes + at + 4, 4));
    p.time = static_cast<int64_t>(Le(bytes + at + 8, 8));
    at += fern::kEntryHeaderSize;
    if (nameLength >= fern::kNameBufferSize || content.size() - at < nameLength) {
      damaged = true;
      break;
    }
    p.name = std::string(content.c_str() + at, strnlen(content.c_str() + at, nameLength));
    p.nameCut = p.name.size() != nameLength;
    at += nameLength;
    p.complete = content.size() - at >= p.size;
    p.data = content.substr(at, p.size);
    at += p.data.size();
    out.push_back(p);
    if (!p.complete) {
      damaged = true;
      break;
    }
  }
  return out;
}

// A piece name: "<file>.fernpiece-<k>-of-<n>", n without a leading zero, k as wide as n, 1 <= k <= n.
bool PieceOf(const std::string& name, std::string& file, uint64_t& k, uint64_t& n) {
  static const std::regex kPiece(R"(^([\s\S]+)\.fernpiece-([0-9]{1,10})-of-([1-9][0-9]{0,9})$)");
  std::smatch m;
  if (!std::regex_match(name, m, kPiece) || m[2].length() != m[3].length()) return false;
  file = m[1];
  k = std::stoull(m[2]);
  n = std::stoull(m[3]);
  return k >= 1 && k <= n && n <= UINT32_MAX;
}

// The entries as the program hands them out: a first piece (not empty) and the pieces after it
// are one file; pieces that do not follow on (names, count, time, lengths) make the set damaged
// at that file.
std::vector<Parsed> ParseSet(const std::string& content, bool& damaged) {
  std::vector<Parsed> raw = ParseEntries(content, damaged);
  std::vector<Parsed> out;
  for (size_t i = 0; i < raw.size(); ++i) {
    std::string file;
    uint64_t k = 0, n = 0;
    if (raw[i].size == 0 || !PieceOf(raw[i].name, file, k, n) || k != 1) {
      out.push_back(raw[i]);
      continue;
    }
    Parsed whole = raw[i];
    whole.name = file;
    whole.size = raw[i].size * n;  // what the reader tells until the last piece is read
    bool ok = raw[i].complete;
    for (uint64_t next = 2; next <= n && ok; ++next) {
      const size_t at = i + next - 1;
      std::string nextFile;
      uint64_t nk = 0, nn = 0;
      const bool last = next == n;
      ok = at < raw.size() && PieceOf(raw[at].name, nextFile, nk, nn) && nextFile == file && nk == next &&
           nn == n && raw[at].time == raw[i].time &&
           (last ? raw[at].size >= 1 && raw[at].size <= raw[i].size : raw[at].size == raw[i].size) &&
           !raw[at].nameCut && raw[at].complete;
      if (ok) whole.data += raw[at].data;
    }
    if (!ok) {
      whole.complete = false;
      out.push_back(whole);
      damaged = true;
      break;
    }
    whole.size = whole.data.size();
    out.push_back(whole);
    i += n - 1;
  }
  return out;
}

struct Call {
  bool ok = false;
  std::string name;
  uint64_t size = 0;
  int64_t time = 0;
  std::string error;
};

// later: null, or the rows a restore adds at its end (files it could not put in place, or put in
// place from a damaged set).
std::vector<Call> ReadSet(const std::string& target, std::vector<std::string>* pick, CRecordingUI& ui,
                          std::vector<std::string>* later = nullptr) {
  static char buffer[fern::kCopyChunk];
  OverwriteAnswer answer = OverwriteAnswer::None;
  const bool restoring = !target.empty();
  // As every restore does: the drive taken, the checking pass made ready beside the restore (it
  // starts at the first file that would replace one). Extractions go into the pick folder.
  std::vector<std::string> names, texts;
  std::vector<restore_test::EntryCall> read = restore_test::CEntryCalls::Read(
      ui, buffer, answer, g.set, target, pick, g.pick, &names, &texts, restoring ? g.set : std::string());
  FUZZ_CHECK(!read.empty(), "cannot read the set %s into %s", g.set.c_str(), target.c_str());
  FUZZ_CHECK(names.size() == texts.size(), "%zu rows, %zu texts", names.size(), texts.size());
  if (later != nullptr) *later = names;
  std::vector<Call> calls;
  for (const auto& r : read) calls.push_back({r.more, r.name, r.size, r.time, r.error});
  FUZZ_CHECK(ui.messages.size() <= 1, "\"error reading\" shown %zu times", ui.messages.size());
  return calls;
}

// A stored name's text as the reader must hand it out: UTF-8 as it is, anything else read as
// Windows-1252.
std::string Decoded(const std::string& stored) {
  return fuzz::IsValidUtf8(stored) ? stored : fuzz::Windows1252ToUtf8(stored);
}

// Whether a name is one of the reader's temporary names.
bool IsTemporary(const std::string& path) {
  const std::string leaf = path.substr(path.rfind('/') + 1);
  return leaf.compare(0, strlen(CRestoreJournal::TempPrefix()), CRestoreJournal::TempPrefix()) == 0;
}


void SetUpTarget() {
  fuzz::RemoveTree(g.target);
  const std::string& t = g.target;
  FUZZ_CHECK(mkdir(t.c_str(), 0755) == 0, "mkdir %s", t.c_str());
  FUZZ_CHECK(symlink((g.outside + "/dir").c_str(), (t + "/linkdir").c_str()) == 0, "symlink");
  FUZZ_CHECK(symlink((g.outside + "/secret.txt").c_str(), (t + "/linkfile").c_str()) == 0, "symlink");
  FUZZ_CHECK(mkfifo((t + "/fifo").c_str(), 0600) == 0, "mkfifo");
  fuzz::PutFile(t + "/newer.txt", "a file newer than any entry\n", kNewerTime);
  fuzz::PutFile(t + "/x", "the user's file x\n", kOldTime);
  fuzz::PutFile(t + "/x.bak", "the user's own backup of x\n", kOldTime);
  fuzz::PutFile(t + "/ro.txt", "read-only\n", kOldTime, 0444);
  FUZZ_CHECK(mkdir((t + "/sub").c_str(), 0755) == 0, "mkdir sub");
  fuzz::PutFile(t + "/sub/deep.txt", "deep\n", kOldTime);
  FUZZ_CHECK(symlink("../..", (t + "/sub/up").c_str()) == 0, "symlink up");
}

void ResetPick() {
  fuzz::RemoveTree(g.pick);
  FUZZ_CHECK(mkdir(g.pick.c_str(), 0755) == 0, "mkdir %s", g.pick.c_str());
}

bool IsAncestorOf(const std::string& folder, const std::set<std::string>& paths) {
  for (const auto& p : paths)
    if (p.size() > folder.size() && p.compare(0, folder.size(), folder) == 0 && p[folder.size()] == '/') return true;
  return false;
}

bool PlainRelative(const std::string& rel) {
  if (rel.empty() || rel.find('\0') != std::string::npos) return false;
  size_t start = 0;
  for (;;) {
    size_t slash = rel.find('/', start);
    std::string seg = rel.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
    if (seg.empty() || seg == "." || seg == "..") return false;
    if (slash == std::string::npos) return true;
    start = slash + 1;
  }
}

// parsed: the entries behind the calls when known (then every call was answered Yes to All).
// later: the files the restore's end named; where they are, any entry's data may be.
void CheckTarget(const std::vector<Call>& calls, const std::vector<Parsed>* parsed,
                 const std::vector<std::string>& later) {
  const std::string root = g.target + "/";
  std::set<std::string> uncertain;
  for (const auto& path : later)
    if (path.compare(0, root.size(), root) == 0) uncertain.insert(path.substr(root.size()));
  std::set<std::string> targeted;
  std::map<std::string, const std::string*> written;  // the data each path must now hold
  for (size_t i = 0; i < calls.size(); ++i) {
    const Call& c = calls[i];
    if (c.name.compare(0, root.size(), root) != 0) {
      // An entry not directed to the target is named as stored (decoded), not by some path made
      // of it. (Its stored name may be any text, a path into the work folder too; that nothing
      // is written outside the target is checked on the folders themselves.)
      if (parsed != nullptr && i < parsed->size() && c.ok)
        FUZZ_CHECK(c.name == Decoded((*parsed)[i].name), "entry %zu named %s, stored as %s", i,
                   fuzz::Printable(c.name).c_str(), fuzz::Printable((*parsed)[i].name).c_str());
      continue;
    }
    std::string rel = c.name.substr(root.size());
    FUZZ_CHECK(PlainRelative(rel), "target path %s could leave the target", fuzz::Printable(c.name).c_str());
    targeted.insert(rel);
    if (parsed != nullptr && i < parsed->size() && c.ok && c.error.empty()) written[rel] = &(*parsed)[i].data;
  }

  fuzz::Snapshot now = fuzz::TakeSnapshot(g.target, false);
  for (const auto& [rel, node] : now) {
    // A name with the temporary prefix that an entry names is the user's own file.
    FUZZ_CHECK(!IsTemporary(rel) || targeted.count(rel) != 0, "temporary file %s left in the target",
               fuzz::Printable(rel).c_str());
    auto before = g_targetInitial.find(rel);
    if (targeted.count(rel) != 0) {
      // A link, FIFO or folder is never replaced by an entry's file.
      if (before != g_targetInitial.end() && before->second.type != 'f')
        FUZZ_CHECK(before->second == node, "%s was replaced", rel.c_str());
      continue;
    }
    if (before != g_targetInitial.end()) {
      FUZZ_CHECK(before->second == node, "%s changed though no entry names it",
                 fuzz::Difference({{rel, before->second}}, {{rel, node}}).c_str());
    } else {
      FUZZ_CHECK(node.type == 'd' && IsAncestorOf(rel, targeted), "%s left behind in the target",
                 fuzz::Printable(rel).c_str());
    }
  }
  // A restore never takes a file away: one an entry names holds that entry's data or its own.
  for (const auto& [rel, node] : g_targetInitial) {
    auto n = now.find(rel);
    FUZZ_CHECK(n != now.end() && n->second.type == node.type, "%s is gone", rel.c_str());
  }

  if (parsed == nullptr) return;
  std::set<uint32_t> entryCrcs;
  for (const auto& p : *parsed)
    entryCrcs.insert(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(p.data.data()),
                                                  static_cast<uInt>(p.data.size()))));
  for (const auto& rel : targeted) {
    auto n = now.find(rel);
    auto w = written.find(rel);
    auto before = g_targetInitial.find(rel);
    if (uncertain.count(rel) != 0) {
      // Named at the end: the file as it was, or one of the set's entries (never a part).
      if (n != now.end() && n->second.type == 'f' && !(before != g_targetInitial.end() && before->second == n->second))
        FUZZ_CHECK(entryCrcs.count(n->second.crc) != 0, "%s holds no entry's data", fuzz::Printable(rel).c_str());
    } else if (w != written.end()) {
      std::string content;
      FUZZ_CHECK(n != now.end() && n->second.type == 'f' && fuzz::ReadWholeFile(g.target + "/" + rel, content),
                 "%s was reported written but is not there", fuzz::Printable(rel).c_str());
      FUZZ_CHECK(content == *w->second, "%s holds %zu bytes, not the entry's %zu", fuzz::Printable(rel).c_str(),
                 content.size(), w->second->size());
    } else if (before != g_targetInitial.end()) {
      FUZZ_CHECK(n != now.end() && n->second == before->second, "%s changed though no entry was written to it",
                 rel.c_str());
    } else {
      FUZZ_CHECK(n == now.end() || n->second.type == 'd', "%s exists though no entry was written to it",
                 fuzz::Printable(rel).c_str());
    }
  }
}

void CheckOutside(const char* when) {
  std::string diff = fuzz::Difference(g_outsideBefore, fuzz::TakeSnapshot(g.work, true, kWritable));
  FUZZ_CHECK(diff.empty(), "outside the target after %s: %s", when, fuzz::Printable(diff).c_str());
}

// The names of every other entry the load returned, from the first or the second, and one
// name that matches nothing.
std::vector<std::string> PickList(const std::vector<Call>& loaded, size_t first) {
  std::vector<std::string> pick;
  for (size_t i = first; i < loaded.size(); i += 2)
    if (loaded[i].ok) pick.push_back(loaded[i].name);
  pick.push_back("Z:\\nothing\\matches");
  return pick;
}

void RunOnSet(const std::string& setBytes, const std::string* content, int answer) {
  FUZZ_CHECK(fuzz::WriteWholeFile(g.set, setBytes), "cannot write %s", g.set.c_str());
  bool damaged = false;
  std::vector<Parsed> parsed;
  if (content != nullptr) parsed = ParseSet(*content, damaged);

  // The viewer's load: names, sizes and times handed out, nothing written.
  CRecordingUI loadUI;
  std::vector<Call> loaded = ReadSet("", nullptr, loadUI);
  if (content != nullptr) {
    size_t good = 0;
    while (good < parsed.size() && parsed[good].complete) ++good;
    FUZZ_CHECK(loaded.size() == good + 1, "%zu calls for %zu whole entries", loaded.size(), good);
    for (size_t i = 0; i < loaded.size(); ++i) {
      const Call& c = loaded[i];
      if (i < parsed.size()) {
        FUZZ_CHECK(c.name == Decoded(parsed[i].name) && c.size == parsed[i].size && c.time == parsed[i].time,
                   "entry %zu read as %s (%llu bytes, time %lld), set holds %s (%llu bytes, time %lld)", i,
                   fuzz::Printable(c.name).c_str(), static_cast<unsigned long long>(c.size),
                   static_cast<long long>(c.time), fuzz::Printable(parsed[i].name).c_str(),
                   static_cast<unsigned long long>(parsed[i].size),
                   static_cast<long long>(parsed[i].time));
        FUZZ_CHECK(c.ok == parsed[i].complete, "entry %zu: result %d", i, c.ok);
        FUZZ_CHECK(fuzz::IsValidUtf8(c.name), "entry %zu: name %s is not UTF-8", i, fuzz::Printable(c.name).c_str());
      } else {
        FUZZ_CHECK(!c.ok && c.name.empty(), "a call past the last entry returned %d, %s", c.ok,
                   fuzz::Printable(c.name).c_str());
      }
    }
    FUZZ_CHECK(loadUI.messages.size() == (damaged ? 1u : 0u), "\"error reading\" %zu times, damaged %d",
               loadUI.messages.size(), damaged);
  } else if (setBytes.size() < 2 || static_cast<unsigned char>(setBytes[0]) != 0x1f ||
             static_cast<unsigned char>(setBytes[1]) != 0x8b) {
    // No gzip stream at all (an empty file too): damaged from its first byte, never read as entries.
    FUZZ_CHECK(loaded.size() == 1 && !loaded[0].ok && loadUI.messages.size() == 1,
               "a file that is no gzip stream gave %zu calls and %zu messages", loaded.size(),
               loadUI.messages.size());
  }

  // A restore of every entry. With a known content every question is answered Yes to All, so
  // what each file must hold is known too; else as the input says.
  SetUpTarget();
  CRecordingUI restoreUI;
  if (content != nullptr) restoreUI.overwriteAnswers = {kYesToAll};
  else restoreUI.overwriteAnswers = {answer, answer, answer, answer};
  std::vector<std::string> later;
  std::vector<Call> restored = ReadSet(g.target + "/", nullptr, restoreUI, &later);
  CheckTarget(restored, content != nullptr ? &parsed : nullptr, later);
  if (content == nullptr) {
    // The raw bytes mostly fail the gzip check early; the uses that differ only in where the
    // output goes are left to the gzip form.
    CheckOutside("loading and a restore");
    return;
  }

  // Extraction of picked entries into the pick folder.
  ResetPick();
  std::vector<std::string> pick = PickList(loaded, 0);
  CRecordingUI extractUI;
  ReadSet("", &pick, extractUI);
  std::set<std::string> allowed(pick.begin(), pick.end());
  std::set<uint32_t> entryCrcs;
  for (const auto& p : parsed)
    if (p.complete) entryCrcs.insert(static_cast<uint32_t>(crc32(0, reinterpret_cast<const Bytef*>(p.data.data()),
                                                                 static_cast<uInt>(p.data.size()))));
  for (const auto& [rel, node] : fuzz::TakeSnapshot(g.pick, false)) {
    // Only picked files, so also no temporary one unless a picked entry bears that name.
    FUZZ_CHECK(node.type == 'f' && allowed.count(g.pick + "/" + rel) != 0,
               "%s left in the pick folder", fuzz::Printable(rel).c_str());
    FUZZ_CHECK(entryCrcs.count(node.crc) != 0, "picked file %s holds no entry's data", fuzz::Printable(rel).c_str());
  }

  // A restore of picked entries, the questions answered as the input says.
  SetUpTarget();
  ResetPick();
  pick = PickList(loaded, 1);
  CRecordingUI tickedUI;
  tickedUI.overwriteAnswers = {answer, answer, answer, answer};
  std::vector<Call> ticked = ReadSet(g.target + "/", &pick, tickedUI, &later);
  CheckTarget(ticked, nullptr, later);
  FUZZ_CHECK(fuzz::TakeSnapshot(g.pick, false).empty(), "a restore of picked entries wrote into the pick folder");
  CheckOutside("loading, restoring and extracting");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  g.work = fuzz::MakeWorkFolder("fern-entry-reader");
  g.outside = g.work + "/outside";
  g.target = g.work + "/target";
  g.pick = g.work + "/pick";
  g.set = g.work + "/set.fcf";
  g.tmp = g.work + "/tmp";
  FUZZ_CHECK(mkdir(g.outside.c_str(), 0755) == 0 && mkdir((g.outside + "/dir").c_str(), 0755) == 0 &&
                 mkdir(g.tmp.c_str(), 0700) == 0,
             "cannot set up %s", g.work.c_str());
  fuzz::PutFile(g.outside + "/secret.txt", "outside the target\n", kOldTime);
  fuzz::PutFile(g.outside + "/dir/inner.txt", "inside a folder outside the target\n", kOldTime);
  // The scratch folder, should anything go there, lies in the watched part of the work folder.
  setenv("TMPDIR", g.tmp.c_str(), 1);
  SetUpTarget();
  ResetPick();
  g_targetInitial = fuzz::TakeSnapshot(g.target, false);
  g_outsideBefore = fuzz::TakeSnapshot(g.work, true, kWritable);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  const int answer = static_cast<int>(size % 4);
  RunOnSet(bytes, nullptr, answer);
  RunOnSet(fuzz::Gzip(data, size), &bytes, answer);
  return 0;
}
