// Command 13 on a HostImage made from the input: fields, palette, mask and pixels from its
// bytes, within sizes a host could really pass (every buffer exactly as large as the record
// says, flush against a guard page), with an option word and a title from the input. The
// file goes to a scratch directory; a file the export calls a success must import again.
#include <cstdint>
#include <cstring>
#include <string>

#include "export_input.h"
#include "fuzz_checks.h"
#include "plugin/translator.h"
#include "quantize/median_cut.h"
#include "support/files.h"
#include "support/guarded_memory.h"
#include "support/hostile_png.h"
#include "support/import_host.h"

namespace {

using pngtrans::fuzz::ExportRecipe;
using pngtrans::fuzz::Require;

// Buffers above this are not made: images are kept to what exports in a few milliseconds.
constexpr uint64_t kBufferCap = 64 * 1024;
// The export's work grows with the pixels, not with the buffers: a stride of 0 lets one row
// stand for any number of rows. Images are kept to this many pixels as well.
constexpr uint64_t kPixelCap = 128 * 1024;

// Widths from this one up cannot pass the export's size check (8 bytes of scratch per pixel
// overflow 32 bits); their pixel buffers stand for ones no 32-bit host could have.
constexpr uint32_t kRefusedWidth = 0x1FFFFFF8;

uint32_t Width(uint16_t raw) {
  static const uint32_t kHostile[] = {0,          0x1FFFFFF8, 0x20000000, 0x7FFFFFFF,
                                      0x80000000, 0xFFFFFFFF, 65535,      65536};
  switch (raw >> 14) {
    case 0:
    case 1:
      return raw & 0x3FF;
    case 2:
      return raw & 0x3FFF;
    default:
      return kHostile[raw & 7];
  }
}

int32_t Kind(uint8_t raw) {
  static const int32_t kKinds[] = {0, 1, 2, 3, -1, 4, INT32_MIN, 0x7F};
  return kKinds[raw % 8];
}

int32_t Bits(uint8_t raw, int32_t kind) {
  switch (raw % 4) {
    case 0:
      return kind == 0 ? 1 : kind == 3 ? 24 : 8;
    case 1:
      return 4;
    case 2:
      return 8;
    default:
      return static_cast<int8_t>(raw);
  }
}

uint32_t PaletteCount(uint8_t raw) {
  static const uint32_t kCounts[] = {256, 0, 1, 2, 15, 16, 17, 255, 257, 0xFFFFFFFF};
  return kCounts[raw % 10];
}

// The bytes a row of pixels occupies as the export reads it: bilevel 1 bit, 4-bit grey and
// indices, full colour 3 bytes, anything else one byte per pixel.
uint64_t UsedBytes(int32_t kind, int32_t bits, uint64_t width) {
  if (kind == 0) return (width + 7) / 8;
  if (kind == 3) return 3 * width;
  if ((kind == 1 || kind == 2) && bits == 4) return (width + 1) / 2;
  return width;
}

uint64_t MaskUsed(uint32_t maskKind, uint64_t width) {
  return maskKind == 1 ? (width + 7) / 8 : maskKind == 2 ? width : 0;
}

// Exactly the bytes height rows at stride need: the last row ends where its pixels end.
uint64_t Described(uint64_t height, uint64_t stride, uint64_t used) {
  if (height == 0) return 0;
  return (height - 1) * stride + (stride < used ? stride : used);
}

struct Buffer {
  explicit Buffer(uint64_t size, const uint8_t* fill, size_t fillSize, size_t* fillAt)
      : block(static_cast<uint8_t*>(pngtrans::test::GuardedAlloc(size == 0 ? 1 : size))) {
    Require(block != nullptr, "no memory for a host buffer");
    for (uint64_t i = 0; i < size && fillSize > 0; ++i) block[i] = fill[(*fillAt)++ % fillSize];
  }
  ~Buffer() { pngtrans::test::GuardedFree(block); }
  uint8_t* block;
};

int PT_CDECL NeverCalled(HostImage*) {
  Require(false, "the export called a host callback");
  return 0;
}

constexpr uint32_t kWidestReadBack = 16376;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace pngtrans;
  size_t at = 0;
  const ExportRecipe r = fuzz::DecodeRecipe(data, size, &at);
  std::string title;
  while (title.size() < r.titleLength && at < size) {
    const char c = static_cast<char>(data[at++]);
    title.push_back(c == '\0' ? ' ' : c);
  }
  const uint8_t* fill = data + at;
  const size_t fillSize = size - at;
  size_t fillAt = 0;

