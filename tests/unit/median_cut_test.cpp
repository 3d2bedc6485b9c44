// The median-cut quantizer through its module-wide operations.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <set>
#include <tuple>
#include <vector>

#include <zlib.h>

#include "quantize/median_cut.h"

namespace pngtrans {
namespace {

using Rgb = std::tuple<int, int, int>;

class MedianCut : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(CreateQuantizer(), 1); }
  void TearDown() override { DestroyQuantizer(); }

  // Colours are given red, green, blue; the quantizer takes host order blue, green, red.
  static void Add(int r, int g, int b, int times = 1) {
    const uint8_t bgr[3] = {static_cast<uint8_t>(b), static_cast<uint8_t>(g),
                            static_cast<uint8_t>(r)};
    for (int i = 0; i < times; ++i) AddPixel(bgr);
  }
  static int IndexOf(int r, int g, int b) {
    const uint8_t bgr[3] = {static_cast<uint8_t>(b), static_cast<uint8_t>(g),
                            static_cast<uint8_t>(r)};
    return PaletteIndexOf(bgr);
  }
  Rgb Entry(int j) const {
    return Rgb(palette_[4 * j + 2], palette_[4 * j + 1], palette_[4 * j + 0]);
  }
  void Build() {
    std::memset(palette_, 0xEE, sizeof palette_);
    BuildPalette(palette_);
  }
  uint8_t palette_[1024];
};

// A deterministic generator, so that the pinned palettes below stay reproducible.
uint32_t Next(uint32_t* state) {
  *state = *state * 1664525u + 1013904223u;
  return *state >> 8;
}

TEST(MedianCutHelpers, HashAndReductionAgree) {
  EXPECT_EQ(ColorHash(0x12, 0x34, 0x56), 0x135u);
  EXPECT_EQ(ColorHash(255, 255, 255), 4095u);
  EXPECT_EQ(ReduceColor(0x0F), 0);
  EXPECT_EQ(ReduceColor(0x10), 17);
  EXPECT_EQ(ReduceColor(0xFF), 255);
  // Reducing keeps the bucket, and each bucket has exactly one reduced colour.
  std::set<uint32_t> hashes;
  for (int v = 0; v < 256; v += 5) {
    EXPECT_EQ(ColorHash(ReduceColor(v), ReduceColor(255 - v), ReduceColor(v / 2)),
              ColorHash(v, 255 - v, v / 2));
  }
  for (int a = 0; a < 16; ++a) hashes.insert(ColorHash(a * 17, a * 17, a * 17));
  EXPECT_EQ(hashes.size(), 16u);
}

TEST(MedianCutLifecycle, OnlyOneQuantizerAtATime) {
  EXPECT_EQ(ActiveQuantizer(), nullptr);
  ASSERT_EQ(CreateQuantizer(), 1);
  EXPECT_EQ(CreateQuantizer(), 0);
  DestroyQuantizer();
  EXPECT_EQ(ActiveQuantizer(), nullptr);
  DestroyQuantizer();  // harmless without one
  ASSERT_EQ(CreateQuantizer(), 1);
  DestroyQuantizer();
  // Without a quantizer the operations are inert.
  const uint8_t pixel[3] = {1, 2, 3};
  AddPixel(pixel);
  EXPECT_EQ(PaletteIndexOf(pixel), 0);
}

TEST_F(MedianCut, EmptyHistogramLeavesTheBufferAlone) {
  Build();
  for (uint8_t b : palette_) ASSERT_EQ(b, 0xEE);
}

TEST_F(MedianCut, SingleColourGivesOneBox) {
  Add(30, 20, 10, 50);
  Build();
  EXPECT_EQ(ActiveQuantizer()->boxCount, 1);
  EXPECT_EQ(palette_[0], 10);
  EXPECT_EQ(palette_[1], 20);
  EXPECT_EQ(palette_[2], 30);
  EXPECT_EQ(palette_[3], 0);
  for (int i = 4; i < 1024; ++i) ASSERT_EQ(palette_[i], 0) << i;
  EXPECT_EQ(IndexOf(30, 20, 10), 0);
}

