#include "storage/IncompressibleProbe.h"

#include <string>

#include <gtest/gtest.h>

#include "tests/storage/DeflateData.h"

namespace {

const unsigned char* Bytes(const std::string& text) { return reinterpret_cast<const unsigned char*>(text.data()); }

// What level 9 saves on data after before, as a share of the data.
double Level9Gain(const std::string& before, const std::string& data) {
  return 1.0 - static_cast<double>(Level9Size(before, data)) / static_cast<double>(data.size());
}

// The probe's answer, held against what level 9 really gains on the same bytes: a block
// called incompressible gains less than half a percent, any other at least that much.
bool CannotShrink(const std::string& before, const std::string& data) {
  CIncompressibleProbe probe;
  const bool answer = probe.CannotShrink(Bytes(before), before.size(), Bytes(data), data.size());
  const double gain = Level9Gain(before, data);
  if (answer) {
    EXPECT_LT(gain, 0.005) << "called incompressible, yet level 9 saves " << gain;
  } else {
    EXPECT_GE(gain, 0.005) << "called compressible, yet level 9 saves only " << gain;
  }
  return answer;
}

}  // namespace

TEST(IncompressibleProbe, NoiseAndDeflateStreamsAreIncompressibleTextAndSkewedBytesAreNot) {
  const size_t block = 128 * 1024;
  const std::string before = Noise(32 * 1024, 1);
  EXPECT_TRUE(CannotShrink(before, Noise(block, 2)));
  EXPECT_TRUE(CannotShrink(std::string(), Noise(block, 3)));
  EXPECT_TRUE(CannotShrink(before, Noise(CIncompressibleProbe::kMinLength, 4)));
  const std::string gzipped = GzippedText(3 * block, 5);
  ASSERT_EQ(gzipped.size(), 3 * block);
  EXPECT_TRUE(CannotShrink(gzipped.substr(block - 32 * 1024, 32 * 1024), gzipped.substr(block, block)));

  EXPECT_FALSE(CannotShrink(before, PlainText(block, 6)));
  // Noise followed by text, and text with a little noise in it.
  EXPECT_FALSE(CannotShrink(before, Noise(block - 20000, 7) + PlainText(20000, 8)));
  EXPECT_FALSE(CannotShrink(before, PlainText(20000, 9) + Noise(block - 20000, 10)));
  // Every byte value as often as any other over the block, but the first half only low
  // values and the second only high: Huffman codes gain an eighth on each half.
  std::string halves = Noise(block, 11);
  for (size_t i = 0; i < halves.size(); ++i) halves[i] = static_cast<char>((halves[i] & 0x7F) | (i < block / 2 ? 0 : 0x80));
  EXPECT_FALSE(CannotShrink(before, halves));

  // Too short to judge, however random.
  CIncompressibleProbe probe;
  const std::string little = Noise(CIncompressibleProbe::kMinLength - 1, 12);
  EXPECT_FALSE(probe.CannotShrink(Bytes(before), before.size(), Bytes(little), little.size()));
}

TEST(IncompressibleProbe, RepeatsWithinTheWindowAreFoundThoseBeyondItAreNot) {
  const size_t block = 128 * 1024;
  const std::string before = Noise(32 * 1024, 21);
  // The same small picture again and again, as a folder of copied icons: noise to the byte
  // count, but level 9 finds every copy.
  const std::string icon = Noise(12000, 22);
  std::string icons;
  while (icons.size() < block) icons += icon + Noise(500, static_cast<uint32_t>(icons.size()));
  EXPECT_FALSE(CannotShrink(before, icons.substr(0, block)));

  // The block starts with 20 KiB that the bytes before it ended with: found in the window.
  const std::string again = before.substr(before.size() - 20000) + Noise(block - 20000, 23);
  EXPECT_FALSE(CannotShrink(before, again));
  // The same block after other bytes: nothing to copy from.
  EXPECT_TRUE(CannotShrink(Noise(32 * 1024, 24), again));

  // A repeat farther back than deflate's 32 KiB reach gains nothing.
  std::string far = Noise(block, 25);
  far.replace(100 * 1024, 20000, far.substr(0, 20000));
  EXPECT_TRUE(CannotShrink(before, far));
  // One short repeat is not worth searching for.
  std::string once = Noise(block, 26);
  once.replace(50000, 200, once.substr(40000, 200));
  EXPECT_TRUE(CannotShrink(before, once));

  // The probe keeps no trace of earlier blocks: the same probe, the icons, then noise.
  CIncompressibleProbe probe;
  const std::string noise = Noise(block, 27);
  EXPECT_FALSE(probe.CannotShrink(Bytes(before), before.size(), Bytes(icons), block));
  EXPECT_TRUE(probe.CannotShrink(Bytes(before), before.size(), Bytes(noise), block));
}
