// ReadImageIntoHost: pulls every row through the row reader, keeps the rows an interlaced image
// still needs, converts each finished row into the host's pixel and mask buffers, fills the grey
// ramp of grey images and reports progress.
#include "import/host_rows.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "import/png_reader.h"
#include "base/checked_size.h"

namespace pngtrans {

namespace {

// Samples of 1, 2 and 4 bits, most significant first, each multiplied by Scale: 255, 85 and 17
// spread grey samples over 0-255; 1 keeps palette indices as they are. Every whole source byte
// becomes its 8 / Depth host bytes through one table entry. The partly used last byte of a row
// is converted too; its remaining low bits are padding.
template <uint32_t Depth, uint32_t Scale>
struct PackedTable {
  static constexpr uint32_t kPerByte = 8 / Depth;
  uint8_t bytes[256][kPerByte] = {};
  constexpr PackedTable() {
    for (uint32_t value = 0; value < 256; ++value) {
      for (uint32_t k = 0; k < kPerByte; ++k) {
        bytes[value][k] =
            static_cast<uint8_t>(((value >> (8 - Depth * (k + 1))) & ((1u << Depth) - 1)) * Scale);
      }
    }
  }
};

template <uint32_t Depth, uint32_t Scale>
constexpr PackedTable<Depth, Scale> kPackedTable{};

template <uint32_t Depth, uint32_t Scale>
void ConvertPacked(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t*) {
  constexpr uint32_t kPerByte = PackedTable<Depth, Scale>::kPerByte;
  const auto& table = kPackedTable<Depth, Scale>.bytes;
  const uint32_t whole = width / kPerByte;
  for (uint32_t i = 0; i < whole; ++i, pixels += kPerByte) {
    std::memcpy(pixels, table[row[i]], kPerByte);
  }
  const uint32_t rest = width % kPerByte;
  if (rest != 0) std::memcpy(pixels, table[row[whole]], rest);
}

// 8-bit grey levels and 8-bit palette indices are host bytes already.
void ConvertCopy8(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t*) {
  std::memcpy(pixels, row, width);
}

// 16-bit grey: the host has no 16-bit grey, so the high byte becomes a 24-bit grey pixel.
void ConvertGrey16(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t*) {
  for (uint32_t x = 0; x < width; ++x, row += 2, pixels += 3) {
    pixels[0] = pixels[1] = pixels[2] = row[0];
  }
}

// Words go through registers one at a time: assembling several in memory and moving them on
// as one wider block would stall on store forwarding.
inline uint32_t LoadWord(const uint8_t* p) {
  uint32_t v;
  std::memcpy(&v, p, 4);
  return v;
}

inline void StoreWord(uint8_t* p, uint32_t v) {
  std::memcpy(p, &v, 4);
}

// Colour samples: the file's red, green, blue become the host's blue, green, red. Four pixels
// at a time as three 32-bit words (the targets are little-endian), then pixel by pixel.
void ConvertRgb8(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t*) {
  uint32_t x = 0;
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  for (; x + 4 <= width; x += 4, row += 12, pixels += 12) {
    const uint32_t a = LoadWord(row), b = LoadWord(row + 4), c = LoadWord(row + 8);
    // a, b, c hold R0 G0 B0 R1, G1 B1 R2 G2, B2 R3 G3 B3 from the low byte up.
    StoreWord(pixels, (a >> 16 & 0xFF) | (a & 0xFF00) | (a & 0xFF) << 16 | (b >> 8 & 0xFF) << 24);
    StoreWord(pixels + 4, (b & 0xFF) | (a >> 24) << 8 | (c & 0xFF) << 16 | (b & 0xFF000000));
    StoreWord(pixels + 8,
              (b >> 16 & 0xFF) | (c >> 24) << 8 | (c & 0xFF0000) | (c >> 8 & 0xFF) << 24);
  }
#endif
  for (; x < width; ++x, row += 3, pixels += 3) {
    pixels[0] = row[2];
    pixels[1] = row[1];
    pixels[2] = row[0];
  }
}

void ConvertRgb16(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t*) {
  for (uint32_t x = 0; x < width; ++x, row += 6, pixels += 3) {
    pixels[0] = row[4];
    pixels[1] = row[2];
    pixels[2] = row[0];
  }
}

void ConvertGreyAlpha8(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t* mask) {
  uint32_t x = 0;
#if defined(__SSE2__)
  // Sixteen pixels a step: the grey bytes and the alpha bytes each packed down.
  const __m128i low = _mm_set1_epi16(0xFF);
  for (; x + 16 <= width; x += 16, row += 32) {
    const __m128i v0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row));
    const __m128i v1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(pixels + x),
                     _mm_packus_epi16(_mm_and_si128(v0, low), _mm_and_si128(v1, low)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(mask + x),
                     _mm_packus_epi16(_mm_srli_epi16(v0, 8), _mm_srli_epi16(v1, 8)));
  }
#endif
  for (; x < width; ++x, row += 2) {
    pixels[x] = row[0];
    mask[x] = row[1];
  }
}