TEST_F(MedianCut, PaletteIsOrderedByPixelCountLargestFirst) {
  // Worked by hand: red 0 (2 pixels), 100 (1) and 200 (3) along one axis. The first cut puts
  // red 0 alone (the sum reaches half at the run of 100, which goes to the second box); the
  // boxes sorted by total then end as 200, 0, 100.
  Add(0, 0, 0, 2);
  Add(100, 0, 0, 1);
  Add(200, 0, 0, 3);
  Build();
  EXPECT_EQ(ActiveQuantizer()->boxCount, 3);
  EXPECT_EQ(Entry(0), Rgb(200, 0, 0));
  EXPECT_EQ(Entry(1), Rgb(0, 0, 0));
  EXPECT_EQ(Entry(2), Rgb(100, 0, 0));
  EXPECT_EQ(IndexOf(200, 0, 0), 0);
  EXPECT_EQ(IndexOf(0, 0, 0), 1);
  EXPECT_EQ(IndexOf(100, 0, 0), 2);
}

TEST_F(MedianCut, UpTo256ColoursAreKeptExactly) {
  std::vector<Rgb> colours;
  uint32_t seed = 7;
  std::set<Rgb> seen;
  while (colours.size() < 256) {
    const Rgb c(Next(&seed) & 255, Next(&seed) & 255, Next(&seed) & 255);
    if (!seen.insert(c).second) continue;
    colours.push_back(c);
    Add(std::get<0>(c), std::get<1>(c), std::get<2>(c), 1 + static_cast<int>(Next(&seed) % 9));
  }
  Build();
  EXPECT_EQ(ActiveQuantizer()->boxCount, 256);
  std::set<int> indices;
  for (const Rgb& c : colours) {
    const int index = IndexOf(std::get<0>(c), std::get<1>(c), std::get<2>(c));
    EXPECT_EQ(Entry(index), c);
    indices.insert(index);
  }
  EXPECT_EQ(indices.size(), 256u);
}

TEST_F(MedianCut, UnknownColourMapsToZero) {
  Add(10, 10, 10, 5);
  Add(200, 10, 10, 9);
  Build();
  EXPECT_EQ(IndexOf(10, 10, 10), 1);
  EXPECT_EQ(IndexOf(10, 10, 11), 0);
  EXPECT_EQ(IndexOf(10, 10, 10), 1);  // again, after a different look-up
}

// Over 256 colours: exactly 256 boxes, every colour maps into them, and every palette entry is
// the count-weighted mean of the colours that map to it.
TEST_F(MedianCut, ManyColoursEndIn256BoxesWhoseEntriesAreMeans) {
  std::map<Rgb, uint64_t> counts;
  uint32_t seed = 12345;
  for (int i = 0; i < 20000; ++i) {
    const int r = Next(&seed) & 63, g = Next(&seed) & 15, b = Next(&seed) & 3;
    Add(r, g, b);
    ++counts[Rgb(r, g, b)];
  }
  ASSERT_GT(counts.size(), 256u);
  ASSERT_LE(counts.size(), 4096u);
  EXPECT_EQ(ActiveQuantizer()->reduced, 0);
  Build();
  EXPECT_EQ(ActiveQuantizer()->boxCount, 256);
  uint64_t sums[256][4] = {};
  for (const auto& [c, n] : counts) {
    const int index = IndexOf(std::get<0>(c), std::get<1>(c), std::get<2>(c));
    sums[index][0] += std::get<0>(c) * n;
    sums[index][1] += std::get<1>(c) * n;
    sums[index][2] += std::get<2>(c) * n;
    sums[index][3] += n;
  }
  for (int j = 0; j < 256; ++j) {
    ASSERT_GT(sums[j][3], 0u) << "box " << j << " got no colour";
    EXPECT_EQ(Entry(j), Rgb(static_cast<int>(sums[j][0] / sums[j][3]),
                            static_cast<int>(sums[j][1] / sums[j][3]),
                            static_cast<int>(sums[j][2] / sums[j][3])))
        << j;
  }
  // Boxes run largest first.
  for (int j = 1; j < 256; ++j) {
    EXPECT_GE(sums[j - 1][3], sums[j][3]) << j;
  }
}

