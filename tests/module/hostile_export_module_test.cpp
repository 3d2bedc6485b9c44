// Hostile host records on export, through command 13 of the loaded module: kinds out of
// range, depths that disagree with the kind, strides too short, negative or huge, missing
// palettes, odd palette counts, unknown mask kinds, empty and enormous sizes, backgrounds
// beyond the palette. Every buffer is exactly as large as the record says (rows × stride,
// one mask row when the stride is negative) and ends at a guard page, so a read outside the
// host's buffers stops the test. Each record gives a clean failure or a correct file.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>

#include "support/export_host.h"
#include "support/export_judge.h"
#include "support/files.h"
#include "support/guarded_memory.h"
#include "support/import_host.h"
#include "support/module_fixture.h"
#include "support/png_judge.h"
#include "support/png_readback.h"

namespace pngtrans::test {
namespace {

enum class Expect {
  Refused,  // return 0 before any file is created
  Fails,    // return 0 (a file may be left as far as it was written)
  Judged,   // return 1 and a file that holds exactly the image by the conversion rules
  Valid,    // return 1 and a file every judge reads, of the image's size
  Either,   // a clean failure, or a file every judge reads
};

struct HostileRecord {
  const char* name;
  HostSpec shape;
  uint32_t options;
  std::function<void(HostImage*)> edit;
  Expect expect;
  uint8_t colorType;  // for Judged: the colour type the file must have
};

HostSpec Shape(int32_t kind, uint32_t maskKind = MaskNone, uint32_t paletteCount = 256,
               int32_t bits = 0) {
  HostSpec s;
  s.kind = kind;
  s.maskKind = maskKind;
  s.paletteCount = paletteCount;
  s.bits = bits;
  s.width = 21;
  s.height = 9;
  s.background = 3;
  return s;
}

const uint32_t kRgb = 0x00082000, kRgbAlpha = 0x00086100, kPalette = 0x00083000,
               kPaletteTrns = 0x00083010, kGrey = 0x00080000;

const HostileRecord kRecords[] = {
    {"colorKind -1", Shape(ColorKindFullColor), kRgb, [](HostImage* i) { i->colorKind = -1; },
     Expect::Refused, 0},
    {"colorKind 4", Shape(ColorKindFullColor), kRgb, [](HostImage* i) { i->colorKind = 4; },
     Expect::Refused, 0},
    {"colorKind 2^31 - 1", Shape(ColorKindGrey), 0, [](HostImage* i) { i->colorKind = 0x7FFFFFFF; },
     Expect::Refused, 0},
    {"full colour with 8 bits per pixel", Shape(ColorKindFullColor), kRgb,
     [](HostImage* i) { i->bitsPerPixel = 8; }, Expect::Judged, 2},
    {"grey with 24 bits per pixel", Shape(ColorKindGrey), kGrey,
     [](HostImage* i) { i->bitsPerPixel = 24; }, Expect::Judged, 0},
    {"indexed with 1 bit per pixel", Shape(ColorKindIndexed), kPalette,
     [](HostImage* i) { i->bitsPerPixel = 1; }, Expect::Judged, 3},
    {"bilevel with 8 bits per pixel", Shape(ColorKindBilevel), kPalette,
     [](HostImage* i) { i->bitsPerPixel = 8; }, Expect::Judged, 3},
    {"grey with -4 bits per pixel", Shape(ColorKindGrey), kGrey,
     [](HostImage* i) { i->bitsPerPixel = -4; }, Expect::Judged, 0},
    {"rowBytes one short", Shape(ColorKindFullColor), kRgb, [](HostImage* i) { --i->rowBytes; },
     Expect::Valid, 0},
    {"rowBytes 1", Shape(ColorKindFullColor), kPalette, [](HostImage* i) { i->rowBytes = 1; },
     Expect::Valid, 0},
    {"rowBytes 0", Shape(ColorKindGrey), kGrey, [](HostImage* i) { i->rowBytes = 0; },
     Expect::Valid, 0},
    {"4-bit rowBytes short", Shape(ColorKindIndexed, MaskNone, 16, 4), kPalette,
     [](HostImage* i) { i->rowBytes = 3; }, Expect::Valid, 0},
    {"maskRowBytes -1", Shape(ColorKindFullColor, MaskEightBit), kRgbAlpha,
     [](HostImage* i) { i->maskRowBytes = -1; }, Expect::Refused, 0},
    {"maskRowBytes -2^31", Shape(ColorKindGrey, MaskOneBit), 0x00084100,
     [](HostImage* i) { i->maskRowBytes = INT32_MIN; }, Expect::Refused, 0},
    {"maskRowBytes 2^31 - 1", Shape(ColorKindFullColor, MaskEightBit), kRgbAlpha,
     [](HostImage* i) { i->maskRowBytes = 0x7FFFFFFF; }, Expect::Refused, 0},
    {"maskRowBytes -1 without alpha output", Shape(ColorKindFullColor, MaskEightBit), kRgb,
     [](HostImage* i) { i->maskRowBytes = -1; }, Expect::Judged, 2},
    {"maskRowBytes short", Shape(ColorKindFullColor, MaskEightBit), kRgbAlpha,
     [](HostImage* i) { i->maskRowBytes = 5; }, Expect::Valid, 0},
    {"maskRowBytes 0", Shape(ColorKindGrey, MaskEightBit), 0x00084100,
     [](HostImage* i) { i->maskRowBytes = 0; }, Expect::Valid, 0},
    {"indexed without a palette", Shape(ColorKindIndexed), kPalette,
     [](HostImage* i) { i->palette = nullptr; }, Expect::Refused, 0},
    {"indexed without a palette, grey output", Shape(ColorKindIndexed), kGrey,
     [](HostImage* i) { i->palette = nullptr; }, Expect::Refused, 0},
    {"paletteCount 0", Shape(ColorKindIndexed, MaskNone, 0), kPalette, nullptr, Expect::Judged, 3},
    {"paletteCount 1", Shape(ColorKindIndexed, MaskNone, 1), kPalette, nullptr, Expect::Judged, 3},
    {"paletteCount 17", Shape(ColorKindIndexed, MaskNone, 17), kPalette, nullptr, Expect::Judged,
     3},
    {"paletteCount 255", Shape(ColorKindIndexed, MaskNone, 255), kPaletteTrns, nullptr,
     Expect::Judged, 3},
    {"paletteCount 257", Shape(ColorKindIndexed, MaskNone, 257), kPalette, nullptr, Expect::Judged,
     3},
    {"paletteCount 2^32 - 1", Shape(ColorKindIndexed, MaskNone, 0xFFFFFFFF), kRgb, nullptr,
     Expect::Judged, 2},
    {"maskKind 3", Shape(ColorKindFullColor, MaskEightBit), kRgbAlpha,
     [](HostImage* i) { i->maskKind = 3; }, Expect::Judged, 2},
    {"maskKind 2^32 - 1", Shape(ColorKindGrey, MaskOneBit), 0x00084100,
     [](HostImage* i) { i->maskKind = 0xFFFFFFFF; }, Expect::Judged, 0},
    {"maskKind 2^31", Shape(ColorKindIndexed, MaskEightBit), 0x00087100,
     [](HostImage* i) { i->maskKind = 0x80000000; }, Expect::Judged, 3},
    {"width 0", Shape(ColorKindFullColor), kRgb, [](HostImage* i) { i->width = 0; }, Expect::Fails,
     0},
    {"height 0", Shape(ColorKindGrey), kGrey, [](HostImage* i) { i->height = 0; }, Expect::Fails,
     0},
    {"width 2^31 - 1", Shape(ColorKindBilevel), kPalette,
     [](HostImage* i) { i->width = 0x7FFFFFFF; }, Expect::Refused, 0},
    {"width 2^31", Shape(ColorKindFullColor), kRgb, [](HostImage* i) { i->width = 0x80000000; },
     Expect::Refused, 0},
    {"width 2^32 - 1", Shape(ColorKindGrey), kGrey, [](HostImage* i) { i->width = 0xFFFFFFFF; },
     Expect::Refused, 0},
    {"height 2^31 - 1", Shape(ColorKindFullColor), kRgb,
     [](HostImage* i) { i->height = 0x7FFFFFFF; }, Expect::Refused, 0},
    {"height 2^31, grey", Shape(ColorKindGrey), kGrey, [](HostImage* i) { i->height = 0x80000000; },
     Expect::Refused, 0},
    {"height 2^31 - 1 with an alpha mask", Shape(ColorKindGrey, MaskEightBit), 0x00084100,
     [](HostImage* i) {
       i->height = 0x7FFFFFFF;
       i->rowBytes = 1;
       i->width = 1;
       i->maskRowBytes = 3;
     },
     Expect::Refused, 0},
    {"background 200 beyond a 16-entry palette", Shape(ColorKindIndexed, MaskNone, 16, 4),
     kPaletteTrns, [](HostImage* i) { i->backgroundColor = 200; }, Expect::Either, 0},
    {"background 2^32 - 1, indexed", Shape(ColorKindIndexed), kPaletteTrns,
     [](HostImage* i) { i->backgroundColor = 0xFFFFFFFF; }, Expect::Judged, 3},
    {"background 300, grey", Shape(ColorKindGrey), 0x00080010,
     [](HostImage* i) { i->backgroundColor = 300; }, Expect::Valid, 0},
    {"background 7, bilevel", Shape(ColorKindBilevel), kPaletteTrns,
     [](HostImage* i) { i->backgroundColor = 7; }, Expect::Either, 0},
    {"background with the high byte set, full colour", Shape(ColorKindFullColor), 0x00083010,
     [](HostImage* i) { i->backgroundColor = 0xFF123456; }, Expect::Valid, 0},
};

// The record's own view of its buffers: rows × stride pixel bytes, rows × stride mask bytes
// (one row's pixels when the stride is negative), each ending at a guard page. Records whose
// buffers no 32-bit host could have get one page: the export must refuse them unread.
class HostBuffers {
 public:
  explicit HostBuffers(HostImage* image, const HostImage& original) {
    pixels_ = Place(static_cast<uint64_t>(image->height) * image->rowBytes, original.pixels,
                    static_cast<uint64_t>(original.height) * original.rowBytes);
    if (image->pixels != nullptr) image->pixels = static_cast<uint8_t*>(pixels_);
    if (image->mask != nullptr) {
      const uint64_t stride =
          image->maskRowBytes >= 0 ? static_cast<uint32_t>(image->maskRowBytes) : 0;
      const uint64_t bytes =
          image->maskRowBytes >= 0 ? image->height * stride : (uint64_t{image->width} + 7) / 8;
      mask_ = Place(
          bytes, original.mask,
          static_cast<uint64_t>(original.height) * static_cast<uint32_t>(original.maskRowBytes));
      image->mask = static_cast<uint8_t*>(mask_);
    }
  }
  ~HostBuffers() {
    GuardedFree(pixels_);
    GuardedFree(mask_);
  }