void ConvertGreyAlpha16(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t* mask) {
  for (uint32_t x = 0; x < width; ++x, row += 4, pixels += 3) {
    pixels[0] = pixels[1] = pixels[2] = row[0];
    mask[x] = row[2];
  }
}

void ConvertRgba8(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t* mask) {
  uint32_t x = 0;
#if defined(__SSE2__)
  // Sixteen pixels a step: alpha bytes packed down to the mask, red and blue exchanged within
  // each pixel, then two pixels of three bytes from each 64-bit half. The last 8-byte store of
  // a step writes two bytes beyond its pixels, so a step runs only while a pixel follows it.
  const __m128i byte0 = _mm_set1_epi32(0x000000FF);
  const __m128i byte1 = _mm_set1_epi32(0x0000FF00);
  const __m128i lowPixel = _mm_set_epi32(0, 0x00FFFFFF, 0, 0x00FFFFFF);
  const __m128i highPixel = _mm_set_epi32(0x0000FFFF, static_cast<int>(0xFF000000u), 0x0000FFFF,
                                          static_cast<int>(0xFF000000u));
  for (; x + 16 < width; x += 16, row += 64, pixels += 48, mask += 16) {
    __m128i v[4];
    for (int k = 0; k < 4; ++k) {
      v[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 16 * k));
    }
    const __m128i alpha01 = _mm_packs_epi32(_mm_srli_epi32(v[0], 24), _mm_srli_epi32(v[1], 24));
    const __m128i alpha23 = _mm_packs_epi32(_mm_srli_epi32(v[2], 24), _mm_srli_epi32(v[3], 24));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(mask), _mm_packus_epi16(alpha01, alpha23));
    for (int k = 0; k < 4; ++k) {
      const __m128i bgr = _mm_or_si128(
          _mm_or_si128(_mm_and_si128(v[k], byte1), _mm_and_si128(_mm_srli_epi32(v[k], 16), byte0)),
          _mm_slli_epi32(_mm_and_si128(v[k], byte0), 16));
      const __m128i packed = _mm_or_si128(_mm_and_si128(bgr, lowPixel),
                                          _mm_and_si128(_mm_srli_epi64(bgr, 8), highPixel));
      _mm_storel_epi64(reinterpret_cast<__m128i*>(pixels + 12 * k), packed);
      _mm_storel_epi64(reinterpret_cast<__m128i*>(pixels + 12 * k + 6), _mm_srli_si128(packed, 8));
    }
  }
#endif
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
  for (; x + 4 <= width; x += 4, row += 16, pixels += 12, mask += 4) {
    const uint32_t p0 = LoadWord(row), p1 = LoadWord(row + 4), p2 = LoadWord(row + 8),
                   p3 = LoadWord(row + 12);
    // A pixel word reads R | G << 8 | B << 16 | A << 24; reversed and shifted it is B, G, R.
    const uint32_t q0 = __builtin_bswap32(p0) >> 8, q1 = __builtin_bswap32(p1) >> 8,
                   q2 = __builtin_bswap32(p2) >> 8, q3 = __builtin_bswap32(p3) >> 8;
    StoreWord(pixels, q0 | q1 << 24);
    StoreWord(pixels + 4, q1 >> 8 | q2 << 16);
    StoreWord(pixels + 8, q2 >> 16 | q3 << 8);
    StoreWord(mask, p0 >> 24 | (p1 >> 24) << 8 | (p2 >> 24) << 16 | (p3 & 0xFF000000));
  }
