// The drive letter a volume notice names, and the space figures shown for the attached drive.
#pragma once

#include <cstdint>
#include <string>

namespace fern {

// The letter of the lowest bit set in a unit mask (bit n is 'A' + n). A mask with none of its
// 26 lowest bits set gives the character after 'Z', which names no drive.
char DriveLetterFromMask(uint32_t mask);

// The info line for a drive: "Total: ...", "Used: ..." and "Free: ..." lines, each ended by
// "\n" (the Linux line break; the text goes into a label, where "\r" would be shown).
std::string DriveInfoText(uint64_t totalBytes, uint64_t freeBytes);

}  // namespace fern
