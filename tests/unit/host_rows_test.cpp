// Decoded rows into the host image: every conversion of the table, the grey ramp, the
// classification of 1-bit palettes, progress, failures part-way, hosts whose description does
// not fit, and rows longer than 65535 bytes.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "import/host_rows.h"
#include "import/import_driver.h"
#include "import/png_reader.h"
#include "support/guarded_memory.h"
#include "support/row_harness.h"

namespace pngtrans::test {
namespace {

struct Converted {
  Bytes pixels;
  Bytes mask;
};

// Runs the converter into buffers flush against guard pages, sized exactly for width pixels.
Converted Convert(uint8_t colorType, uint8_t bitDepth, const Bytes& row, uint32_t width) {
  RowConverter convert = nullptr;
  EXPECT_EQ(SelectRowConverter(colorType, bitDepth, &convert), StatusOk);
  if (convert == nullptr) return {};
  const size_t pixelBytes = static_cast<size_t>(width) * HostPixelBytes(colorType, bitDepth);
  const bool alpha = colorType == 4 || colorType == 6;
  auto* source = static_cast<uint8_t*>(GuardedAlloc(row.size()));
  std::memcpy(source, row.data(), row.size());
  auto* pixels = static_cast<uint8_t*>(GuardedAlloc(pixelBytes));
  auto* mask = alpha ? static_cast<uint8_t*>(GuardedAlloc(width)) : nullptr;
  convert(source, width, pixels, mask);
  Converted out{Bytes(pixels, pixels + pixelBytes), alpha ? Bytes(mask, mask + width) : Bytes()};
  GuardedFree(source);
  GuardedFree(pixels);
  GuardedFree(mask);
  return out;
}

TEST(RowConversion, LowDepthGreySpreadsOverTheFullRange) {
  // 3, 2, 1, 0 | 3 and padding bits set: the padding is ignored.
  EXPECT_EQ(Convert(0, 2, Bytes{0xE4, 0xFF}, 5).pixels, (Bytes{255, 170, 85, 0, 255}));
  EXPECT_EQ(Convert(0, 4, Bytes{0xF1, 0x8F}, 3).pixels, (Bytes{255, 17, 136}));
  EXPECT_EQ(Convert(0, 1, Bytes{0xBF}, 3).pixels, (Bytes{255, 0, 255}));
  // A whole byte and a partial one.
  EXPECT_EQ(Convert(0, 1, Bytes{0x81, 0x40}, 10).pixels,
            (Bytes{255, 0, 0, 0, 0, 0, 0, 255, 0, 255}));
}

TEST(RowConversion, PaletteIndicesAreKeptAsStored) {
  EXPECT_EQ(Convert(3, 1, Bytes{0x80}, 2).pixels, (Bytes{1, 0}));
  EXPECT_EQ(Convert(3, 2, Bytes{0x1B, 0x80}, 5).pixels, (Bytes{0, 1, 2, 3, 2}));
  EXPECT_EQ(Convert(3, 4, Bytes{0x0F, 0xA0}, 3).pixels, (Bytes{0, 15, 10}));
  EXPECT_EQ(Convert(3, 8, Bytes{0, 200, 255}, 3).pixels, (Bytes{0, 200, 255}));
}

TEST(RowConversion, SixteenBitSamplesKeepTheirHighByte) {
  EXPECT_EQ(Convert(0, 16, Bytes{0x12, 0x34, 0xAB, 0xCD}, 2).pixels,
            (Bytes{0x12, 0x12, 0x12, 0xAB, 0xAB, 0xAB}));
  EXPECT_EQ(Convert(2, 16, Bytes{0x12, 0x34, 0x56, 0x78, 0x9A, 0xBC}, 1).pixels,
            (Bytes{0x9A, 0x56, 0x12}));
  const Converted ga = Convert(4, 16, Bytes{0x80, 0x01, 0x40, 0x02}, 1);
  EXPECT_EQ(ga.pixels, (Bytes{0x80, 0x80, 0x80}));
  EXPECT_EQ(ga.mask, (Bytes{0x40}));
  const Converted rgba = Convert(6, 16, Bytes{1, 2, 3, 4, 5, 6, 7, 8}, 1);
  EXPECT_EQ(rgba.pixels, (Bytes{5, 3, 1}));
  EXPECT_EQ(rgba.mask, (Bytes{7}));
}

TEST(RowConversion, ColourBecomesBlueGreenRedAndAlphaGoesToTheMask) {
  EXPECT_EQ(Convert(2, 8, Bytes{1, 2, 3, 4, 5, 6}, 2).pixels, (Bytes{3, 2, 1, 6, 5, 4}));
  const Converted rgba = Convert(6, 8, Bytes{10, 20, 30, 40, 50, 60, 70, 80}, 2);
  EXPECT_EQ(rgba.pixels, (Bytes{30, 20, 10, 70, 60, 50}));
  EXPECT_EQ(rgba.mask, (Bytes{40, 80}));
  const Converted ga = Convert(4, 8, Bytes{9, 200, 7, 0}, 2);
  EXPECT_EQ(ga.pixels, (Bytes{9, 7}));
  EXPECT_EQ(ga.mask, (Bytes{200, 0}));
  EXPECT_EQ(Convert(0, 8, Bytes{5, 6, 7}, 3).pixels, (Bytes{5, 6, 7}));
}

// The colour converters work on blocks of sixteen or four pixels, then one at a time: every
// width around the block sizes gives the pixel-by-pixel result, and nothing past the row is
// written.
TEST(RowConversion, ColourRowsOfEveryWidthConvertPixelByPixel) {
  std::mt19937 rng(5);
  for (uint8_t colorType : {2, 6}) {
    RowConverter convert = nullptr;
    ASSERT_EQ(SelectRowConverter(colorType, 8, &convert), StatusOk);
    const uint32_t channels = colorType == 6 ? 4 : 3;
    for (uint32_t width = 0; width <= 70; ++width) {
      std::vector<uint8_t> row(width * channels);
      for (auto& b : row) b = static_cast<uint8_t>(rng());
      std::vector<uint8_t> pixels(3 * width + 1, 0xEE), mask(width + 1, 0xEE);
      convert(row.data(), width, pixels.data(), mask.data());
      for (uint32_t x = 0; x < width; ++x) {
        const uint8_t* in = &row[x * channels];
        ASSERT_EQ(pixels[3 * x], in[2]) << "type " << int(colorType) << " width " << width;
        ASSERT_EQ(pixels[3 * x + 1], in[1]);
        ASSERT_EQ(pixels[3 * x + 2], in[0]);
        if (colorType == 6) {
          ASSERT_EQ(mask[x], in[3]);
        }
      }
      EXPECT_EQ(pixels[3 * width], 0xEE);
      EXPECT_EQ(mask[colorType == 6 ? width : 0], 0xEE);
    }
  }
}

// Packed samples convert a whole byte at a time, then the partly used last byte: every depth,
// grey and palette, and every width around the byte boundary, against pixel-by-pixel values.
TEST(RowConversion, PackedRowsOfEveryWidthConvertPixelByPixel) {
  std::mt19937 rng(8);
  for (uint8_t colorType : {0, 3}) {
    for (uint8_t depth : {1, 2, 4}) {
      RowConverter convert = nullptr;
      ASSERT_EQ(SelectRowConverter(colorType, depth, &convert), StatusOk);
      const uint32_t scale = colorType == 3 ? 1 : 255 / ((1u << depth) - 1);
      for (uint32_t width = 0; width <= 17; ++width) {
        std::vector<uint8_t> row((width * depth + 7) / 8);
        for (auto& b : row) b = static_cast<uint8_t>(rng());
        std::vector<uint8_t> pixels(width + 1, 0xEE);
        convert(row.data(), width, pixels.data(), nullptr);
        for (uint32_t x = 0; x < width; ++x) {
          const uint32_t bit = x * depth;
          const uint32_t sample = (row[bit / 8] >> (8 - depth - bit % 8)) & ((1u << depth) - 1);
          ASSERT_EQ(pixels[x], sample * scale)
              << "type " << int(colorType) << " depth " << int(depth) << " width " << width;
        }
        EXPECT_EQ(pixels[width], 0xEE);
      }
    }
  }
}

TEST(RowConversion, UnsupportedCombinationsAreRefused) {
  RowConverter convert = nullptr;
  EXPECT_EQ(SelectRowConverter(0, 3, &convert), StatusError);
  EXPECT_EQ(SelectRowConverter(3, 16, &convert), StatusError);
  EXPECT_EQ(SelectRowConverter(2, 4, &convert), StatusError);
  EXPECT_EQ(SelectRowConverter(4, 1, &convert), StatusError);
  EXPECT_EQ(SelectRowConverter(6, 2, &convert), StatusError);
  for (uint8_t type : {1, 5, 7, 255}) {
    EXPECT_EQ(SelectRowConverter(type, 8, &convert), StatusBadFormat) << int(type);
  }
  EXPECT_EQ(convert, nullptr);
}

TEST(GreyRamp, StepsFollowTheBitDepth) {
  PngReader reader;
  ColorValue palette[256];
  std::memset(palette, 0, sizeof palette);
  EXPECT_EQ(reader.BuildGreyRamp(2, palette), 1);
  EXPECT_EQ(palette[0], 0u);
  EXPECT_EQ(palette[1], 0x555555u);
  EXPECT_EQ(palette[2], 0xAAAAAAu);
  EXPECT_EQ(palette[3], 0xFFFFFFu);
  EXPECT_EQ(palette[4], 0u);
  std::memset(palette, 0, sizeof palette);
  EXPECT_EQ(reader.BuildGreyRamp(4, palette), 1);
  EXPECT_EQ(palette[15], 0xFFFFFFu);
  EXPECT_EQ(palette[1], 0x111111u);
  EXPECT_EQ(palette[16], 0u);
  for (int depth : {8, 16}) {
    EXPECT_EQ(reader.BuildGreyRamp(depth, palette), 1);
    for (uint32_t i = 0; i < 256; ++i) ASSERT_EQ(palette[i], i * 0x010101u);
  }
  std::memset(palette, 0, sizeof palette);
  EXPECT_EQ(reader.BuildGreyRamp(1, palette), 1);
  EXPECT_EQ(palette[0], 0u);
  EXPECT_EQ(palette[1], 0xFFFFFFu);
  EXPECT_EQ(palette[2], 0u);
  EXPECT_EQ(reader.BuildGreyRamp(3, palette), 0);
  EXPECT_EQ(reader.BuildGreyRamp(0, palette), 0);
}

TEST(BilevelPalette, ClassifiesTheFirstTwoEntriesAsWholeValues) {
  PngReader reader;
  ColorValue palette[256] = {};
  HostImage image = {};
  image.palette = palette;
  palette[1] = 0xFFFFFF;
  EXPECT_EQ(reader.ClassifyBilevelPalette(&image), 1);
  EXPECT_EQ(reader.bilevelMapping(), BilevelDirect);
  palette[0] = 0xFFFFFF;
  palette[1] = 0;
  EXPECT_EQ(reader.ClassifyBilevelPalette(&image), 1);
  EXPECT_EQ(reader.bilevelMapping(), BilevelInverted);
  palette[0] = 0xFF000000;  // not black as a whole 32-bit value
  EXPECT_EQ(reader.ClassifyBilevelPalette(&image), 0);
  EXPECT_EQ(reader.bilevelMapping(), BilevelPlain);
  palette[0] = 0x0000FF;
  palette[1] = 0xFF0000;
  EXPECT_EQ(reader.ClassifyBilevelPalette(&image), 0);
}

// --- whole images through ReadImageIntoHost -------------------------------------------------

TEST(RowsIntoHostImage, EveryColourTypeAndDepthArrivesAsTheHostLayout) {
  struct Format {
    uint8_t depth, type;
  };
  for (const Format f : {Format{1, 0}, Format{2, 0}, Format{4, 0}, Format{8, 0}, Format{16, 0},
                         Format{1, 3}, Format{2, 3}, Format{4, 3}, Format{8, 3}, Format{8, 2},
                         Format{16, 2}, Format{8, 4}, Format{16, 4}, Format{8, 6}, Format{16, 6}}) {
    const RawImage raw = RandomImage(11, 5, f.depth, f.type, 100u + f.depth + f.type);
    RowsIntoHost run(EncodePng(raw), raw);
    ASSERT_EQ(run.Run(), StatusOk) << int(f.depth) << "/" << int(f.type);
    const ExpectedHost e = ExpectHost(raw);
    EXPECT_EQ(run.host().Pixels(), e.pixels) << int(f.depth) << "/" << int(f.type);
    EXPECT_EQ(run.host().Mask(), e.mask);
    if (f.type == 0) {
      EXPECT_EQ(run.host().Palette(), e.palette);
    }
  }
}

TEST(RowsIntoHostImage, ProgressReportsEveryRowOfAPlainImage) {
  const RawImage raw = RandomImage(4, 5, 8, 2, 1);
  RowsIntoHost run(EncodePng(raw), raw);
  ProgressRecorder recorder;
  ASSERT_EQ(run.Run(ProgressRecorder::Callback), StatusOk);
  ASSERT_EQ(recorder.calls().size(), 6u);
  for (int32_t i = 0; i <= 5; ++i) EXPECT_EQ(recorder.calls()[i], std::make_pair(i, 5));
}

TEST(RowsIntoHostImage, FailingRowLeavesTheRowsAboveItConverted) {
  const RawImage raw = RandomImage(6, 6, 8, 6, 2);
  Bytes filtered = FilteredStream(raw, EncodeOptions());
  filtered[3 * (raw.RowBytes() + 1)] = 9;  // row 3 has an invalid filter type
  RowsIntoHost run(EncodePngFromStream(raw, ZlibCompress(filtered), EncodeOptions()), raw);
  const Bytes before = run.host().Pixels();
  ProgressRecorder recorder;
  EXPECT_EQ(run.Run(ProgressRecorder::Callback), StatusError);
  const Bytes pixels = run.host().Pixels();
  const Bytes expected = ExpectHost(raw).pixels;
  EXPECT_TRUE(std::equal(pixels.begin(), pixels.begin() + 3 * 18, expected.begin()));
  EXPECT_TRUE(std::equal(pixels.begin() + 3 * 18, pixels.end(), before.begin() + 3 * 18));
  EXPECT_EQ(recorder.calls().back(), std::make_pair(3, 6));
}

// A host that draws its buffers at every progress report while it loads: the rows converted
// so far hold their pixels and mask bytes, every other byte is still the host's own.
struct ProgressiveHost {
  const HostImage* image = nullptr;
  const ExpectedHost* expected = nullptr;
  uint32_t passes = 1;
  Bytes poison;  // a host row's worth of the host's own bytes
  std::string fault;
  uint32_t reports = 0;
};
ProgressiveHost* g_progressive = nullptr;

// Rows 0 to converted - 1 hold their converted bytes, the rest the host's.
std::string CheckHostRows(const ProgressiveHost& h, uint32_t converted) {
  const HostImage& image = *h.image;
  const uint32_t maskRow = image.maskKind != 0 ? static_cast<uint32_t>(image.maskRowBytes) : 0;
  for (uint32_t y = 0; y < image.height; ++y) {
    const size_t at = static_cast<size_t>(y) * image.rowBytes;
    const uint8_t* want = y < converted ? h.expected->pixels.data() + at : h.poison.data();
    if (std::memcmp(image.pixels + at, want, image.rowBytes) != 0) {
      return "pixel row " + std::to_string(y) + (y < converted ? " not converted" : " written");
    }
    const size_t maskAt = static_cast<size_t>(y) * maskRow;
    const uint8_t* wantMask = y < converted ? h.expected->mask.data() + maskAt : h.poison.data();
    if (maskRow != 0 && std::memcmp(image.mask + maskAt, wantMask, maskRow) != 0) {
      return "mask row " + std::to_string(y) + (y < converted ? " not converted" : " written");
    }
  }
  return "";
}

void PNGTRANS_CDECL DrawWhileLoading(int32_t done, int32_t total) {
  ProgressiveHost& h = *g_progressive;
  ++h.reports;
  if (!h.fault.empty()) return;
  // A plain image converts row done - 1 before this report; an interlaced one converts only
  // in its seventh pass.
  const uint32_t height = h.image->height;
  const uint32_t before = (h.passes - 1) * height;
  const uint32_t converted =
      static_cast<uint32_t>(done) > before ? static_cast<uint32_t>(done) - before : 0;
  const std::string fault = CheckHostRows(h, converted);
  if (!fault.empty()) {
    h.fault = "at report (" + std::to_string(done) + ", " + std::to_string(total) + "): " + fault;
  }
}

// Large images are inflated in batches into the reader's own window: the host's buffers (which
// end at a guard page) receive converted rows only, in the order of the progress reports. Plain
// and interlaced, rows copied or converted, with and without a mask, Paeth rows in pairs and
// every filter in turn, IDAT chunks smaller and larger than the input buffer, and image data
// that breaks off part-way (the rows below the last report stay the host's).
TEST(RowsIntoHostImage, HostThatDrawsWhileLoadingSeesOnlyConvertedRows) {
  struct Large {
    uint32_t width, height;
    uint8_t depth, type;
    int filter;
    bool interlace;
    uint32_t idat;
    uint32_t keepPercent;  // of the compressed image data; below 100 the import fails
  };
  for (const Large c : {
           Large{300, 700, 8, 2, 4, false, 8192, 100},
           Large{300, 700, 8, 2, -1, false, 99999, 100},
           Large{257, 900, 8, 0, 4, false, 5000, 100},
           Large{257, 900, 8, 6, 4, false, 40000, 100},
           Large{120, 800, 16, 2, -1, false, 8192, 100},
           Large{4000, 400, 1, 0, 4, false, 8192, 100},
           Large{300, 700, 8, 4, 4, true, 8192, 100},
           Large{301, 500, 8, 2, -1, true, 30000, 100},
           Large{1, 2000, 8, 3, 4, true, 8192, 100},
           Large{300, 700, 8, 2, 4, false, 8192, 50},
           Large{257, 900, 8, 0, 4, false, 5000, 60},
           Large{300, 700, 8, 4, 4, true, 8192, 95},
           Large{301, 500, 8, 6, -1, true, 30000, 40},
           // Rows wider than 64 KiB, cut short.
           Large{30000, 12, 8, 2, 4, false, 8192, 70},
           Large{9000, 10, 16, 6, -1, true, 30000, 60},
       }) {
    const RawImage raw = RandomImage(c.width, c.height, c.depth, c.type, c.width + c.height);
    EncodeOptions options;
    options.filter = c.filter;
    options.interlace = c.interlace;
    options.idatSizes = {c.idat};
    Bytes stream = ZlibCompress(FilteredStream(raw, options));
    stream.resize(stream.size() * c.keepPercent / 100);
    RowsIntoHost run(EncodePngFromStream(raw, stream, options), raw);
    const std::string what = std::to_string(c.width) + "x" + std::to_string(c.height) + " " +
                             std::to_string(c.depth) + "/" + std::to_string(c.type) +
                             (c.interlace ? " interlaced" : "") + " " +
                             std::to_string(c.keepPercent) + "%";
    const ExpectedHost e = ExpectHost(raw);
    HostImage* image = run.host().image();
    ProgressiveHost host;
    host.image = image;
    host.expected = &e;
    host.passes = c.interlace ? 7 : 1;
    host.poison.assign(std::max<size_t>(image->rowBytes, c.width), 0xA5);
    std::memset(image->pixels, 0xA5, static_cast<size_t>(image->height) * image->rowBytes);
    if (image->mask != nullptr) std::memset(image->mask, 0xA5, e.mask.size());
    g_progressive = &host;
    const Status status = run.Run(DrawWhileLoading);
    g_progressive = nullptr;
    EXPECT_EQ(status, c.keepPercent == 100 ? StatusOk : StatusError) << what;
    EXPECT_EQ(host.fault, "") << what;
    // After the last report (or the failure) nothing more was written.
    const uint32_t last = host.reports - 1;  // the first report is (0, total)
    const uint32_t before = (host.passes - 1) * c.height;
    EXPECT_EQ(CheckHostRows(host, last > before ? last - before : 0), "") << what;
    if (c.keepPercent == 100) {
      EXPECT_EQ(host.reports, host.passes * c.height + 1) << what;
    } else {
      EXPECT_LT(host.reports, host.passes * c.height + 1) << what;
    }
  }
}

// Host rows with bytes between them are not the reader's to use: the rows arrive through the
// window alone and the bytes between them stay as the host left them.
TEST(RowsIntoHostImage, BytesBetweenHostRowsAreLeftAlone) {
  const RawImage raw = RandomImage(300, 700, 8, 2, 7);
  EncodeOptions options;
  options.filter = 4;
  RowsIntoHost run(EncodePng(raw, options), raw);
  HostImage* image = run.host().image();
  const uint32_t used = image->rowBytes;
  image->rowBytes = used + 4;
  ASSERT_EQ(image->allocate(image), 1);
  std::memset(image->pixels, 0xA5, static_cast<size_t>(image->height) * image->rowBytes);
  ASSERT_EQ(run.Run(), StatusOk);
  const Bytes expected = ExpectHost(raw).pixels;
  for (uint32_t y = 0; y < raw.height; ++y) {
    const uint8_t* row = image->pixels + static_cast<size_t>(y) * image->rowBytes;
    ASSERT_TRUE(std::equal(row, row + used, expected.begin() + static_cast<size_t>(y) * used))
        << "row " << y;
    ASSERT_EQ(Bytes(row + used, row + used + 4), Bytes(4, 0xA5)) << "row " << y;
  }
}

TEST(RowsIntoHostImage, HostRowsLongerThan65535BytesAreConvertedInFull) {
  struct Wide {
    uint32_t width;
    uint8_t depth, type;
  };
  // 1-bit grey 70000 pixels; 16-bit grey 32760 pixels (98280 host bytes); 2-bit grey and 4-bit
  // palette at their widest.
  for (const Wide w :
       {Wide{70000, 1, 0}, Wide{32760, 16, 0}, Wide{262136, 2, 0}, Wide{131064, 4, 3}}) {
    const RawImage raw = RandomImage(w.width, 2, w.depth, w.type, w.width, 16);
    RowsIntoHost run(EncodePng(raw), raw);
    ASSERT_EQ(run.Run(), StatusOk) << w.width;
    const ExpectedHost e = ExpectHost(raw);
    EXPECT_TRUE(run.host().Pixels() == e.pixels) << w.width;
    EXPECT_TRUE(run.host().Mask() == e.mask) << w.width;
  }
}

TEST(RowsIntoHostImage, WhiteThenBlackPaletteMapsIndexEqualsBit) {
  RawImage raw;
  raw.width = 10;
  raw.height = 1;
  raw.bitDepth = 1;
  raw.colorType = 3;
  raw.rows = {Bytes{0xA5, 0x40}};  // 1 0 1 0 0 1 0 1 | 0 1
  RowsIntoHost run(EncodePng(raw), raw);
  ColorValue* palette = run.host().image()->palette;
  palette[0] = 0xFFFFFF;
  palette[1] = 0x000000;
  ASSERT_EQ(run.Run(), StatusOk);
  EXPECT_EQ(run.host().Pixels(), (Bytes{1, 0, 1, 0, 0, 1, 0, 1, 0, 1}));
  EXPECT_EQ(run.reader().bilevelMapping(), BilevelInverted);
  // The palette stays in the file's order.
  EXPECT_EQ(run.host().Palette()[0], 0xFFFFFFu);
}

TEST(RowsIntoHostImage, GreyImagesGetAClearedRamp) {
  const RawImage raw = RandomImage(3, 2, 2, 0, 4);
  RowsIntoHost run(EncodePng(raw), raw);
  ASSERT_EQ(run.Run(), StatusOk);
  const std::vector<uint32_t> palette = run.host().Palette();
  EXPECT_EQ(palette, ExpectHost(raw).palette);  // 4 entries, then 252 zeros (not 0xCD fill)
}

TEST(RowsIntoHostImage, HostDescriptionsThatDoNotCoverTheRowsAreRefused) {
  const RawImage raw = RandomImage(8, 3, 8, 6, 5);
  const Bytes file = EncodePng(raw);
  const std::vector<std::function<void(HostImage*)>> breakers = {
      [](HostImage* image) { image->rowBytes = 3 * 8 - 1; },
      [](HostImage* image) { image->pixels = nullptr; },
      [](HostImage* image) { image->mask = nullptr; },
      [](HostImage* image) { image->maskRowBytes = 7; },
      [](HostImage* image) { image->maskRowBytes = -8; },
      [](HostImage* image) { image->rowBytes = 0x7FFFFFFF; },
  };
  for (size_t i = 0; i < breakers.size(); ++i) {
    ReaderOnFile on(file);
    ASSERT_EQ(SkipToImageData(on.reader()), StatusOk);
    GuardedHost host;
    host.AfterAllocate(breakers[i]);
    ASSERT_TRUE(DescribeAndAllocate(raw, &host));
    const Bytes before = host.Pixels();
    on->UpdateInfo();
    EXPECT_EQ(on->ReadImageIntoHost(host.image(), nullptr), StatusError) << i;
    if (host.image()->pixels != nullptr) {
      EXPECT_EQ(host.Pixels(), before) << i;
    }
  }
  // A grey image needs the palette for its ramp.
  const RawImage grey = RandomImage(8, 3, 8, 0, 5);
  ReaderOnFile on(EncodePng(grey));
  ASSERT_EQ(SkipToImageData(on.reader()), StatusOk);
  GuardedHost host;
  host.AfterAllocate([](HostImage* image) { image->palette = nullptr; });
  ASSERT_TRUE(DescribeAndAllocate(grey, &host));
  on->UpdateInfo();
  EXPECT_EQ(on->ReadImageIntoHost(host.image(), nullptr), StatusError);
}

TEST(RowsIntoHostImage, WorkBufferThatCannotBeAllocatedIsReported) {
  {
    // An interlaced image's row store (a plain image needs none: its rows are converted from
    // the row reader's window).
    const RawImage raw = RandomImage(5, 4, 8, 2, 6);
    EncodeOptions options;
    options.interlace = true;
    RowsIntoHost run(EncodePng(raw, options), raw);
    const Bytes before = run.host().Pixels();
    {
      // The rows' window and the image data's larger input buffer, then the row store.
      ScopedReaderAllocator allocator(3);
      ProgressRecorder recorder;
      EXPECT_EQ(run.Run(ProgressRecorder::Callback), StatusNoMemory);
      EXPECT_TRUE(recorder.calls().empty());
    }
    EXPECT_EQ(run.host().Pixels(), before);
  }
  {
    // Without the batch's larger window the rows' own window reads the image all the same.
    const RawImage raw = RandomImage(300, 700, 8, 2, 6);
    RowsIntoHost run(EncodePng(raw), raw);
    ScopedReaderAllocator allocator(1);
    ASSERT_EQ(run.Run(), StatusOk);
    EXPECT_TRUE(run.host().Pixels() == ExpectHost(raw).pixels);
    EXPECT_EQ(run.reader().state().windowSize, 16384u);
  }
  const RawImage raw = RandomImage(5, 4, 8, 2, 6);
  RowsIntoHost run(EncodePng(raw), raw);
  ScopedReaderAllocator allocator(1, true);
  EXPECT_EQ(run.Run(), StatusNoMemory);
}

TEST(RowsIntoHostImage, ZeroRowSizeIsReportedAsNoMemory) {
  const RawImage raw = RandomImage(5, 4, 8, 2, 6);
  RowsIntoHost run(EncodePng(raw), raw);
  // Without UpdateInfo the image information holds no row size.
  EXPECT_EQ(run.reader().ReadImageIntoHost(run.host().image(), nullptr), StatusNoMemory);
}

}  // namespace
}  // namespace pngtrans::test
