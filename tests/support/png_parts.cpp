#include "support/png_parts.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <zlib.h>

#include "support/guarded_memory.h"
#include "support/png_judge.h"

namespace pngtrans::test {

namespace {

constexpr int kStartCol[7] = {0, 4, 0, 2, 0, 1, 0};
constexpr int kColStep[7] = {8, 8, 4, 4, 2, 2, 1};
constexpr int kStartRow[7] = {0, 0, 4, 0, 2, 0, 1};
constexpr int kRowStep[7] = {8, 8, 8, 4, 4, 2, 2};

uint32_t ReadBe32(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
}

uint8_t PaethPredictor(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a);
  const int pb = std::abs(p - b);
  const int pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return static_cast<uint8_t>(a);
  if (pb <= pc) return static_cast<uint8_t>(b);
  return static_cast<uint8_t>(c);
}

// Unfilters `count` rows of `rowBytes` bytes from stream at *at.
bool UnfilterRows(const Bytes& stream, size_t* at, uint32_t count, uint32_t rowBytes, uint32_t bpp,
                  std::vector<Bytes>* rows, std::vector<int>* filterTypes) {
  Bytes prior(rowBytes, 0);
  for (uint32_t r = 0; r < count; ++r) {
    if (stream.size() - *at < static_cast<size_t>(rowBytes) + 1) return false;
    const int type = stream[*at];
    filterTypes->push_back(type);
    Bytes row(stream.begin() + static_cast<std::ptrdiff_t>(*at + 1),
              stream.begin() + static_cast<std::ptrdiff_t>(*at + 1 + rowBytes));
    *at += rowBytes + 1;
    for (uint32_t i = 0; i < rowBytes; ++i) {
      const int a = i >= bpp ? row[i - bpp] : 0;
      const int b = prior[i];
      const int c = i >= bpp ? prior[i - bpp] : 0;
      int predicted = 0;
      switch (type) {
        case 0:
          predicted = 0;
          break;
        case 1:
          predicted = a;
          break;
        case 2:
          predicted = b;
          break;
        case 3:
          predicted = (a + b) / 2;
          break;
        case 4:
          predicted = PaethPredictor(a, b, c);
          break;
        default:
          return false;
      }
      row[i] = static_cast<uint8_t>(row[i] + predicted);
    }
    rows->push_back(row);
    prior = row;
  }
  return true;
}

}  // namespace

Bytes UnpackRow(const Bytes& row, uint32_t samples, uint8_t bitDepth) {
  Bytes out(samples);
  for (uint32_t i = 0; i < samples; ++i) out[i] = static_cast<uint8_t>(GetSample(row, i, bitDepth));
  return out;
}

GuardedRow::GuardedRow(size_t size) : size_(size == 0 ? 1 : size), block_(GuardedAlloc(size_)) {}

GuardedRow::~GuardedRow() {
  GuardedFree(block_);
}

const uint8_t* GuardedRow::Fill(const Bytes& row) {
  auto* bytes = static_cast<uint8_t*>(block_);
  std::memcpy(bytes + size_ - row.size(), row.data(), row.size());
  return bytes + size_ - row.size();
}