  HostImage image = {};
  image.width = Width(r.width);
  image.colorKind = Kind(r.kind);
  image.bitsPerPixel = Bits(r.bits, image.colorKind);
  image.paletteCount = PaletteCount(r.paletteCount);
  image.maskKind = r.maskKind < 200 ? r.maskKind % 4 : r.maskKind;
  image.maskBits = image.maskKind == 1 ? 1 : 8;
  image.resolutionX = r.resolutionX;
  image.resolutionY = r.resolutionY;
  image.backgroundColor = r.background;
  image.allocate = NeverCalled;
  image.release = NeverCalled;
  const bool refusedWidth = image.width >= kRefusedWidth;
  // A refused width keeps its record but gets small stand-in buffers.
  const uint64_t width = refusedWidth ? 64 : image.width;

  const uint64_t used = UsedBytes(image.colorKind, image.bitsPerPixel, width);
  uint64_t stride = used + r.stride % 16;
  if (r.stride >= 200) stride = r.stride >= 240 ? 0 : used - (used > 0 ? r.stride % used : 0);
  const uint64_t maskUsed = MaskUsed(image.maskKind, width);
  int64_t maskStride = static_cast<int64_t>(maskUsed) + r.maskStride % 16;
  if (r.maskStride >= 200) {
    static const int64_t kHostile[] = {0, -1, INT32_MIN, 0x7FFFFFFF};
    maskStride = r.maskStride >= 240 ? kHostile[r.maskStride % 4]
                                     : static_cast<int64_t>(maskUsed) - 1 - r.maskStride % 8;
  }
  // A positive stride beyond any real buffer only with a single row, where it is never used.
  uint64_t height = r.height & 0x3FF;
  if (maskStride > 0x10000 && height > 1) maskStride = -1;
  // As many rows as the caps allow.
  while (height > 0 &&
         (height * width > kPixelCap || Described(height, stride, used) > kBufferCap ||
          (maskStride >= 0 &&
           Described(height, static_cast<uint64_t>(maskStride), maskUsed) > kBufferCap))) {
    height /= 2;
  }
  image.height = static_cast<uint32_t>(height);
  image.rowBytes = static_cast<uint32_t>(stride);
  image.maskRowBytes = static_cast<int32_t>(maskStride);

  Buffer palette(1024, fill, fillSize, &fillAt);
  Buffer mask(
      maskStride >= 0 ? Described(height, static_cast<uint64_t>(maskStride), maskUsed) : maskUsed,
      fill, fillSize, &fillAt);
  Buffer pixels(Described(height, stride, used), fill, fillSize, &fillAt);
  image.palette = (r.flags & 1) != 0 ? nullptr : reinterpret_cast<ColorValue*>(palette.block);
  image.mask = (r.flags & 2) != 0 ? nullptr : mask.block;
  image.pixels = (r.flags & 4) != 0 ? nullptr : pixels.block;

  static const std::string path = test::TempPath("fuzz-export.png");
  test::RemoveFile(path);
  const int descriptors = fuzz::OpenDescriptors();
  CommandHeader header = {0, 13, 0x7777};
  fuzz::ResetProgress();
  const HostImage before = image;
  const int ret =
      TranslatorProc(&header, path.c_str(), (r.flags & 8) != 0 ? nullptr : title.c_str(), &image,
                     r.options, fuzz::CheckProgress);
  Require(ret == 0 || ret == 1, "return value " + std::to_string(ret));
  // Command 13 writes the result only when the file cannot be created.
  Require(header.result == 0x7777, "result " + std::to_string(header.result));
  Require(std::memcmp(&before, &image, sizeof image) == 0, "the export changed the record");
  Require(ActiveQuantizer() == nullptr, "the quantizer outlived the export");
  Require(fuzz::OpenDescriptors() == descriptors, "descriptor left open");
  Require(!refusedWidth || ret == 0, "a width no host can have was exported");
  if (ret == 1) {
    Require(image.width > 0 && image.height > 0, "an empty image exported");
  }
  // What the export wrote must be a PNG file of the image's size. The import reads rows of up
  // to 65528 bytes, so wider exports (four bytes per pixel at most) are not read back.
  if (ret == 1 && image.width <= kWidestReadBack) {
    test::GuardedHost reader;
    uint32_t options = 0;
    CommandHeader import = {0, 3, 0x7777};
    const int back = TranslatorProc(&import, path.c_str(), nullptr, reader.image(), &options,
                                    XtndArg{0}, XtndArg{0}, XtndArg{0});
    Require(back == 1,
            "the exported file does not import: status " + std::to_string(import.result));
    Require(reader.described().width == image.width && reader.described().height == image.height,
            "the exported file has another size");
  }
  return 0;
}
