// Exported files as the export tests judge them, on both targets (libpng exists only for the
// Linux build): chunk list with CRC checks, and every row, decoded by the independent decoder
// of png_parts.h, as one byte per sample.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "support/files.h"

namespace pngtrans::test {

struct ReadChunk {
  std::string type;
  Bytes data;
  bool crcOk = false;
};

struct ReadPng {
  std::vector<ReadChunk> chunks;
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bitDepth = 0;
  uint8_t colorType = 0;
  uint8_t interlace = 0;
  // One byte per sample (sub-byte samples unpacked, not scaled), rows top first.
  std::vector<Bytes> rows;
  // Filter type of every stored row, in stream order.
  std::vector<uint8_t> filters;

  const ReadChunk* Find(const std::string& type) const;
  int Count(const std::string& type) const;
  // The chunk types in file order, IDATs folded into one "IDAT".
  std::string Sequence() const;
  int Channels() const;
};

// Splits the file into chunks (false with error set for a bad signature, a truncated chunk or
// a CRC mismatch). Does not look at the image data.
bool ReadChunks(const Bytes& file, ReadPng* out, std::string* error);

// Chunks plus the decoded image; false with error set when anything is malformed, including
// trailing or missing image data.
bool ReadPngFile(const Bytes& file, ReadPng* out, std::string* error);

}  // namespace pngtrans::test