bool SplitChunks(const Bytes& file, std::vector<ChunkRecord>* chunks) {
  chunks->clear();
  const Bytes signature = PngSignature();
  if (file.size() < 8 || !std::equal(signature.begin(), signature.end(), file.begin())) {
    return false;
  }
  size_t at = 8;
  while (at < file.size()) {
    if (file.size() - at < 12) return false;
    const uint32_t length = ReadBe32(&file[at]);
    if (file.size() - at - 12 < length) return false;
    ChunkRecord chunk;
    chunk.type.assign(reinterpret_cast<const char*>(&file[at + 4]), 4);
    chunk.data.assign(file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                      file.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
    const uint32_t stored = ReadBe32(&file[at + 8 + length]);
    const uLong crc = crc32(0, &file[at + 4], 4 + length);
    chunk.crcOk = stored == static_cast<uint32_t>(crc);
    chunks->push_back(chunk);
    at += 12 + static_cast<size_t>(length);
  }
  return true;
}

bool InflateImageData(const std::vector<ChunkRecord>& chunks, Bytes* stream) {
  Bytes compressed;
  for (const ChunkRecord& chunk : chunks) {
    if (chunk.type == "IDAT") Append(&compressed, chunk.data);
  }
  stream->clear();
  z_stream z = {};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = compressed.data();
  z.avail_in = static_cast<uInt>(compressed.size());
  uint8_t buffer[16384];
  int result = Z_OK;
  while (result == Z_OK) {
    z.next_out = buffer;
    z.avail_out = sizeof(buffer);
    result = inflate(&z, Z_NO_FLUSH);
    stream->insert(stream->end(), buffer, buffer + (sizeof(buffer) - z.avail_out));
  }
  const bool ended = result == Z_STREAM_END && z.avail_in == 0;
  inflateEnd(&z);
  return ended;
}

bool DecodeStream(const Bytes& stream, uint32_t width, uint32_t height, uint8_t bitDepth,
                  uint8_t colorType, bool interlaced, std::vector<Bytes>* rows,
                  std::vector<int>* filterTypes) {
  rows->clear();
  filterTypes->clear();
  const uint32_t pixelBits = static_cast<uint32_t>(ChannelsOf(colorType)) * bitDepth;
  const uint32_t bpp = (pixelBits + 7) / 8;
  size_t at = 0;
  if (!interlaced) {
    if (!UnfilterRows(stream, &at, height, (width * pixelBits + 7) / 8, bpp, rows, filterTypes)) {
      return false;
    }
    return at == stream.size();
  }
  rows->assign(height, Bytes((width * pixelBits + 7) / 8, 0));
  const uint32_t channels = static_cast<uint32_t>(ChannelsOf(colorType));
  for (int pass = 0; pass < 7; ++pass) {
    const uint32_t pw = PassWidth(width, pass);
    const uint32_t ph = PassHeight(height, pass);
    if (pw == 0 || ph == 0) continue;
    std::vector<Bytes> passRows;
    if (!UnfilterRows(stream, &at, ph, (pw * pixelBits + 7) / 8, bpp, &passRows, filterTypes)) {
      return false;
    }
    for (uint32_t r = 0; r < ph; ++r) {
      const uint32_t y = kStartRow[pass] + r * kRowStep[pass];
      for (uint32_t i = 0; i < pw; ++i) {
        const uint32_t x = kStartCol[pass] + i * kColStep[pass];
        for (uint32_t c = 0; c < channels; ++c) {
          SetSample(&(*rows)[y], x * channels + c, bitDepth,
                    GetSample(passRows[r], i * channels + c, bitDepth));
        }
      }
    }
  }
  return at == stream.size();
}

bool TakeApart(const Bytes& file, SplitPng* out, std::string* error) {
  *out = SplitPng();
  if (!SplitChunks(file, &out->chunks)) {
    *error = "bad signature or truncated chunk";
    return false;
  }
  for (const ChunkRecord& chunk : out->chunks) {
    if (!chunk.crcOk) {
      *error = "CRC mismatch in " + chunk.type;
      return false;
    }
  }
  if (out->chunks.empty() || out->chunks[0].type != "IHDR" || out->chunks[0].data.size() != 13) {
    *error = "no IHDR first";
    return false;
  }
  const Bytes& ihdr = out->chunks[0].data;
  out->image.width = ReadBe32(&ihdr[0]);
  out->image.height = ReadBe32(&ihdr[4]);
  out->image.bitDepth = ihdr[8];
  out->image.colorType = ihdr[9];
  out->interlaced = ihdr[12] == 1;
  if (!InflateImageData(out->chunks, &out->stream)) {
    *error = "image data does not inflate to one complete stream";
    return false;
  }
  if (!DecodeStream(out->stream, out->image.width, out->image.height, out->image.bitDepth,
                    out->image.colorType, out->interlaced, &out->image.rows, &out->filterTypes)) {
    *error = "image data does not hold the rows of the header";
    return false;
  }
  return true;
}

std::string ChunkLayout(const std::vector<ChunkRecord>& chunks) {
  std::string layout;
  for (const ChunkRecord& chunk : chunks) {
    if (!layout.empty()) layout += ' ';
    layout += chunk.type;
  }
  return layout;
}

::testing::AssertionResult JudgeWrittenFile(const std::string& path, const RawImage& expected,
                                            bool interlaced, SplitPng* split) {
  Bytes file;
  if (!ReadFileBytes(path, &file)) return ::testing::AssertionFailure() << "cannot read " << path;
  SplitPng local;
  SplitPng& parts = split != nullptr ? *split : local;
  std::string error;
  if (!TakeApart(file, &parts, &error)) return ::testing::AssertionFailure() << error;
  const RawImage& got = parts.image;
  if (got.width != expected.width || got.height != expected.height ||
      got.bitDepth != expected.bitDepth || got.colorType != expected.colorType ||
      parts.interlaced != interlaced) {
    return ::testing::AssertionFailure()
           << "header " << got.width << "x" << got.height << " depth " << int(got.bitDepth)
           << " type " << int(got.colorType) << " interlace " << parts.interlaced;
  }
  for (uint32_t y = 0; y < expected.height; ++y) {
    if (got.rows[y] != expected.rows[y]) return ::testing::AssertionFailure() << "row " << y;
  }
  std::vector<size_t> idatSizes;
  for (const ChunkRecord& chunk : parts.chunks) {
    if (chunk.type == "IDAT") idatSizes.push_back(chunk.data.size());
  }
  for (size_t i = 0; i + 1 < idatSizes.size(); ++i) {
    if (idatSizes[i] != 8192) {
      return ::testing::AssertionFailure() << "IDAT " << i << " holds " << idatSizes[i];
    }
  }
  if (idatSizes.empty() || idatSizes.back() == 0 || idatSizes.back() > 8192) {
    return ::testing::AssertionFailure() << "no IDAT or a last IDAT of a wrong size";
  }
  if (parts.chunks.back().type != "IEND" || !parts.chunks.back().data.empty()) {
    return ::testing::AssertionFailure() << "file does not end with IEND";
  }
#if PNGTRANS_HAVE_LIBPNG
  DecodedPng decoded;
  if (!DecodeWithLibpng(file, &decoded)) {
    return ::testing::AssertionFailure() << "libpng: " << decoded.error;
  }
  if (decoded.rows != expected.rows) return ::testing::AssertionFailure() << "libpng pixels differ";
  std::string output;
  if (!RunPngcheck(path, &output)) return ::testing::AssertionFailure() << "pngcheck: " << output;
#endif
  return ::testing::AssertionSuccess();
}

}  // namespace pngtrans::test
