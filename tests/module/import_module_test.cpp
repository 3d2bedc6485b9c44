// Commands 3 (import) and 5 (preview with a full image) as a host calls them: through the
// loaded module's procedure only, into a host whose buffers sit flush against guard pages.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>
#include <string>

#include "support/files.h"
#include "support/import_host.h"
#include "support/import_matrix.h"
#include "support/module_fixture.h"
#include "support/png_build.h"
#include "support/png_judge.h"

namespace pngtrans::test {
namespace {

class ImportCommand : public ModuleTest {
 protected:
  // Command 3 on the bytes; returns the procedure's result, with the header's result.
  int Import(const Bytes& file, GuardedHost* host, uint16_t* result, uint32_t* options,
             char* title = nullptr, ProgressCallback progress = nullptr) {
    const std::string path = TempPath("import-module.png");
    EXPECT_TRUE(WriteFileBytes(path, file));
    CommandHeader header = {0xCAFEF00D, 3, 0x7777};
    const int ret = module_.Procedure()(&header, path.c_str(), title, host->image(), options,
                                        XtndArg{0}, XtndArg{0}, progress);
    RemoveFile(path);
    EXPECT_EQ(header.hostData, 0xCAFEF00Du);
    *result = header.result;
    return ret;
  }
  void ExpectMatrixCase(const MatrixCase& c) {
    GuardedHost host;
    uint16_t result = 0x7777;
    uint32_t options = 0xFFFFFFFF;
    ASSERT_EQ(Import(EncodePng(c.raw, c.options), &host, &result, &options), 1) << c.name;
    ASSERT_EQ(result, 0) << c.name;
    const ExpectedHost e = ExpectHost(c.raw, c.options.palette, c.options.trns);
    EXPECT_EQ(host.described().rowBytes, e.rowBytes) << c.name;
    EXPECT_EQ(host.described().colorKind, e.colorKind) << c.name;
    EXPECT_TRUE(host.Pixels() == e.pixels) << c.name;
    EXPECT_TRUE(host.Mask() == e.mask) << c.name;
    if (!e.palette.empty()) {
      EXPECT_TRUE(host.Palette() == e.palette) << c.name;
    }
    EXPECT_EQ(options, ExpectedOptions(c)) << c.name;
    EXPECT_EQ(host.releaseCalls(), 0) << c.name;
  }
};

TEST_F(ImportCommand, EveryFormatOfTheMatrixImportsExactly) {
  for (const MatrixCase& c : SmallImageMatrix()) {
    ExpectMatrixCase(c);
    if (HasFailure()) return;
  }
}

TEST_F(ImportCommand, WidestRowsImportExactly) {
  for (const MatrixCase& c : LargeImageCases()) {
    ExpectMatrixCase(c);
    if (HasFailure()) return;
  }
}

TEST_F(ImportCommand, TitleBufferIsClearedThenFilledFromTheFile) {
  const RawImage raw = RandomImage(4, 3, 8, 2, 1);
  EncodeOptions withTitle;
  withTitle.chunksAfterIdat = {TextChunk("Title", std::string(70, 'q'))};
  char title[64];
  std::memset(title, 'x', sizeof title);
  GuardedHost host;
  uint16_t result = 0;
  uint32_t options = 0;
  ASSERT_EQ(Import(EncodePng(raw, withTitle), &host, &result, &options, title), 1);
  EXPECT_EQ(std::string(title), std::string(63, 'q'));
  std::memset(title, 'x', sizeof title);
  GuardedHost other;
  ASSERT_EQ(Import(EncodePng(raw), &other, &result, &options, title), 1);
  EXPECT_EQ(title[0], 0);
}

TEST_F(ImportCommand, ProgressReachesTheHostsCallback) {
  const RawImage raw = RandomImage(7, 6, 1, 0, 2);
  EncodeOptions interlaced;
  interlaced.interlace = true;
  GuardedHost host;
  uint16_t result = 0;
  uint32_t options = 0;
  ProgressRecorder recorder;
  ASSERT_EQ(Import(EncodePng(raw, interlaced), &host, &result, &options, nullptr,
                   ProgressRecorder::Callback),
            1);
  ASSERT_EQ(recorder.calls().size(), 43u);
  for (int32_t i = 0; i <= 42; ++i) EXPECT_EQ(recorder.calls()[i], std::make_pair(i, 42));
  EXPECT_EQ(options, 0x00080001u);
}

TEST_F(ImportCommand, FailuresReportTheirStatusAndReleaseOnlyAfterTheSignature) {
  uint32_t options = 0;
  uint16_t result = 0;
  {
    GuardedHost host;
    Bytes notPng = EncodePng(RandomImage(3, 3, 8, 0, 3));
    notPng[7] = 0x0B;
    EXPECT_EQ(Import(notPng, &host, &result, &options), 0);
    EXPECT_EQ(result, 6);
    EXPECT_EQ(host.releaseCalls(), 0);
  }
  {
    GuardedHost host;
    host.FailAllocate(true);
    EXPECT_EQ(Import(EncodePng(RandomImage(3, 3, 8, 0, 3)), &host, &result, &options), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(host.releaseCalls(), 1);
  }
  {
    GuardedHost host;
    const Bytes file = EncodePng(RandomImage(30, 30, 8, 2, 3));
    EXPECT_EQ(Import(Bytes(file.begin(), file.begin() + 100), &host, &result, &options), 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(host.allocateCalls(), 1);
    EXPECT_EQ(host.releaseCalls(), 1);
  }
  {
    GuardedHost host;
    CommandHeader header = {0, 3, 0x7777};
    const std::string missing = TempPath("missing.png");
    EXPECT_EQ(module_.Procedure()(&header, missing.c_str(), nullptr, host.image(), &options,
                                  XtndArg{0}, XtndArg{0}, XtndArg{0}),
              0);
    EXPECT_EQ(header.result, 1);
    EXPECT_EQ(host.allocateCalls(), 0);
    EXPECT_EQ(host.releaseCalls(), 0);
  }
}

// Deflate turns a byte into 1032 at most: a file whose remaining bytes cannot hold the image
// it declares is refused before the host is asked for buffers (release once, allocate never).
// The most compressible valid file of a size (all zero, filter 0, level 9) still opens, and a
// well-compressed file cut short is not refused early but fails at its end.
TEST_F(ImportCommand, FilesTooShortForTheirImageAreRefusedBeforeAllocate) {
  const struct {
    uint32_t width, height;
    uint8_t depth, type;
    bool interlace;
  } sizes[] = {
      {4000, 4000, 8, 2, false},  {4000, 4000, 8, 2, true},  {1, 300000000, 8, 0, true},
      {1000000, 40, 1, 0, false}, {2000, 2000, 16, 6, true}, {3000, 1000, 8, 3, false},
  };
  for (const auto& size : sizes) {
    const std::string label = std::to_string(size.width) + " x " + std::to_string(size.height) +
                              " " + std::to_string(size.depth) + "/" + std::to_string(size.type) +
                              (size.interlace ? " interlaced" : "");
    RawImage raw;
    raw.width = size.width;
    raw.height = size.height;
    raw.bitDepth = size.depth;
    raw.colorType = size.type;
    EncodeOptions options;
    options.interlace = size.interlace;
    options.filter = 0;
    options.level = 9;
    if (size.type == 3) options.palette = Bytes(3 * 256, 7);
    // A few bytes of image data under the declared header.
    const Bytes tiny = EncodePngFromStream(raw, ZlibCompress(Bytes(64, 0)), options);
    GuardedHost refused;
    uint16_t result = 0;
    uint32_t word = 0;
    EXPECT_EQ(Import(tiny, &refused, &result, &word), 0) << label;
    EXPECT_EQ(result, 1) << label;
    EXPECT_EQ(refused.allocateCalls(), 0) << label;
    EXPECT_EQ(refused.releaseCalls(), 1) << label;
    if (uint64_t{size.width} * size.height > 4000000) continue;

    raw.rows.assign(size.height, Bytes(raw.RowBytes(), 0));
    const Bytes file = EncodePng(raw, options);
    GuardedHost opened;
    EXPECT_EQ(Import(file, &opened, &result, &word), 1) << label << ", " << file.size() << " bytes";
    // Cut inside the image data (the last data byte and the checksum gone).
    const Bytes cut(file.begin(), file.end() - 12 - 4 - 5);
    GuardedHost truncated;
    EXPECT_EQ(Import(cut, &truncated, &result, &word), 0) << label;
    EXPECT_EQ(truncated.allocateCalls(), 1) << label;
    EXPECT_EQ(truncated.releaseCalls(), 1) << label;
  }
}

TEST_F(ImportCommand, PreviewWithAFullImageImportsIt) {
  const RawImage raw = RandomImage(6, 5, 16, 4, 4);
  const std::string path = TempPath("preview.png");
  ASSERT_TRUE(WriteFileBytes(path, EncodePng(raw)));
  GuardedHost full;
  CommandHeader header = {0, 5, 0x7777};
  EXPECT_EQ(module_.Procedure()(&header, path.c_str(), nullptr, nullptr, full.image()), 1);
  EXPECT_EQ(header.result, 0);
  const ExpectedHost e = ExpectHost(raw);
  EXPECT_EQ(full.Pixels(), e.pixels);
  EXPECT_EQ(full.Mask(), e.mask);

  // With an information image as well, the probe runs after the import and its status wins.
  GuardedHost both;
  HostImage info = {};
  char title[64] = "stale";
  header = {0, 5, 0x7777};
  EXPECT_EQ(module_.Procedure()(&header, path.c_str(), title, &info, both.image()), 1);
  EXPECT_EQ(header.result, 0);
  EXPECT_EQ(title[0], 0);
  EXPECT_EQ(info.width, 6u);
  EXPECT_EQ(both.Pixels(), e.pixels);
  RemoveFile(path);
}

TEST_F(ImportCommand, PreviewImportFailureIsReportedButDoesNotFailTheCommand) {
  const Bytes file = EncodePng(RandomImage(20, 20, 8, 0, 5));
  const std::string path = TempPath("preview-cut.png");
  ASSERT_TRUE(WriteFileBytes(path, Bytes(file.begin(), file.end() - 30)));
  GuardedHost full;
  CommandHeader header = {0, 5, 0x7777};
  EXPECT_EQ(module_.Procedure()(&header, path.c_str(), nullptr, nullptr, full.image()), 1);
  EXPECT_EQ(header.result, 1);
  EXPECT_EQ(full.releaseCalls(), 1);
  RemoveFile(path);
}

// Indices of the pixels whose mask byte is 0.
std::vector<size_t> TransparentPixels(const Bytes& mask) {
  std::vector<size_t> at;
  for (size_t i = 0; i < mask.size(); ++i) {
    if (mask[i] == 0) at.push_back(i);
  }
  return at;
}

// Grey, colour and palette files with tRNS open with an 8-bit mask (libpng's alpha where
// libpng judges), keys read masked to the bit depth, and a transparent colour (the word's
// nibble and backgroundColor, whatever bKGD says) only where a pixel is fully transparent.
// Saved back through command 13 with the word the import returned, no pixel becomes more
// transparent than it opened, and a transparent colour keeps the same pixels transparent.
TEST_F(ImportCommand, TransparentFilesOpenWithAMaskAndSaveBackTheSameTransparentPixels) {
  struct Transparent {
    uint8_t depth, type;
    bool interlace, background;
    Bytes alpha;    // palette images: the tRNS table
    bool collide;   // a 16-bit key: another pixel shares its high bytes, not its low ones
    uint16_t high;  // bits above the depth set in the key's first sample
    bool white;     // the key's pixel is white (all samples at their maximum)
  };
  const Transparent cases[] = {
      {1, 0, false, false, {}, false, 0, false},
      {2, 0, true, true, {}, false, 0, false},
      {4, 0, false, true, {}, false, 0, false},
      {8, 0, true, false, {}, false, 0, false},
      {16, 0, false, true, {}, true, 0, false},
      {16, 0, true, false, {}, false, 0, false},
      {8, 2, false, true, {}, false, 0, false},
      {8, 2, true, false, {}, false, 0, false},
      {16, 2, true, true, {}, true, 0, false},
      {1, 3, false, false, {255, 0}, false, 0, false},
      {2, 3, true, true, {0}, false, 0, false},
      {4, 3, false, true, {255, 128, 0, 7}, false, 0, false},
      {8, 3, true, false, {200, 0, 255, 30, 90}, false, 0, false},
      {8, 3, false, false, {200, 100}, false, 0, false},  // no entry fully transparent
      {8, 3, false, true, {255, 255}, false, 0, false},
      {4, 3, true, false, {200, 100, 50}, false, 0, false},
      // Keys with bits above the depth: 0xFE01 on 1 bit, the ninth bit of red.
      {1, 0, false, false, {}, false, 0xFE00, true},
      {2, 0, true, true, {}, false, 0xFF00, false},
      {4, 0, false, false, {}, false, 0x0F00, false},
      {8, 0, false, true, {}, false, 0x0100, false},
      {8, 2, false, false, {}, false, 0x0100, false},
      {8, 2, true, true, {}, false, 0xFF00, true},  // (FFFF, 00FF, 00FF)
  };
  int n = 0;
  for (const Transparent& c : cases) {
    const std::string label = std::to_string(c.depth) + "/" + std::to_string(c.type) +
                              (c.interlace ? " interlaced" : "") + (c.background ? " bKGD" : "") +
                              (c.high != 0 ? " high bits" : "");
    RawImage raw =
        RandomImage(19, 9, c.depth, c.type, 700u + n++, c.type == 3 ? 1u << c.depth : 256);
    EncodeOptions options;
    options.interlace = c.interlace;
    const uint32_t channels = c.type == 2 ? 3 : 1;
    if (c.white) {
      for (uint32_t k = 0; k < channels; ++k) SetSample(&raw.rows[0], k, c.depth, 0xFFFF);
    }
    // The key is the first pixel's colour, which a few more pixels share.
    Bytes key;
    for (uint32_t k = 0; k < channels; ++k) {
      Append(&key, Be16(GetSample(raw.rows[0], k, c.depth) | (k == 0 ? c.high : 0)));
    }
    for (uint32_t y = 2; y < raw.height; y += 3) {
      for (uint32_t k = 0; k < channels; ++k) {
        SetSample(&raw.rows[y], 5 * channels + k, c.depth, GetSample(raw.rows[0], k, c.depth));
      }
    }
    if (c.collide) {
      for (uint32_t k = 0; k < channels; ++k) {
        SetSample(&raw.rows[1], k, 16, GetSample(raw.rows[0], k, 16) ^ (k == 0 ? 0xFF : 0));
      }
    }
    if (c.type == 3) {
      options.palette = TestPalette(1u << c.depth);
      options.trns = c.alpha;
    } else {
      options.trns = key;
    }
    // A background colour unlike the transparent one.
    if (c.background) {
      options.chunksBeforeIdat = {MakeChunk("bKGD", c.type == 3   ? Bytes{1}
                                                    : c.type == 0 ? Be16(1)
                                                                  : Bytes{0, 1, 0, 2, 0, 3})};
    }
    const Bytes file = EncodePng(raw, options);
    GuardedHost host;
    uint16_t result = 0;
    uint32_t word = 0;
    ASSERT_EQ(Import(file, &host, &result, &word), 1) << label;
    const HostImage& in = host.described();
    const ExpectedHost e = ExpectHost(raw, options.palette, options.trns);
    EXPECT_EQ(in.maskKind, 2u) << label;
    EXPECT_EQ(in.maskBits, 8) << label;
    EXPECT_EQ(in.maskRowBytes, 19) << label;
    EXPECT_EQ(in.colorKind, e.colorKind) << label;
    const bool zeroEntry = std::count(c.alpha.begin(), c.alpha.end(), 0) != 0;
    const bool transparentColor = c.type != 3 || zeroEntry;
    EXPECT_EQ(word & 0xFF0, transparentColor ? 0x010u : 0u) << label;  // saveMask 0
    ASSERT_TRUE(host.Mask() == e.mask) << label;
#if PNGTRANS_HAVE_LIBPNG
    ExpectedHost judged;
    std::string error;
    ASSERT_TRUE(JudgeWithLibpng(file, &judged, &error)) << error;
    EXPECT_TRUE(host.Mask() == judged.mask) << label;
#endif
    if (c.collide) {
      EXPECT_EQ(host.Mask()[19], 255) << label;
    }
    // The transparent colour as a host pixel value; a palette without one gives bKGD's index
    // or the host's preset 0.
    uint32_t transparent = 0;
    if (c.type == 3) {
      const auto zero = std::find(c.alpha.begin(), c.alpha.end(), 0);
      transparent = zeroEntry ? static_cast<uint32_t>(zero - c.alpha.begin()) : c.background;
    } else if (c.type == 0) {
      transparent = e.pixels[0] * (c.depth == 16 ? 0x010101u : 1u);
    } else {
      transparent = e.pixels[2] | e.pixels[1] << 8 | e.pixels[0] << 16;
    }
    EXPECT_EQ(in.backgroundColor, transparent) << label;

    const std::string saved = TempPath("transparent-roundtrip.png");
    CommandHeader header = {0, 13, 0x7777};
    ASSERT_EQ(module_.Procedure()(&header, Arg(saved.c_str()), Arg(nullptr), Arg(host.image()),
                                  word, XtndArg{0}),
              1)
        << label;
    Bytes back;
    ASSERT_TRUE(ReadFileBytes(saved, &back)) << label;
    RemoveFile(saved);
    GuardedHost again;
    ASSERT_EQ(Import(back, &again, &result, &word), 1) << label;
    std::vector<size_t> want = TransparentPixels(host.Mask());
    if (c.depth == 16) {
      // The export writes 8 bits: pixels that share the key's high bytes (the first pixel's)
      // cannot stay opaque.
      const Bytes pixels = host.Pixels();
      want.clear();
      for (size_t i = 0; i < pixels.size() / 3; ++i) {
        if (std::equal(pixels.begin(), pixels.begin() + 3, pixels.begin() + 3 * i)) {
          want.push_back(i);
        }
      }
      if (c.collide) {
        EXPECT_EQ(want[1], 19u) << label;
      }
    }
    EXPECT_EQ(TransparentPixels(again.Mask()), want) << label;
    if (c.depth == 16) continue;
    const Bytes opened = host.Mask();
    const Bytes reopened =
        again.described().maskKind != 0 ? again.Mask() : Bytes(opened.size(), 255);
    for (size_t i = 0; i < opened.size(); ++i) {
      ASSERT_GE(reopened[i], opened[i]) << label << ": pixel " << i << " became more transparent";
    }
  }
}

}  // namespace
}  // namespace pngtrans::test
