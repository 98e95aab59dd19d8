// Stored names to paths below a target and back. The input is taken as a stored name and as a
// relative path. Checked: a name that is not UTF-8 is read as Windows-1252 (held against the C
// library's iconv), and decoding twice changes nothing; a path made from a stored name is UTF-8
// and never leaves the target (no empty, "." or ".." segment, no NUL, no leading '/'); it
// becomes the same, decoded, stored name again; a relative path of plain segments makes a
// stored name that gives the path back; names compare as the same file ignoring ASCII case and
// the drive letter.
#include <string>

#include "fuzz/FuzzSupport.h"
#include "platform/SafeOpen.h"
#include "storage/StoredName.h"

namespace {

bool PlainSegments(const std::string& relative, char separator) {
  if (relative.empty()) return false;
  size_t start = 0;
  for (;;) {
    size_t end = relative.find(separator, start);
    if (!fern::IsPlainName(relative.substr(start, end == std::string::npos ? std::string::npos : end - start)))
      return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

std::string SwapAsciiCase(std::string text) {
  for (char& c : text) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    else if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return text;
}

// A name's text as the program must read it: UTF-8 as it is, anything else as Windows-1252.
std::string Decoded(const std::string& stored) {
  return fuzz::IsValidUtf8(stored) ? stored : fuzz::Windows1252ToUtf8(stored);
}

void CheckDecoding(const std::string& stored) {
  FUZZ_CHECK(fern::IsValidUtf8(stored) == fuzz::IsValidUtf8(stored), "%s: UTF-8 or not, the two checks differ",
             fuzz::Printable(stored).c_str());
  const std::string decoded = fern::DecodeStoredName(stored);
  FUZZ_CHECK(decoded == Decoded(stored), "%s decoded as %s, Windows-1252 gives %s", fuzz::Printable(stored).c_str(),
             fuzz::Printable(decoded).c_str(), fuzz::Printable(Decoded(stored)).c_str());
  FUZZ_CHECK(fern::DecodeStoredName(decoded) == decoded, "decoding %s again changed it",
             fuzz::Printable(decoded).c_str());
}

void FromStored(const std::string& stored) {
  std::string relative;
  if (!fern::StoredNameToRelative(stored, relative)) {
    FUZZ_CHECK(relative.empty(), "a refused name left %s behind", fuzz::Printable(relative).c_str());
    return;
  }
  FUZZ_CHECK(PlainSegments(relative, '/') && relative[0] != '/',
             "%s became %s, which could leave the target", fuzz::Printable(stored).c_str(),
             fuzz::Printable(relative).c_str());
  FUZZ_CHECK(relative.find('\\') == std::string::npos, "%s became %s with a '\\' in it",
             fuzz::Printable(stored).c_str(), fuzz::Printable(relative).c_str());
  FUZZ_CHECK(fuzz::IsValidUtf8(relative), "%s became %s, which is not UTF-8", fuzz::Printable(stored).c_str(),
             fuzz::Printable(relative).c_str());
  // Back again: the same name, decoded, below the same drive root (a drive "letter" that is
  // part of a longer character is not one).
  const std::string decoded = Decoded(stored);
  if (static_cast<unsigned char>(decoded[0]) >= 0x80) return;
  std::string again;
  FUZZ_CHECK(fern::MakeStoredName(decoded[0], relative, again), "%s does not make a stored name",
             fuzz::Printable(relative).c_str());
  FUZZ_CHECK(fern::SameStoredName(again, stored), "%s came back as %s", fuzz::Printable(stored).c_str(),
             fuzz::Printable(again).c_str());
  if (decoded[1] == ':' && decoded[2] == '\\')
    FUZZ_CHECK(again == decoded, "%s came back as %s", fuzz::Printable(stored).c_str(), fuzz::Printable(again).c_str());
}

void FromRelative(const std::string& relative) {
  std::string stored;
  bool made = fern::MakeStoredName('E', relative, stored);
  FUZZ_CHECK(made == (relative.find('\\') == std::string::npos), "MakeStoredName(%s) gave %d",
             fuzz::Printable(relative).c_str(), made);
  if (!made) return;
  FUZZ_CHECK(stored.compare(0, 3, "E:\\") == 0 && fern::StoredNameTail(stored).size() == relative.size(),
             "%s stored as %s", fuzz::Printable(relative).c_str(), fuzz::Printable(stored).c_str());
  std::string back;
  bool ok = fern::StoredNameToRelative(stored, back);
  FUZZ_CHECK(ok == PlainSegments(relative, '/'), "%s: a path of %s segments was %s",
             fuzz::Printable(relative).c_str(), PlainSegments(relative, '/') ? "plain" : "unsafe",
             ok ? "taken" : "refused");
  if (ok) FUZZ_CHECK(back == Decoded(relative), "%s came back as %s", fuzz::Printable(relative).c_str(), fuzz::Printable(back).c_str());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  CheckDecoding(input);
  FromStored(input);
  FromRelative(input);

  // The same file whatever the case of ASCII letters and the drive letter.
  FUZZ_CHECK(fern::SameStoredName(input, input), "a name differs from itself");
  const std::string swapped = SwapAsciiCase(input);
  FUZZ_CHECK(fern::SameStoredName(input, swapped) && fern::SameStoredName(swapped, input),
             "%s and %s differ", fuzz::Printable(input).c_str(), fuzz::Printable(swapped).c_str());
  // (A first byte that is part of a longer character is not a drive letter.)
  if (size >= 3 && static_cast<unsigned char>(input[0]) < 0x80) {
    std::string otherDrive = input;
    otherDrive[0] = otherDrive[0] == 'F' ? 'G' : 'F';
    FUZZ_CHECK(fern::SameStoredName(input, otherDrive), "the drive letter counted");
  }
  return 0;
}