 private:
  static void* Place(uint64_t bytes, const uint8_t* from, uint64_t available) {
    if (bytes > 64u * 1024 * 1024) bytes = 4096;
    void* block = GuardedAlloc(bytes == 0 ? 1 : static_cast<size_t>(bytes));
    if (from != nullptr) std::memcpy(block, from, bytes < available ? bytes : available);
    return block;
  }
  void* pixels_ = nullptr;
  void* mask_ = nullptr;
};

// Every judge the platform has reads the file and finds the image's size.
::testing::AssertionResult ReadableFile(const Bytes& file, const std::string& path,
                                        const HostImage& image) {
  ReadPng png;
  std::string error;
  if (!ReadPngFile(file, &png, &error)) return ::testing::AssertionFailure() << error;
  if (png.width != image.width || png.height != image.height) {
    return ::testing::AssertionFailure() << "size " << png.width << "x" << png.height;
  }
#if PNGTRANS_HAVE_LIBPNG
  DecodedPng decoded;
  if (!DecodeWithLibpng(file, &decoded)) return ::testing::AssertionFailure() << decoded.error;
  std::string output;
  if (!RunPngcheck(path, &output)) return ::testing::AssertionFailure() << output;
#else
  (void)path;
#endif
  return ::testing::AssertionSuccess();
}

using HostileExport = ModuleTest;

TEST_F(HostileExport, EveryHostileRecordFailsCleanlyOrWritesACorrectFile) {
  for (const HostileRecord& r : kRecords) {
    GuardedHostImage host(r.shape);
    HostImage image = host.image;
    if (r.edit) r.edit(&image);
    HostBuffers buffers(&image, host.image);
    const HostImage given = image;
    const std::string path = TempPath("hostile-export.png");
    CommandHeader header = {0, 13, 0x7777};
    const int ret = module_.Procedure()(&header, Arg(path.c_str()), Arg("Title"), Arg(&image),
                                        r.options, XtndArg{0});
    EXPECT_EQ(header.result, 0x7777) << r.name;
    EXPECT_EQ(std::memcmp(&given, &image, sizeof image), 0) << r.name << ": record changed";
    Bytes file;
    const bool exists = ReadFileBytes(path, &file);
    switch (r.expect) {
      case Expect::Refused:
        EXPECT_EQ(ret, 0) << r.name;
        EXPECT_FALSE(exists) << r.name << ": a file was created";
        break;
      case Expect::Fails:
        EXPECT_EQ(ret, 0) << r.name;
        break;
      case Expect::Judged: {
        ASSERT_EQ(ret, 1) << r.name;
        ExportExpectation expect;
        expect.colorType = r.colorType;
        expect.transparency = (r.options >> 4 & 15) == 1 ? 1 : 0;
        expect.title = "Title";
        EXPECT_TRUE(JudgeExport(image, expect, file, path)) << r.name;
        break;
      }
      case Expect::Valid:
        ASSERT_EQ(ret, 1) << r.name;
        EXPECT_TRUE(ReadableFile(file, path, image)) << r.name;
        break;
      case Expect::Either:
        EXPECT_TRUE(ret == 0 || ReadableFile(file, path, image)) << r.name << ": ret " << ret;
        break;
    }
    RemoveFile(path);
  }
}

// Found by the export fuzzer: widths beyond 65535 are exported (the counters are widened), so
// a 65536-pixel bilevel image becomes a valid palette file with 65536-byte rows. The import
// reads rows of any width: the file opens again with the same pixels.
TEST_F(HostileExport, ExportWiderThanSixtyFourKilobytesOpensAgain) {
  HostSpec shape = Shape(ColorKindBilevel);
  shape.width = 65536;
  shape.height = 21;
  GuardedHostImage host(shape);
  const std::string path = TempPath("wide-export.png");
  CommandHeader header = {0, 13, 0x7777};
  ASSERT_EQ(module_.Procedure()(&header, Arg(path.c_str()), Arg(nullptr), Arg(host.get()),
                                XtndArg{0}, XtndArg{0}),
            1);
  Bytes file;
  ASSERT_TRUE(ReadFileBytes(path, &file));
  EXPECT_TRUE(ReadableFile(file, path, host.image));

  GuardedHost reader;
  uint32_t options = 0;
  header = {0, 3, 0x7777};
  EXPECT_EQ(module_.Procedure()(&header, path.c_str(), nullptr, reader.image(), &options,
                                XtndArg{0}, XtndArg{0}, XtndArg{0}),
            1);
  EXPECT_EQ(header.result, 0);
  EXPECT_EQ(reader.releaseCalls(), 0);
  const Bytes pixels = reader.Pixels();
  const HostImage& in = reader.described();
  ASSERT_EQ(in.width, shape.width);
  for (uint32_t y = 0; y < shape.height; ++y) {
    const uint8_t* bits = host.image.pixels + static_cast<size_t>(y) * host.image.rowBytes;
    for (uint32_t x = 0; x < shape.width; ++x) {
      ASSERT_EQ(pixels[static_cast<size_t>(y) * in.rowBytes + x], (bits[x / 8] >> (7 - x % 8)) & 1)
          << x << "," << y;
    }
  }
  RemoveFile(path);
}

}  // namespace
}  // namespace pngtrans::test
