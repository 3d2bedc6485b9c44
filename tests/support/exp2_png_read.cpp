#include "support/exp2_png_read.h"

#include <algorithm>
#include <cstdlib>

#include <zlib.h>

#include "support/png_build.h"

namespace pngtrans::test {

namespace {

const int kStartCol[7] = {0, 4, 0, 2, 0, 1, 0};
const int kColStep[7] = {8, 8, 4, 4, 2, 2, 1};
const int kStartRow[7] = {0, 0, 4, 0, 2, 0, 1};
const int kRowStep[7] = {8, 8, 8, 4, 4, 2, 2};

uint32_t Be32At(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
         static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
}

int PaethPredict(int a, int b, int c) {
  const int p = a + b - c;
  const int pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
  if (pa <= pb && pa <= pc) return a;
  return pb <= pc ? b : c;
}

bool Inflate(const Bytes& in, size_t expected, Bytes* out, std::string* error) {
  out->assign(expected + 1, 0);
  z_stream z = {};
  if (inflateInit(&z) != Z_OK) {
    *error = "inflateInit";
    return false;
  }
  z.next_in = const_cast<Bytes::value_type*>(in.data());
  z.avail_in = static_cast<uInt>(in.size());
  z.next_out = out->data();
  z.avail_out = static_cast<uInt>(out->size());
  const int result = inflate(&z, Z_FINISH);
  const size_t produced = out->size() - z.avail_out;
  const uInt unused = z.avail_in;
  inflateEnd(&z);
  if (result != Z_STREAM_END) {
    *error = "image stream does not end where the image does (zlib " + std::to_string(result) +
             ", " + std::to_string(produced) + " of " + std::to_string(expected) + " bytes)";
    return false;
  }
  if (produced != expected) {
    *error = "image stream holds " + std::to_string(produced) + " bytes, expected " +
             std::to_string(expected);
    return false;
  }
  if (unused != 0) {
    *error = "bytes after the end of the image stream";
    return false;
  }
  out->resize(expected);
  return true;
}

}  // namespace

const ReadChunk* ReadPng::Find(const std::string& type) const {
  for (const ReadChunk& c : chunks) {
    if (c.type == type) return &c;
  }
  return nullptr;
}

int ReadPng::Count(const std::string& type) const {
  int n = 0;
  for (const ReadChunk& c : chunks) n += c.type == type ? 1 : 0;
  return n;
}

std::string ReadPng::Sequence() const {
  std::string s;
  for (const ReadChunk& c : chunks) {
    if (c.type == "IDAT" && s.size() >= 4 && s.compare(s.size() - 4, 4, "IDAT") == 0) continue;
    if (!s.empty()) s += ' ';
    s += c.type;
  }
  return s;
}

int ReadPng::Channels() const {
  return ChannelsOf(colorType);
}

bool ReadChunks(const Bytes& file, ReadPng* out, std::string* error) {
  *out = ReadPng();
  const Bytes signature = PngSignature();
  if (file.size() < 8 || !std::equal(signature.begin(), signature.end(), file.begin())) {
    *error = "bad signature";
    return false;
  }
  size_t at = 8;
  while (at < file.size()) {
    if (file.size() - at < 12) {
      *error = "truncated chunk header";
      return false;
    }
    const uint32_t length = Be32At(file, at);
    if (file.size() - at - 12 < length) {
      *error = "truncated chunk";
      return false;
    }
    ReadChunk chunk;
    chunk.type.assign(reinterpret_cast<const char*>(&file[at + 4]), 4);
    chunk.data.assign(file.begin() + at + 8, file.begin() + at + 8 + length);
    const uint32_t crc = static_cast<uint32_t>(crc32(0, &file[at + 4], length + 4));
    chunk.crcOk = crc == Be32At(file, at + 8 + length);
    if (!chunk.crcOk) {
      *error = "CRC mismatch in " + chunk.type;
      return false;
    }
    out->chunks.push_back(chunk);
    at += 12 + length;
  }
  return true;
}

bool ReadPngFile(const Bytes& file, ReadPng* out, std::string* error) {
  if (!ReadChunks(file, out, error)) return false;
  const ReadChunk* ihdr = out->Find("IHDR");
  if (ihdr == nullptr || ihdr->data.size() != 13 || &out->chunks[0] != ihdr) {
    *error = "no IHDR first";
    return false;
  }
  out->width = Be32At(ihdr->data, 0);
  out->height = Be32At(ihdr->data, 4);
  out->bitDepth = ihdr->data[8];
  out->colorType = ihdr->data[9];
  out->interlace = ihdr->data[12];
  const int channels = out->Channels();
  if (channels == 0 || out->bitDepth > 8 || out->width == 0 || out->height == 0) {
    *error = "header outside what the export writes";
    return false;
  }
  Bytes compressed;
  for (const ReadChunk& c : out->chunks) {
    if (c.type == "IDAT") Append(&compressed, c.data);
  }
  const uint32_t pixelBits = static_cast<uint32_t>(channels) * out->bitDepth;
  const uint32_t bpp = (pixelBits + 7) / 8;
  const int passes = out->interlace != 0 ? 7 : 1;
  size_t expected = 0;
  for (int p = 0; p < passes; ++p) {
    const uint32_t w = passes == 7 ? PassWidth(out->width, p) : out->width;
    const uint32_t h = passes == 7 ? PassHeight(out->height, p) : out->height;
    if (w != 0) expected += static_cast<size_t>(h) * (1 + (w * pixelBits + 7) / 8);
  }
  Bytes stream;
  if (!Inflate(compressed, expected, &stream, error)) return false;

  out->rows.assign(out->height, Bytes(static_cast<size_t>(out->width) * channels, 0));
  size_t at = 0;
  for (int p = 0; p < passes; ++p) {
    const uint32_t w = passes == 7 ? PassWidth(out->width, p) : out->width;
    const uint32_t h = passes == 7 ? PassHeight(out->height, p) : out->height;
    if (w == 0) continue;
    const uint32_t rowBytes = (w * pixelBits + 7) / 8;
    Bytes previous(rowBytes, 0);
    for (uint32_t r = 0; r < h; ++r) {
      const uint8_t type = stream[at++];
      out->filters.push_back(type);
      Bytes row(stream.begin() + at, stream.begin() + at + rowBytes);
      at += rowBytes;
      for (uint32_t i = 0; i < rowBytes; ++i) {
        const int a = i >= bpp ? row[i - bpp] : 0;
        const int b = previous[i];
        const int c = i >= bpp ? previous[i - bpp] : 0;
        int predictor = 0;
        switch (type) {
          case 0:
            break;
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
            predictor = PaethPredict(a, b, c);
            break;
          default:
            *error = "invalid filter type " + std::to_string(type);
            return false;
        }
        row[i] = static_cast<uint8_t>(row[i] + predictor);
      }
      previous = row;
      const uint32_t y = passes == 7 ? kStartRow[p] + r * kRowStep[p] : r;
      for (uint32_t i = 0; i < w; ++i) {
        const uint32_t x = passes == 7 ? kStartCol[p] + i * kColStep[p] : i;
        for (int ch = 0; ch < channels; ++ch) {
          out->rows[y][static_cast<size_t>(x) * channels + ch] = static_cast<uint8_t>(
              GetSample(row, i * static_cast<uint32_t>(channels) + ch, out->bitDepth));
        }
      }
    }
  }
  return true;
}

}  // namespace pngtrans::test
