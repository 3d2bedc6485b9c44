// Import conformance: every colour type, bit depth, interlace method, size, filter type and
// IDAT split of the matrix imports into exactly the host bytes the judge derives (libpng's
// decoding on Linux, where libpng also vouches for the expected bytes; the test image itself on
// both targets). The widest accepted rows import too, and one pixel more fails cleanly.
#include <gtest/gtest.h>

#include <cstring>

#include "import/import_driver.h"
#include "support/import_matrix.h"
#include "support/png_judge.h"

namespace pngtrans::test {
namespace {

// Imports file into a fresh guarded host and compares everything the host receives.
void ExpectImportMatches(const MatrixCase& c, const Bytes& file, const ExpectedHost& e) {
  const std::string path = TempPath("conform.png");
  ASSERT_TRUE(WriteFileBytes(path, file));
  GuardedHost host;
  uint32_t options = 0;
  const Status status = ImportImage(path.c_str(), nullptr, host.image(), nullptr, &options);
  RemoveFile(path);
  ASSERT_EQ(status, StatusOk) << c.name;
  const HostImage& image = host.described();
  EXPECT_EQ(image.width, c.raw.width) << c.name;
  EXPECT_EQ(image.height, c.raw.height) << c.name;
  EXPECT_EQ(image.colorKind, e.colorKind) << c.name;
  EXPECT_EQ(image.bitsPerPixel, e.bitsPerPixel) << c.name;
  EXPECT_EQ(image.rowBytes, e.rowBytes) << c.name;
  EXPECT_EQ(image.maskKind, e.maskKind) << c.name;
  EXPECT_EQ(image.maskRowBytes, e.maskRowBytes) << c.name;
  EXPECT_EQ(options, ExpectedOptions(c)) << c.name;
  EXPECT_TRUE(host.Pixels() == e.pixels) << c.name;
  EXPECT_TRUE(host.Mask() == e.mask) << c.name;
  if (!e.palette.empty()) {
    EXPECT_EQ(host.Palette(), e.palette) << c.name;
  }
  EXPECT_EQ(host.allocateCalls(), 1) << c.name;
  EXPECT_EQ(host.releaseCalls(), 0) << c.name;
}

void RunCase(const MatrixCase& c) {
  const Bytes file = EncodePng(c.raw, c.options);
  const ExpectedHost expected = ExpectHost(c.raw, c.options.palette, c.options.trns);
#if PNGTRANS_HAVE_LIBPNG
  ExpectedHost judged;
  std::string error;
  ASSERT_TRUE(JudgeWithLibpng(file, &judged, &error)) << c.name << ": " << error;
  ASSERT_TRUE(judged.pixels == expected.pixels && judged.mask == expected.mask &&
              judged.palette == expected.palette)
      << "the judge and the test image disagree: " << c.name;
  ExpectImportMatches(c, file, judged);
#else
  ExpectImportMatches(c, file, expected);
#endif
}

TEST(ImportConformance, SmallImagesOfEveryFormatSizeFilterAndSplit) {
  const std::vector<MatrixCase> cases = SmallImageMatrix();
  ASSERT_EQ(cases.size(), 15u * 2 * 17 * 9);
  for (const MatrixCase& c : cases) {
    RunCase(c);
    if (HasFatalFailure() || HasFailure()) return;  // one clear report, not thousands
  }
}

TEST(ImportConformance, EveryForcedFilterWithEverySplit) {
  for (const MatrixCase& c : FilterSplitMatrix()) {
    RunCase(c);
    if (HasFatalFailure() || HasFailure()) return;
  }
}

TEST(ImportConformance, WidestAcceptedRowsAndLargerImages) {
  for (const MatrixCase& c : LargeImageCases()) {
    RunCase(c);
    if (HasFatalFailure() || HasFailure()) return;
  }
}

// Rows of any width open as long as the reader can size its rows (two slots and a row) in 32
// bits: at the widest such width the host is asked for its buffers (and here declines); a pixel
// more, the header is refused before allocate, with one release.
TEST(ImportConformance, RowsBeyondWhatThirtyTwoBitsCanSizeAreRefusedBeforeAllocate) {
  const struct {
    uint32_t width;
    PngFormat format;
    bool fits;
  } cases[] = {
      {1431655760, {8, 0}, true}, {1431655761, {8, 0}, false}, {0x7FFFFFFF, {8, 0}, false},
      {178956968, {16, 6}, true}, {178956969, {16, 6}, false}, {0x7FFFFFFF, {1, 0}, true},
  };
  for (const auto& c : cases) {
    const std::string label = std::to_string(c.width) + " " + std::to_string(c.format.depth) + "/" +
                              std::to_string(c.format.type);
    RawImage raw;
    raw.width = c.width;
    raw.height = 1;
    raw.bitDepth = c.format.depth;
    raw.colorType = c.format.type;
    Bytes file = EncodePngFromStream(raw, ZlibCompress(Bytes(64, 0)), EncodeOptions());
    // Enough bytes after the image data that the file could hold such a row.
    const uint64_t rowBytes = (uint64_t{c.width} * raw.PixelBits() + 7) / 8;
    file.resize(file.size() + static_cast<size_t>((rowBytes + 1) / 1032) + 4096);
    const std::string path = TempPath("overwide.png");
    ASSERT_TRUE(WriteFileBytes(path, file));
    GuardedHost host;
    host.FailAllocate(true);
    uint32_t options = 0;
    EXPECT_EQ(ImportImage(path.c_str(), nullptr, host.image(), nullptr, &options), StatusError)
        << label;
    RemoveFile(path);
    EXPECT_EQ(host.allocateCalls(), c.fits ? 1 : 0) << label;
    EXPECT_EQ(host.releaseCalls(), 1) << label;
  }
}

#if PNGTRANS_HAVE_LIBPNG
// Files written by libpng's own encoder (its filter choices and IDAT sizes, not ours).
TEST(ImportConformance, FilesEncodedByTheJudge) {
  uint32_t seed = 1;
  for (uint8_t type : {0, 2, 3, 4, 6}) {
    for (uint8_t depth : {1, 2, 4, 8, 16}) {
      if ((type == 3 && depth == 16) || ((type == 2 || type == 4 || type == 6) && depth < 8)) {
        continue;
      }
      for (bool interlace : {false, true}) {
        MatrixCase c;
        const uint32_t entries = type == 3 ? (1u << depth) : 256;
        c.raw = RandomImage(37, 23, depth, type, ++seed, entries);
        c.options.interlace = interlace;
        if (type == 3) c.options.palette = TestPalette(entries);
        c.name = "libpng-encoded type " + std::to_string(type) + " depth " + std::to_string(depth);
        Bytes file;
        ASSERT_TRUE(EncodeWithLibpng(c.raw, interlace, c.options.palette, Bytes(), &file));
        ExpectImportMatches(c, file, ExpectHost(c.raw, c.options.palette, c.options.trns));
      }
    }
  }
}
#endif

}  // namespace
}  // namespace pngtrans::test
