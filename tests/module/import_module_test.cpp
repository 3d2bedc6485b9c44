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
// libpng judges), the transparent colour in backgroundColor whatever bKGD says, and saved
// back through command 13 with the word the import returned, keep the same pixels transparent.
TEST_F(ImportCommand, TransparentFilesOpenWithAMaskAndSaveBackTheSameTransparentPixels) {
  struct Transparent {
    uint8_t depth, type;
    bool interlace, background;
    Bytes alpha;   // palette images: the tRNS table
    bool collide;  // a 16-bit key: another pixel shares its high bytes, not its low ones
  };
  const Transparent cases[] = {
      {1, 0, false, false, {}, false},
      {2, 0, true, true, {}, false},
      {4, 0, false, true, {}, false},
      {8, 0, true, false, {}, false},
      {16, 0, false, true, {}, true},
      {16, 0, true, false, {}, false},
      {8, 2, false, true, {}, false},
      {8, 2, true, false, {}, false},
      {16, 2, true, true, {}, true},
      {1, 3, false, false, {255, 0}, false},
      {2, 3, true, true, {0}, false},
      {4, 3, false, true, {255, 128, 0, 7}, false},
      {8, 3, true, false, {200, 0, 255, 30, 90}, false},
      {8, 3, false, false, {200, 100}, false},  // no entry fully transparent
  };
  int n = 0;
  for (const Transparent& c : cases) {
    const std::string label = std::to_string(c.depth) + "/" + std::to_string(c.type) +
                              (c.interlace ? " interlaced" : "") + (c.background ? " bKGD" : "");
    RawImage raw =
        RandomImage(19, 9, c.depth, c.type, 700u + n++, c.type == 3 ? 1u << c.depth : 256);
    EncodeOptions options;
    options.interlace = c.interlace;
    const uint32_t channels = c.type == 2 ? 3 : 1;
    // The key is the first pixel's colour, which a few more pixels share.
    Bytes key;
    for (uint32_t k = 0; k < channels; ++k) Append(&key, Be16(GetSample(raw.rows[0], k, c.depth)));
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
    EXPECT_EQ(word & 0xFF0, 0x010u) << label;  // transparency 1, saveMask 0
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
    // The transparent colour as a host pixel value.
    uint32_t transparent = 0;
    if (c.type == 3) {
      const auto zero = std::find(c.alpha.begin(), c.alpha.end(), 0);
      transparent = static_cast<uint32_t>(zero != c.alpha.end() ? zero - c.alpha.begin()
                                                                : c.alpha.size() - 1);
    } else if (c.type == 0) {
      transparent = e.pixels[0] * (c.depth == 16 ? 0x010101u : 1u);
    } else {
      transparent = e.pixels[2] | e.pixels[1] << 8 | e.pixels[0] << 16;
    }
    EXPECT_EQ(in.backgroundColor, transparent) << label;
    // A palette without exactly one fully transparent entry is not one transparent colour.
    if (c.type == 3 && std::count(c.alpha.begin(), c.alpha.end(), 0) != 1) continue;

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
  }
}

}  // namespace
}  // namespace pngtrans::test
