#include "support/png_build.h"

#include <cstdlib>
#include <random>

#include <zlib.h>

namespace pngtrans::test {

namespace {
const int kStartCol[7] = {0, 4, 0, 2, 0, 1, 0};
const int kColStep[7] = {8, 8, 4, 4, 2, 2, 1};
const int kStartRow[7] = {0, 0, 4, 0, 2, 0, 1};
const int kRowStep[7] = {8, 8, 8, 4, 4, 2, 2};

uint8_t Paeth(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
  if (pb <= pc) return static_cast<uint8_t>(b);
  return static_cast<uint8_t>(c);
}

// Filters one row (previous row empty = zeros) with the given type.
Bytes FilterRow(const Bytes& row, const Bytes& previous, uint32_t bpp, int type) {
  Bytes out(row.size() + 1);
  out[0] = static_cast<uint8_t>(type);
  for (size_t i = 0; i < row.size(); ++i) {
    const int a = i >= bpp ? row[i - bpp] : 0;
    const int b = previous.empty() ? 0 : previous[i];
    const int c = (i >= bpp && !previous.empty()) ? previous[i - bpp] : 0;
    int predictor = 0;
    switch (type) {
      case 1:
        predictor = a;
        break;
      case 2:
        predictor = b;
        break;
      case 3:
        predictor = (a + b) / 2;
        break;
      case 4:
        predictor = Paeth(a, b, c);
        break;
      default:
        predictor = 0;
        break;
    }
    out[i + 1] = static_cast<uint8_t>(row[i] - predictor);
  }
  return out;
}

void AppendFiltered(Bytes* stream, const std::vector<Bytes>& rows, uint32_t pixelBits, int filter,
                    uint32_t* rowCounter) {
  const uint32_t bpp = (pixelBits + 7) / 8;
  Bytes previous;
  for (const Bytes& row : rows) {
    const int type = filter < 0 ? static_cast<int>((*rowCounter) % 5) : filter;
    ++*rowCounter;
    Append(stream, FilterRow(row, previous, bpp, type));
    previous = row;
  }
}
}  // namespace

Bytes Be32(uint32_t v) {
  return {static_cast<uint8_t>(v >> 24), static_cast<uint8_t>(v >> 16),
          static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

Bytes Be16(uint16_t v) {
  return {static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v)};
}

void Append(Bytes* to, const Bytes& from) {
  to->insert(to->end(), from.begin(), from.end());
}

Bytes PngSignature() {
  return {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
}

Bytes MakeChunk(const std::string& type, const Bytes& data) {
  Bytes chunk = Be32(static_cast<uint32_t>(data.size()));
  chunk.insert(chunk.end(), type.begin(), type.begin() + 4);
  Append(&chunk, data);
  uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type.data()), 4);
  if (!data.empty()) crc = crc32(crc, data.data(), static_cast<uInt>(data.size()));
  Append(&chunk, Be32(static_cast<uint32_t>(crc)));
  return chunk;
}

Bytes MakeChunkBadCrc(const std::string& type, const Bytes& data) {
  Bytes chunk = MakeChunk(type, data);
  chunk.back() ^= 0x5A;
  return chunk;
}

Bytes IhdrData(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
               uint8_t interlace) {
  Bytes d = Be32(width);
  Append(&d, Be32(height));
  d.push_back(bitDepth);
  d.push_back(colorType);
  d.push_back(0);
  d.push_back(0);
  d.push_back(interlace);
  return d;
}

Bytes TextChunk(const std::string& keyword, const std::string& text) {
  Bytes data(keyword.begin(), keyword.end());
  data.push_back(0);
  data.insert(data.end(), text.begin(), text.end());
  return MakeChunk("tEXt", data);
}

Bytes ZlibCompress(const Bytes& raw, int level) {
  uLongf size = compressBound(static_cast<uLong>(raw.size()));
  Bytes out(size);
  compress2(out.data(), &size, raw.data(), static_cast<uLong>(raw.size()), level);
  out.resize(size);
  return out;
}

int ChannelsOf(uint8_t colorType) {
  switch (colorType) {
    case 0:
      return 1;
    case 2:
      return 3;
    case 3:
      return 1;
    case 4:
      return 2;
    case 6:
      return 4;
    default:
      return 0;
  }
}

RawImage RandomImage(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
                     uint32_t seed, uint32_t paletteSize) {
  RawImage image;
  image.width = width;
  image.height = height;
  image.bitDepth = bitDepth;
  image.colorType = colorType;
  std::mt19937 rng(seed);
  const uint32_t samples = width * static_cast<uint32_t>(ChannelsOf(colorType));
  const uint32_t limit = colorType == 3 ? paletteSize : (1u << bitDepth);
  for (uint32_t y = 0; y < height; ++y) {
    Bytes row(image.RowBytes(), 0);
    for (uint32_t s = 0; s < samples; ++s) SetSample(&row, s, bitDepth, rng() % limit);
    image.rows.push_back(row);
  }
  return image;
}

uint32_t PassWidth(uint32_t width, int pass) {
  return (width + kColStep[pass] - 1 - kStartCol[pass]) / kColStep[pass];
}

uint32_t PassHeight(uint32_t height, int pass) {
  return (height + kRowStep[pass] - 1 - kStartRow[pass]) / kRowStep[pass];
}

uint32_t GetSample(const Bytes& row, uint32_t index, uint8_t bitDepth) {
  if (bitDepth == 16) return static_cast<uint32_t>(row[2 * index]) << 8 | row[2 * index + 1];
  if (bitDepth == 8) return row[index];
  const uint32_t bit = index * bitDepth;
  const uint32_t shift = 8 - bitDepth - bit % 8;
  return (row[bit / 8] >> shift) & ((1u << bitDepth) - 1);
}

void SetSample(Bytes* row, uint32_t index, uint8_t bitDepth, uint32_t value) {
  if (bitDepth == 16) {
    (*row)[2 * index] = static_cast<uint8_t>(value >> 8);
    (*row)[2 * index + 1] = static_cast<uint8_t>(value);
    return;
  }
  if (bitDepth == 8) {
    (*row)[index] = static_cast<uint8_t>(value);
    return;
  }
  const uint32_t bit = index * bitDepth;
  const uint32_t shift = 8 - bitDepth - bit % 8;
  const uint32_t mask = ((1u << bitDepth) - 1) << shift;
  (*row)[bit / 8] = static_cast<uint8_t>(((*row)[bit / 8] & ~mask) | ((value << shift) & mask));
}

Bytes FilteredStream(const RawImage& image, const EncodeOptions& options) {
  Bytes stream;
  uint32_t counter = 0;
  const uint32_t pixelBits = image.PixelBits();
  if (!options.interlace) {
    AppendFiltered(&stream, image.rows, pixelBits, options.filter, &counter);
    return stream;
  }
  const int channels = ChannelsOf(image.colorType);
  const uint8_t sampleDepth = image.bitDepth;
  for (int pass = 0; pass < 7; ++pass) {
    const uint32_t pw = PassWidth(image.width, pass);
    if (pw == 0) continue;
    std::vector<Bytes> rows;
    for (uint32_t y = kStartRow[pass]; y < image.height; y += kRowStep[pass]) {
      Bytes row((pw * pixelBits + 7) / 8, 0);
      for (uint32_t i = 0; i < pw; ++i) {
        const uint32_t x = kStartCol[pass] + i * kColStep[pass];
        for (int c = 0; c < channels; ++c) {
          SetSample(&row, i * channels + c, sampleDepth,
                    GetSample(image.rows[y], x * channels + c, sampleDepth));
        }
      }
      rows.push_back(row);
    }
    AppendFiltered(&stream, rows, pixelBits, options.filter, &counter);
  }
  return stream;
}

Bytes EncodePngFromStream(const RawImage& image, const Bytes& zlibStream,
                          const EncodeOptions& options) {
  Bytes file = PngSignature();
  Append(&file, MakeChunk("IHDR", IhdrData(image.width, image.height, image.bitDepth,
                                           image.colorType, options.interlace ? 1 : 0)));
  if (!options.palette.empty()) Append(&file, MakeChunk("PLTE", options.palette));
  if (!options.trns.empty()) Append(&file, MakeChunk("tRNS", options.trns));
  for (const Bytes& chunk : options.chunksBeforeIdat) Append(&file, chunk);
  size_t at = 0;
  size_t sizeIndex = 0;
  bool first = true;
  do {
    size_t n = zlibStream.size() - at;
    if (!options.idatSizes.empty()) {
      const size_t want = options.idatSizes[std::min(sizeIndex, options.idatSizes.size() - 1)];
      ++sizeIndex;
      if (want < n) n = want;
    }
    if (!first && options.zeroLengthIdats) Append(&file, MakeChunk("IDAT", {}));
    first = false;
    Append(&file, MakeChunk("IDAT", Bytes(zlibStream.begin() + at, zlibStream.begin() + at + n)));
    at += n;
  } while (at < zlibStream.size());
  for (const Bytes& chunk : options.chunksAfterIdat) Append(&file, chunk);
  if (options.writeIend) Append(&file, MakeChunk("IEND", {}));
  return file;
}

Bytes EncodePng(const RawImage& image, const EncodeOptions& options) {
  return EncodePngFromStream(image, ZlibCompress(FilteredStream(image, options), options.level),
                             options);
}

}  // namespace pngtrans::test
