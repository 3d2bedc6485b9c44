// Takes PNG files apart without the module's code, for checking what the writer produced:
// chunk list with CRC check, inflated image data, and rows unfiltered and de-interlaced by a
// small independent decoder, so pixel checks run on both targets (libpng judges on Linux too).
// Nothing here links against the module's core library.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "support/png_build.h"

namespace pngtrans::test {

struct ChunkRecord {
  std::string type;
  Bytes data;
  bool crcOk = false;
};

// The chunks after the signature, in order; false when the signature is wrong or a chunk runs
// past the end of the file.
bool SplitChunks(const Bytes& file, std::vector<ChunkRecord>* chunks);

// The concatenated IDAT data inflated; false when zlib rejects it or it does not end exactly.
bool InflateImageData(const std::vector<ChunkRecord>& chunks, Bytes* stream);

// Rows of the inflated stream unfiltered (and for Adam7 put back in place), as stored in the
// file without filter bytes; filterTypes receives every stored row's filter byte in stream
// order. False when the stream is too short, too long or holds an invalid filter byte.
bool DecodeStream(const Bytes& stream, uint32_t width, uint32_t height, uint8_t bitDepth,
                  uint8_t colorType, bool interlaced, std::vector<Bytes>* rows,
                  std::vector<int>* filterTypes);

// All of the above on a whole file: chunks, inflated stream, header, rows and filter types.
struct SplitPng {
  std::vector<ChunkRecord> chunks;
  Bytes stream;
  RawImage image;
  bool interlaced = false;
  std::vector<int> filterTypes;
};
bool TakeApart(const Bytes& file, SplitPng* out, std::string* error);

// The chunk types in file order, e.g. "IHDR PLTE IDAT IEND".
std::string ChunkLayout(const std::vector<ChunkRecord>& chunks);

// The verdict on a file the writer produced: signature, chunk CRCs, an IDAT stream that
// inflates exactly to the header's rows, every IDAT but the last of 8192 bytes, pixels equal to
// expected; on Linux also libpng's decoding (same pixels) and pngcheck's acceptance. split
// (optional) receives the file taken apart.
::testing::AssertionResult JudgeWrittenFile(const std::string& path, const RawImage& expected,
                                            bool interlaced, SplitPng* split = nullptr);

// Samples of a packed row, one per byte (sub-byte depths).
Bytes UnpackRow(const Bytes& row, uint32_t samples, uint8_t bitDepth);

// A row buffer that ends at a guard page: a reader that goes one byte past the row it was
// given crashes the test.
class GuardedRow {
 public:
  explicit GuardedRow(size_t size);
  ~GuardedRow();
  GuardedRow(const GuardedRow&) = delete;
  GuardedRow& operator=(const GuardedRow&) = delete;
  // Copies row so that it ends flush against the guard page; returns its start.
  const uint8_t* Fill(const Bytes& row);

 private:
  size_t size_;
  void* block_;
};

}  // namespace pngtrans::test
