#include "engine/DriveInfo.h"

#include "storage/FixedText.h"

namespace fern {

char DriveLetterFromMask(uint32_t mask) {
  int index = 0;
  while (index < 26 && (mask & 1u) == 0) {
    mask >>= 1;
    ++index;
  }
  return static_cast<char>('A' + index);
}

namespace {

struct SizeTexts {
  const char* gb;
  const char* mb;
  const char* kb;
  const char* b;
};

// Each comparison is strictly greater: exactly 1024 bytes stays in bytes, exactly 1 GiB in MB.
std::string FormatSize(double v, const SizeTexts& texts) {
  // The figures are fixed texts: "400.0 MB" under any locale.
  if (v > 1073741824.0) return FixedFormat(texts.gb, v / 1073741824.0);
  if (v > 1048576.0) return FixedFormat(texts.mb, v / 1048576.0);
  if (v > 1024.0) return FixedFormat(texts.kb, v / 1024.0);
  return FixedFormat(texts.b, v);
}

}  // namespace

std::string DriveInfoText(uint64_t totalBytes, uint64_t freeBytes) {
  static const SizeTexts kTotal{"Total: %.1f GB", "Total: %.1f MB", "Total: %.1f KB", "Total: %.1f B"};
  static const SizeTexts kUsed{"Used: %.1f GB", "Used: %.1f MB", "Used: %.1f KB", "Used: %.1fB"};
  static const SizeTexts kFree{"Free: %.1f GB", "Free: %.1f MB", "Free: %.1f KB", "Free: %.1f B"};
  // A file system may report more free than total space for a moment; never show a huge
  // wrapped-around used figure then.
  uint64_t usedBytes = totalBytes >= freeBytes ? totalBytes - freeBytes : 0;
  std::string text = FormatSize(static_cast<double>(totalBytes), kTotal);
  text += "\n";
  text += FormatSize(static_cast<double>(usedBytes), kUsed);
  text += "\n";
  text += FormatSize(static_cast<double>(freeBytes), kFree);
  text += "\n";
  return text;
}

}  // namespace fern