#endif
  for (; x < width; ++x, row += 4, pixels += 3) {
    pixels[0] = row[2];
    pixels[1] = row[1];
    pixels[2] = row[0];
    *mask++ = row[3];
  }
}

void ConvertRgba16(const uint8_t* row, uint32_t width, uint8_t* pixels, uint8_t* mask) {
  for (uint32_t x = 0; x < width; ++x, row += 8, pixels += 3) {
    pixels[0] = row[4];
    pixels[1] = row[2];
    pixels[2] = row[0];
    mask[x] = row[6];
  }
}

// The mask of a grey, colour or palette image with tRNS: 0 where a pixel is the transparent
// colour, compared at the file's own precision, and 255 elsewhere; for a palette, each entry's
// alpha (255 beyond the table). Palette indices and grey samples of up to 8 bits are host bytes
// one to one, so they go through a table on the host byte; 16-bit grey and colour pixels are
// compared as the decoded row holds them.
class KeyMask {
 public:
  explicit KeyMask(const ReaderState& s) {
    std::memset(table_, 255, sizeof table_);
    if (s.colorType == 3) {
      for (uint32_t i = 0; i < s.transCount && i < 256; ++i) table_[i] = s.trans[i];
    } else if (s.colorType == 0 && s.bitDepth <= 8) {
      // The key was masked to the bit depth when tRNS was read.
      table_[s.transValues.gray * (255u / ((1u << s.bitDepth) - 1))] = 0;
    } else {
      const uint16_t samples[3] = {s.colorType == 0 ? s.transValues.gray : s.transValues.red,
                                   s.transValues.green, s.transValues.blue};
      const uint32_t count = s.colorType == 0 ? 1 : 3;
      const uint32_t bytes = s.bitDepth == 16 ? 2 : 1;
      for (uint32_t c = 0; c < count; ++c) {
        if (bytes == 2) key_[keyBytes_++] = static_cast<uint8_t>(samples[c] >> 8);
        key_[keyBytes_++] = static_cast<uint8_t>(samples[c]);
      }
    }
  }

  void Build(const uint8_t* decoded, const uint8_t* pixels, uint32_t width, uint8_t* mask) const {
    if (keyBytes_ == 0) {
      for (uint32_t x = 0; x < width; ++x) mask[x] = table_[pixels[x]];
      return;
    }
    const uint32_t n = keyBytes_;
    for (uint32_t x = 0; x < width; ++x, decoded += n) {
      mask[x] = std::memcmp(decoded, key_, n) == 0 ? 0 : 255;
    }
  }

 private:
  uint8_t table_[256];
  uint8_t key_[6] = {};
  uint32_t keyBytes_ = 0;  // 0: by the table
};

struct FreeDeleter {
  void operator()(uint8_t* block) const { std::free(block); }
};

bool HasAlpha(uint8_t colorType) {
  return colorType == 4 || colorType == 6;
}

// The host's allocate callback set the buffers and may have changed the strides it was given:
// before a single byte is written, every row we write must lie inside what the host describes.
Status CheckHostBuffers(const HostImage& image, uint32_t width, uint32_t height, uint8_t colorType,
                        uint8_t bitDepth, bool withMask) {
  uint32_t pixelBytes = 0;
  if (!MulFits32(width, HostPixelBytes(colorType, bitDepth), &pixelBytes)) {
    return PT_FAIL(StatusError);
  }
  if (image.pixels == nullptr || image.rowBytes < pixelBytes) return PT_FAIL(StatusError);
  if (height == 0) return StatusOk;
  uint32_t span = 0;
  if (!MulFits32(height - 1, image.rowBytes, &span) || !AddFits32(span, pixelBytes, &span)) {
    return PT_FAIL(StatusError);
  }
  if (withMask) {
    if (image.mask == nullptr || image.maskRowBytes < 0 ||
        static_cast<uint32_t>(image.maskRowBytes) < width) {
      return PT_FAIL(StatusError);
    }
    if (!MulFits32(height - 1, static_cast<uint32_t>(image.maskRowBytes), &span) ||
        !AddFits32(span, width, &span)) {
      return PT_FAIL(StatusError);
    }
  }
  // Grey images receive a ramp, 1-bit images have their palette classified.
  if ((colorType == 0 || colorType == 4 || bitDepth == 1) && image.palette == nullptr) {
    return PT_FAIL(StatusError);
  }
  return StatusOk;
}

}  // namespace

