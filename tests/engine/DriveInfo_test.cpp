#include "engine/DriveInfo.h"

#include <gtest/gtest.h>
#include <stdio.h>

#include "tests/storage/GermanLocale.h"

namespace fern {
namespace {

TEST(DriveInfo, LetterIsTheLowestBitSet) {
  EXPECT_EQ(DriveLetterFromMask(16), 'E');
  EXPECT_EQ(DriveLetterFromMask((1u << 5) | (1u << 6)), 'F');  // F and G at once
  EXPECT_EQ(DriveLetterFromMask(1), 'A');
  EXPECT_EQ(DriveLetterFromMask(1u << 25), 'Z');
  // No letter among the 26: the character after 'Z', which names no drive.
  EXPECT_EQ(DriveLetterFromMask(0), '[');
  EXPECT_EQ(DriveLetterFromMask(1u << 26), '[');
  EXPECT_EQ(DriveLetterFromMask(0xFC000000u), '[');
}

TEST(DriveInfo, SpaceTexts) {
  EXPECT_EQ(DriveInfoText(1000000000ull, 250000000ull),
            "Total: 953.7 MB\nUsed: 715.3 MB\nFree: 238.4 MB\n");
  // The comparisons are strictly greater: exactly 1 GiB is shown in MB, exactly 1 KiB in bytes.
  EXPECT_EQ(DriveInfoText(1073741824ull, 1073741824ull),
            "Total: 1024.0 MB\nUsed: 0.0B\nFree: 1024.0 MB\n");
  EXPECT_EQ(DriveInfoText(8000000000ull, 8000000000ull - 512),
            "Total: 7.5 GB\nUsed: 512.0B\nFree: 7.5 GB\n");
  EXPECT_EQ(DriveInfoText(1024, 0), "Total: 1024.0 B\nUsed: 1024.0B\nFree: 0.0 B\n");
  EXPECT_EQ(DriveInfoText(1025, 1025), "Total: 1.0 KB\nUsed: 0.0B\nFree: 1.0 KB\n");
  EXPECT_EQ(DriveInfoText(1048577, 1048576),
            "Total: 1.0 MB\nUsed: 1.0B\nFree: 1024.0 KB\n");
  // A moment where the file system reports more free than total never wraps the used figure.
  EXPECT_EQ(DriveInfoText(100, 200), "Total: 100.0 B\nUsed: 0.0B\nFree: 200.0 B\n");
}

TEST(DriveInfo, FiguresReadTheSameUnderAGermanLocale) {
  ferntest::CGermanLocale german;
  std::string why;
  ASSERT_TRUE(german.Enter(why)) << why;
  EXPECT_EQ(DriveInfoText(400ull * 1048576 + 1, 100ull * 1048576),
            "Total: 400.0 MB\nUsed: 300.0 MB\nFree: 100.0 MB\n");
  EXPECT_EQ(DriveInfoText(8000000000ull, 8000000000ull - 512), "Total: 7.5 GB\nUsed: 512.0B\nFree: 7.5 GB\n");
}

}  // namespace
}  // namespace fern
