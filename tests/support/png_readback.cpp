#include "support/png_readback.h"

#include <utility>

#include "support/png_parts.h"
#include "support/png_build.h"

namespace pngtrans::test {

namespace {
uint32_t ReadUInt32At(const Bytes& b, size_t at) {
  return static_cast<uint32_t>(b[at]) << 24 | static_cast<uint32_t>(b[at + 1]) << 16 |
         static_cast<uint32_t>(b[at + 2]) << 8 | b[at + 3];
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
  std::vector<ChunkRecord> chunks;
  if (!SplitChunks(file, &chunks)) {
    *error = "bad signature or truncated chunk";
    return false;
  }
  for (ChunkRecord& chunk : chunks) {
    if (!chunk.crcOk) {
      *error = "CRC mismatch in " + chunk.type;
      return false;
    }
    out->chunks.push_back(ReadChunk{std::move(chunk.type), std::move(chunk.data), true});
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
  out->width = ReadUInt32At(ihdr->data, 0);
  out->height = ReadUInt32At(ihdr->data, 4);
  out->bitDepth = ihdr->data[8];
  out->colorType = ihdr->data[9];
  out->interlace = ihdr->data[12];
  const int channels = out->Channels();
  if (channels == 0 || out->bitDepth > 8 || out->width == 0 || out->height == 0) {
    *error = "header outside what the export writes";
    return false;
  }
  // The image data goes through the same independent decoder the writer's tests use.
  SplitPng parts;
  if (!TakeApart(file, &parts, error)) return false;
  const uint32_t samples = out->width * static_cast<uint32_t>(channels);
  for (const Bytes& row : parts.image.rows)
    out->rows.push_back(UnpackRow(row, samples, out->bitDepth));
  for (int type : parts.filterTypes) out->filters.push_back(static_cast<uint8_t>(type));
  return true;
}

}  // namespace pngtrans::test