uint32_t HostPixelBytes(uint8_t colorType, uint8_t bitDepth) {
  switch (colorType) {
    case 0:
    case 4:
      return bitDepth == 16 ? 3 : 1;
    case 2:
    case 6:
      return 3;
    default:
      return 1;
  }
}

Status SelectRowConverter(uint8_t colorType, uint8_t bitDepth, RowConverter* converter) {
  RowConverter chosen = nullptr;
  switch (colorType) {
    case 0:
      switch (bitDepth) {
        case 1:
          chosen = ConvertPacked<1, 255>;
          break;
        case 2:
          chosen = ConvertPacked<2, 85>;
          break;
        case 4:
          chosen = ConvertPacked<4, 17>;
          break;
        case 8:
          chosen = ConvertCopy8;
          break;
        case 16:
          chosen = ConvertGrey16;
          break;
        default:
          break;
      }
      break;
    case 3:
      // Indices as stored for every depth, 1-bit included: a palette of white then black is
      // shown as the file stores it, like any other palette.
      switch (bitDepth) {
        case 1:
          chosen = ConvertPacked<1, 1>;
          break;
        case 2:
          chosen = ConvertPacked<2, 1>;
          break;
        case 4:
          chosen = ConvertPacked<4, 1>;
          break;
        case 8:
          chosen = ConvertCopy8;
          break;
        default:
          break;
      }
      break;
    case 2:
      chosen = bitDepth == 8 ? ConvertRgb8 : bitDepth == 16 ? ConvertRgb16 : nullptr;
      break;
    case 4:
      chosen = bitDepth == 8 ? ConvertGreyAlpha8 : bitDepth == 16 ? ConvertGreyAlpha16 : nullptr;
      break;
    case 6:
      chosen = bitDepth == 8 ? ConvertRgba8 : bitDepth == 16 ? ConvertRgba16 : nullptr;
      break;
    default:
      return PT_FAIL(StatusBadFormat);
  }
  if (chosen == nullptr) return PT_FAIL(StatusError);
  *converter = chosen;
  return StatusOk;
}

