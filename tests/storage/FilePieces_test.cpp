#include "storage/FilePieces.h"

#include <string>

#include <gtest/gtest.h>

namespace {

struct Parsed {
  bool ok = false;
  std::string file;
  uint32_t k = 0, n = 0;
};

Parsed Parse(const std::string& stored) {
  Parsed p;
  p.ok = fern::ParsePieceName(stored, p.file, p.k, p.n);
  return p;
}

// Piece names sort in their order (k as wide as n) and are read back exactly as written; names
// that only look similar are files of their own.
TEST(FilePieces, NamesAreWrittenAndRecognisedExactly) {
  EXPECT_EQ(fern::PieceName("E:\\v\\movie.mp4", 1, 2), "E:\\v\\movie.mp4.fernpiece-1-of-2");
  EXPECT_EQ(fern::PieceName("E:\\vm.img", 3, 12), "E:\\vm.img.fernpiece-03-of-12");
  EXPECT_LT(fern::PieceName("E:\\vm.img", 9, 12), fern::PieceName("E:\\vm.img", 10, 12));

  for (uint32_t n : {1u, 2u, 9u, 10u, 123u, 4294967295u})
    for (uint32_t k : {1u, n / 2 + 1, n}) {
      const Parsed p = Parse(fern::PieceName("E:\\a.b", k, n));
      EXPECT_TRUE(p.ok && p.file == "E:\\a.b" && p.k == k && p.n == n) << k << " of " << n;
    }
  // The last mark counts: a file named like a piece, kept in pieces itself.
  const Parsed twice = Parse("E:\\x.fernpiece-1-of-2.fernpiece-1-of-1");
  EXPECT_TRUE(twice.ok && twice.file == "E:\\x.fernpiece-1-of-2" && twice.k == 1 && twice.n == 1);

  for (const char* other : {"E:\\a.fernpiece-0-of-2", "E:\\a.fernpiece-3-of-2", "E:\\a.fernpiece-1-of-10",
                            "E:\\a.fernpiece-01-of-2", "E:\\a.fernpiece-1-of-02", "E:\\a.fernpiece-1-of-",
                            "E:\\a.fernpiece--of-2", "E:\\a.fernpiece-1-of-2x", "E:\\a.fernpiece-1of-2",
                            "E:\\a.FERNPIECE-1-of-2", ".fernpiece-1-of-2", "E:\\a.fernpiece-1-of-+2",
                            "E:\\a.fernpiece-1-of-4294967296", "E:\\a.fernpiece-1-of-2 "})
    EXPECT_FALSE(Parse(other).ok) << other;
  EXPECT_TRUE(fern::LooksLikeFirstPiece("E:\\a.fernpiece-01-of-10"));
  EXPECT_FALSE(fern::LooksLikeFirstPiece("E:\\a.fernpiece-02-of-10"));
}

// Files below 4 GiB stay whole; from 4 GiB on they go in pieces just short of 4 GiB. The test
// setting shrinks both and goes back.
TEST(FilePieces, SizesAndTheTestSetting) {
  EXPECT_EQ(fern::PieceSplitFrom(), uint64_t(1) << 32);
  EXPECT_LT(fern::PieceSize(), uint64_t(1) << 32);
  EXPECT_EQ(fern::PieceSize() % 16384, 0u);
  EXPECT_EQ(fern::PieceCount(uint64_t(1) << 32), 2u);
  EXPECT_EQ(fern::PieceCount(uint64_t(5) << 30), 2u);
  EXPECT_EQ(fern::PieceCount(uint64_t(fern::PieceSize()) * 3), 3u);
  EXPECT_EQ(fern::PieceCount(uint64_t(fern::PieceSize()) * 3 + 1), 4u);
  fern::SetPieceSizeForTests(1000);
  EXPECT_EQ(fern::PieceSize(), 1000u);
  EXPECT_EQ(fern::PieceSplitFrom(), 1001u);
  EXPECT_EQ(fern::PieceCount(2500), 3u);
  fern::SetPieceSizeForTests(0);
  EXPECT_EQ(fern::PieceSplitFrom(), uint64_t(1) << 32);
}

}  // namespace
