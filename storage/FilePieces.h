// Files of 4 GiB or more in a set. The entry header holds a 32-bit data length, so such a file is
// kept as a run of entries, its pieces, each shorter than 4 GiB and honest about its length: the
// stored name followed by ".fernpiece-<k>-of-<n>" (k counted from 1, written with as many digits
// as n so the pieces sort in order), all with the file's time, every piece but the last of the
// same length. A reader that knows nothing of pieces reads such a set to its end and writes the
// pieces as files of their own, never a part of the file under its real name.
#pragma once

#include <cstdint>
#include <string>

namespace fern {

// Files this long or longer are kept in pieces.
uint64_t PieceSplitFrom();
// The length of every piece but the last: a multiple of the copy chunk just short of 4 GiB.
uint32_t PieceSize();
// For tests: pieces of this many bytes, and files longer than that kept in pieces; 0 goes back
// to the real sizes.
void SetPieceSizeForTests(uint32_t size);

// The number of pieces of a file of length bytes (at least 1).
uint32_t PieceCount(uint64_t length);
// "<stored>.fernpiece-<k>-of-<n>".
std::string PieceName(const std::string& stored, uint32_t k, uint32_t n);
// Whether stored is the name of a piece as PieceName writes it; gives the file's stored name
// and the piece's place.
bool ParsePieceName(const std::string& stored, std::string& file, uint32_t& k, uint32_t& n);
// Whether a reader would take stored as the first piece of a file: a file of its own with such
// a name is kept in pieces too, so that it comes back under its own name.
bool LooksLikeFirstPiece(const std::string& stored);

}  // namespace fern
