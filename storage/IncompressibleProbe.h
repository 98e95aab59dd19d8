// A cheap test of whether deflate can shrink a block at all, run before the block is deflated:
// photos, videos, music and archives are already compressed, and searching them at level 9
// costs a core's whole effort to find nothing. Deflate gains in two ways, and both are looked
// for: bytes that are not evenly spread (Huffman codes), measured as the byte entropy of every
// 16 KiB piece, so that a block whose halves differ is not taken for one even whole; and
// repeats within deflate's window (matches), found through content-chosen anchors whose eight
// bytes were seen before. Only a block that has neither is called incompressible.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

class CIncompressibleProbe {
 public:
  // Pieces whose entropy is measured on their own (about one deflate block of zlib's).
  static constexpr size_t kPieceSize = 16 * 1024;
  // Blocks shorter than a piece are never called incompressible: too few bytes to judge,
  // and too few to be worth it.
  static constexpr size_t kMinLength = kPieceSize;

  // True when deflate would gain less than about half a percent on data, given the bytes
  // before it (deflate's dictionary, up to 32 KiB; may be empty).
  bool CannotShrink(const unsigned char* before, size_t beforeLength, const unsigned char* data, size_t length);

 private:
  // Entropy below this many bits per byte leaves Huffman codes half a percent or more to gain.
  static constexpr double kEntropyLimit = 7.96;
  // Repeats covering a 200th of the data or more leave matches half a percent to gain.
  static constexpr size_t kRepeatShare = 200;
  static constexpr unsigned kTableBits = 12;

  // Whether every piece has the entropy limit or more; stops at the first piece below it,
  // so compressible data costs the count of one piece.
  static bool AllPiecesEven(const unsigned char* data, size_t length);
  // Whether the repeats within the window cover less than the repeat share of data.
  bool FewRepeats(const unsigned char* before, size_t beforeLength, const unsigned char* data, size_t length);

  std::vector<uint64_t> m_keys;      // the eight bytes at an anchor
  std::vector<int64_t> m_positions;  // where they stood, counted from the data's start
  std::vector<uint32_t> m_stamps;    // the probe that wrote the slot; older slots are empty
  uint32_t m_nStamp = 0;
};