Status PngReader::ReadImageIntoHost(HostImage* image, ProgressCallback progress) {
  ReaderState& s = *state_;
  const uint8_t colorType = s.colorType;
  const uint8_t bitDepth = s.bitDepth;
  const uint32_t width = s.width;
  const uint32_t height = s.height;
  const uint32_t passes = static_cast<uint32_t>(InterlacePassCount());
  s.numRows = height;

  const uint32_t rowSize = info_->rowBytes;
  if (rowSize == 0) return PT_FAIL(StatusNoMemory);
  // An unsupported combination cannot pass the header checks; it is refused here before any
  // row is read all the same.
  RowConverter convert = nullptr;
  PT_RETURN_IF_ERROR(SelectRowConverter(colorType, bitDepth, &convert));
  // Alpha channels, and tRNS transparency, have a mask row for every pixel row.
  const bool keyed = HasTransparency();
  const bool alpha = HasAlpha(colorType) || keyed;
  PT_RETURN_IF_ERROR(CheckHostBuffers(*image, width, height, colorType, bitDepth, alpha));
  // The row reader's limits decide whether the image can be read at all; knowing that before
  // the row store is sized keeps a refused image from costing a large allocation.
  if ((s.flags & FlagRowInit) == 0) PT_RETURN_IF_ERROR(StartRows());
  // The row store is sized from this row size and ReadRow fills whole decoded rows into it.
  if (rowSize != RowBytesFor(width, s.pixelDepth)) return PT_FAIL(StatusError);

  // A non-interlaced image is converted row by row from the row reader's window (which holds
  // a row's worth more for it); an interlaced one is assembled over seven passes. The first six
  // touch only the even image rows, which need a place in a row store until the last pass
  // converts them; the last pass brings the odd rows whole, and they are converted from the
  // row reader at once.
  std::unique_ptr<uint8_t, FreeDeleter> store;
  if (passes != 1) {
    uint32_t storeSize = 0;
    // The file was found able to hold the image before the host was asked for its buffers
    // (ImageDataCanFill), so a small file does not make this large.
    if (!MulFits32(height / 2 + height % 2, rowSize, &storeSize)) return PT_FAIL(StatusNoMemory);
    store.reset(static_cast<uint8_t*>(ReaderAllocate(storeSize)));
    if (store == nullptr) return PT_FAIL(StatusNoMemory);
  }

  if (colorType == 0 || colorType == 4) {
    std::memset(image->palette, 0, 256 * sizeof(ColorValue));
    (void)BuildGreyRamp(bitDepth, image->palette);
  }
  if (bitDepth == 1) (void)ClassifyBilevelPalette(image);

  // 8-bit grey and palette rows are host rows already: without interlacing they are read
  // straight into the host's buffer.
  const bool direct = passes == 1 && (colorType == 0 || colorType == 3) && bitDepth == 8;
  const KeyMask keyMask(s);
  const uint32_t maskStride = alpha ? static_cast<uint32_t>(image->maskRowBytes) : 0;
  // The host's progress arguments are positive 32-bit integers (the header mapping refused
  // larger images before the host allocated anything).
  uint32_t total = 0;
  if (!MulFits32(passes, height, &total) || total > static_cast<uint32_t>(INT32_MAX)) {
    return PT_FAIL(StatusError);
  }
  if (progress != nullptr) progress(0, static_cast<int32_t>(total));
  for (uint32_t pass = 0; pass < passes; ++pass) {
    const bool last = pass + 1 == passes;
    for (uint32_t y = 0; y < height; ++y) {
      uint8_t* hostRow = image->pixels + static_cast<size_t>(y) * image->rowBytes;
      uint8_t* maskRow = alpha ? image->mask + static_cast<size_t>(y) * maskStride : nullptr;
      if (direct) {
        PT_RETURN_IF_ERROR(ReadRow(hostRow));
        if (keyed) keyMask.Build(hostRow, hostRow, width, maskRow);
      } else if (passes == 1 || (last && (y & 1) != 0)) {
        // Converted from where the row reader unfiltered it (a plain row, or a whole odd row of
        // the last pass): the row store is not needed.
        const uint8_t* decoded = nullptr;
        PT_RETURN_IF_ERROR(ReadRowView(&decoded));
        convert(decoded, width, hostRow, maskRow);
        if (keyed) keyMask.Build(decoded, hostRow, width, maskRow);
      } else {
        // An odd row has no pixels before the last pass: ReadRow leaves the row it is given
        // (its even neighbour's) as it is.
        uint8_t* stored = store.get() + static_cast<size_t>(y / 2) * rowSize;
        PT_RETURN_IF_ERROR(ReadRow(stored));
        if (last) {
          convert(stored, width, hostRow, maskRow);
          if (keyed) keyMask.Build(stored, hostRow, width, maskRow);
        }
      }
      if (progress != nullptr)
        progress(static_cast<int32_t>(pass * height + y + 1), static_cast<int32_t>(total));
    }
  }
  return StatusOk;
}

int PngReader::BuildGreyRamp(int bitDepth, ColorValue* palette) {
  uint32_t step = 0;
  switch (bitDepth) {
    case 1:
      palette[0] = 0x000000;
      palette[1] = 0xFFFFFF;
      return 1;
    case 2:
      step = 85;
      break;
    case 4:
      step = 17;
      break;
    case 8:
    case 16:
      step = 1;
      break;
    default:
      return 0;
  }
  uint32_t entry = 0;
  for (uint32_t level = 0; level < 256; level += step) palette[entry++] = level * 0x010101u;
  return 1;
}

int PngReader::ClassifyBilevelPalette(const HostImage* image) {
  const ColorValue* palette = image->palette;
  if (palette != nullptr && palette[0] == 0x000000 && palette[1] == 0xFFFFFF) {
    bilevelMapping_ = BilevelDirect;
    return 1;
  }
  if (palette != nullptr && palette[0] == 0xFFFFFF && palette[1] == 0x000000) {
    bilevelMapping_ = BilevelInverted;
    return 1;
  }
  bilevelMapping_ = BilevelPlain;
  return 0;
}

}  // namespace pngtrans
