// The fast filter kernels against the scalar reference: every filter x bytes per pixel (Paeth
// also on two rows at once), widths around the vector sizes, first rows (a zero row above) and
// rows full of ties, unfiltering and filtering with sums and early stops alike. Buffers are
// exactly as long as the row, so ASan catches a kernel that reads or writes past it.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "format/filter_kernels.h"

namespace pngtrans {
namespace {

using Bytes = std::vector<uint8_t>;

// Uniform bytes, or bytes from a small set that makes the Paeth distances tie often and puts
// the magnitude boundary (127, 128, 129) into every sum.
Bytes MakeRow(uint32_t n, bool ties, std::mt19937* random) {
  static const uint8_t kTieValues[] = {0, 1, 2, 127, 128, 129, 254, 255};
  Bytes row(n);
  for (uint8_t& b : row) {
    b = ties ? kTieValues[(*random)() % 8] : static_cast<uint8_t>((*random)());
  }
  return row;
}

struct Shape {
  uint32_t bpp;
  uint32_t n;
};

std::vector<Shape> Shapes() {
  std::vector<Shape> shapes;
  for (uint32_t bpp : {1u, 2u, 3u, 4u, 6u, 8u, 5u}) {
    for (uint32_t pixels : {1u, 2u, 3u, 5u, 7u, 15u, 16u, 17u, 31u, 33u, 100u, 257u}) {
      shapes.push_back({bpp, bpp * pixels});
    }
  }
  // Bytes shorter than one pixel, and sub-byte rows whose bpp is 1.
  shapes.push_back({3, 2});
  shapes.push_back({8, 5});
  shapes.push_back({1, 0});
  return shapes;
}

// For every case: the row above is a zero row (first row of an image or pass), random, or
// full of ties, and the row itself likewise.
struct Case {
  Shape shape;
  bool firstRow;
  bool ties;
};

std::vector<Case> Cases() {
  std::vector<Case> cases;
  for (const Shape& shape : Shapes()) {
    for (bool firstRow : {true, false}) {
      for (bool ties : {false, true}) cases.push_back({shape, firstRow, ties});
    }
  }
  return cases;
}

std::string Describe(const Case& c, uint8_t type) {
  return "filter " + std::to_string(type) + ", bpp " + std::to_string(c.shape.bpp) + ", " +
         std::to_string(c.shape.n) + " bytes" + (c.firstRow ? ", first row" : "") +
         (c.ties ? ", ties" : "");
}

TEST(FilterKernels, UnfilterMatchesTheScalarReference) {
  std::mt19937 random(1234);
  for (const Case& c : Cases()) {
    const uint32_t n = c.shape.n;
    const Bytes above = c.firstRow ? Bytes(n, 0) : MakeRow(n, c.ties, &random);
    const Bytes filtered = MakeRow(n, c.ties, &random);
    for (uint8_t type = 0; type <= 4; ++type) {
      Bytes expected = filtered;
      Bytes actual = filtered;
      UnfilterScalar(type, expected.data(), above.data(), n, c.shape.bpp);
      Unfilter(type, actual.data(), above.data(), n, c.shape.bpp);
      ASSERT_EQ(actual, expected) << Describe(c, type);
    }
    // Two Paeth rows at once: the lower one runs a block behind the upper, against it.
    const Bytes lower = MakeRow(n, c.ties, &random);
    Bytes expectedTop = filtered, expectedBottom = lower, top = filtered, bottom = lower;
    UnfilterScalar(FilterTypePaeth, expectedTop.data(), above.data(), n, c.shape.bpp);
    UnfilterScalar(FilterTypePaeth, expectedBottom.data(), expectedTop.data(), n, c.shape.bpp);
    UnfilterPaethPair(top.data(), above.data(), bottom.data(), n, c.shape.bpp);
    ASSERT_EQ(top, expectedTop) << Describe(c, FilterTypePaeth) << ", upper of a pair";
    ASSERT_EQ(bottom, expectedBottom) << Describe(c, FilterTypePaeth) << ", lower of a pair";
  }
}

// Filtering then unfiltering gives the row back, through the fast kernels on both sides.
TEST(FilterKernels, FilterThenUnfilterIsTheIdentity) {
  std::mt19937 random(99);
  for (const Case& c : Cases()) {
    const uint32_t n = c.shape.n;
    const Bytes above = c.firstRow ? Bytes(n, 0) : MakeRow(n, c.ties, &random);
    const Bytes row = MakeRow(n, c.ties, &random);
    for (uint8_t type = 1; type <= 4; ++type) {
      Bytes out(n);
      ASSERT_LE(Filter(type, out.data(), row.data(), above.data(), n, c.shape.bpp, kFilterNoSum),
                kFilterNoSum);
      Unfilter(type, out.data(), above.data(), n, c.shape.bpp);
      ASSERT_EQ(out, row) << Describe(c, type);
    }
  }
}

// The same filtered bytes and the same sum, and the same give-up at the same best: the
// candidate choice of the writer depends on nothing else.
TEST(FilterKernels, FilterAndSumMatchTheScalarReference) {
  std::mt19937 random(42);
  for (const Case& c : Cases()) {
    const uint32_t n = c.shape.n;
    const Bytes above = c.firstRow ? Bytes(n, 0) : MakeRow(n, c.ties, &random);
    const Bytes row = MakeRow(n, c.ties, &random);
    for (uint8_t type = 1; type <= 4; ++type) {
      Bytes reference(n);
      const uint32_t full = FilterScalar(type, reference.data(), row.data(), above.data(), n,
                                         c.shape.bpp, kFilterNoSum);
      // No limit, a limit just above and at the full sum, and ones that stop inside the row.
      for (uint32_t best : {kFilterNoSum, full + 1, full, full / 2, 1u}) {
        Bytes expected(n), actual(n);
        const uint32_t want =
            FilterScalar(type, expected.data(), row.data(), above.data(), n, c.shape.bpp, best);
        const uint32_t got =
            Filter(type, actual.data(), row.data(), above.data(), n, c.shape.bpp, best);
        ASSERT_EQ(got, want) << Describe(c, type) << ", best " << best;
        if (want <= kFilterNoSum) {
          ASSERT_EQ(actual, expected) << Describe(c, type);
        }
      }
    }
  }
}

TEST(FilterKernels, RawSumMatchesTheScalarReference) {
  std::mt19937 random(7);
  for (uint32_t n : {0u, 1u, 15u, 16u, 17u, 100u, 4096u, 65537u}) {
    for (bool ties : {false, true}) {
      const Bytes row = MakeRow(n, ties, &random);
      ASSERT_EQ(RawSum(row.data(), n), RawSumScalar(row.data(), n)) << n << " bytes";
    }
  }
  // 128 counts 128, 129 counts 127, 255 counts 1.
  const Bytes edges = {127, 128, 129, 255, 0, 1};
  EXPECT_EQ(RawSum(edges.data(), 6), 127u + 128 + 127 + 1 + 0 + 1);
}

}  // namespace
}  // namespace pngtrans