TEST_F(MedianCut, TheColour4097FoldsTheHistogram) {
  // 4096 distinct colours: red 0-255 x green 0-15, blue 7. They fill the table exactly.
  for (int g = 0; g < 16; ++g) {
    for (int r = 0; r < 256; ++r) Add(r, g, 7);
  }
  EXPECT_EQ(ActiveQuantizer()->reduced, 0);
  EXPECT_EQ(ActiveQuantizer()->colorCount, 4096);
  Add(0, 0, 8);  // the 4097th
  const MedianCutQuantizer* q = ActiveQuantizer();
  EXPECT_EQ(q->reduced, 1);
  // Everything folds onto the 16 reduced reds with green and blue 0.
  EXPECT_EQ(q->colorCount, 16);
  EXPECT_EQ(q->usedEntries, 16);
  uint64_t total = 0;
  for (int i = 0; i < q->usedEntries; ++i) {
    total += q->entries[i].count;
    EXPECT_EQ(q->entries[i].c[1], 0);
    EXPECT_EQ(q->entries[i].c[2], 0);
    EXPECT_EQ(q->entries[i].c[0] % 17, 0);
  }
  EXPECT_EQ(total, 4097u);
  // Counted by reduced value from now on.
  Add(0x21, 0x3, 0x2, 1000);
  Build();
  EXPECT_EQ(ActiveQuantizer()->boxCount, 16);
  // The heaviest box is red level 2 (256 + 1000 pixels).
  EXPECT_EQ(Entry(0), Rgb(34, 0, 0));
  // Colours differing in the low four bits share an index, old and new alike.
  EXPECT_EQ(IndexOf(0x20, 0x00, 0x00), 0);
  EXPECT_EQ(IndexOf(0x2F, 0x0F, 0x0F), 0);
  EXPECT_EQ(IndexOf(0xF3, 0x01, 0x07), IndexOf(0xFF, 0x0E, 0x0C));
  EXPECT_EQ(Entry(IndexOf(0xF3, 0x01, 0x07)), Rgb(255, 0, 0));
  // A bucket nothing reached still answers 0.
  EXPECT_EQ(IndexOf(0x80, 0x80, 0x80), 0);
}

TEST_F(MedianCut, MeansHoldBeyond32BitSums) {
  // 255 x 9 million does not fit in a signed 32-bit sum.
  Add(255, 254, 253, 9000000);
  Add(1, 2, 3);
  Build();
  EXPECT_EQ(Entry(0), Rgb(255, 254, 253));
  EXPECT_EQ(Entry(1), Rgb(1, 2, 3));
}

// Pins the palette of a seeded image big enough to fold: any change to the sort, the cut rule
// or the folding changes it.
TEST_F(MedianCut, SeededLargeImageGivesItsPinnedPalette) {
  uint32_t seed = 2024;
  for (int y = 0; y < 256; ++y) {
    for (int x = 0; x < 256; ++x) {
      const int noise = static_cast<int>(Next(&seed) % 24);
      Add((x + noise) & 255, (y * 3 / 4 + noise / 2) & 255, ((x ^ y) + noise) & 255);
    }
  }
  EXPECT_EQ(ActiveQuantizer()->reduced, 1);
  Build();
  EXPECT_EQ(ActiveQuantizer()->boxCount, 256);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, palette_, sizeof palette_));
  EXPECT_EQ(crc, 0x3ca7547cu) << std::hex << crc;
  EXPECT_EQ(Entry(0), Rgb(6, 97, 119));
}

TEST_F(MedianCut, SeededExactImageGivesItsPinnedPalette) {
  uint32_t seed = 99;
  for (int i = 0; i < 30000; ++i) {
    const int v = static_cast<int>(Next(&seed) % 3000);
    Add(v % 200, (v / 7) % 180, (v / 13) % 90);
  }
  EXPECT_EQ(ActiveQuantizer()->reduced, 0);
  Build();
  EXPECT_EQ(ActiveQuantizer()->boxCount, 256);
  const uint32_t crc = static_cast<uint32_t>(crc32(0, palette_, sizeof palette_));
  EXPECT_EQ(crc, 0x2827889u) << std::hex << crc;
}

}  // namespace
}  // namespace pngtrans
