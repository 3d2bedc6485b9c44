// PngWriter: the encoder object of one export. It owns three zero-filled blocks (WriterState,
// its PngInfo and the 256-entry WriterPalette). Operations are grouped by concern and
// implemented in the file named beside each group.
#pragma once

#include <cstdint>

#include <zlib.h>

#include "format/png_info.h"
#include "format/row_info.h"
#include "base/status.h"
#include "export/segmented_deflate.h"

namespace pngtrans {

// WriterMode bits.
enum WriterModeBit : uint32_t {
  WroteIHDR = 0x01,
  WrotePLTE = 0x02,
  WroteIDAT = 0x04,
  WroteEndBegun = 0x08,
  WroteIEND = 0x10,
};

// Transformations applied to each row before filtering.
enum WriterTransformBit : uint32_t {
  WriterTransformInterlace = 0x02,
  WriterTransformPack = 0x04,
};

// FilterMask bits.
enum FilterBit : uint8_t {
  FilterNone = 0x08,
  FilterSub = 0x10,
  FilterUp = 0x20,
  FilterAverage = 0x40,
  FilterPaeth = 0x80,
  FilterAll = 0xF8,
};

struct WriterPalette {
  uint8_t rgb[256][3];
};

struct WriterState {
  // --- file ---
  int file;
  bool writeFailed;          // a write to the file failed: what is there is broken
  uint32_t mode;             // WriterModeBit
  uint32_t transformations;  // WriterTransformBit

  // --- deflate ---
  z_stream zstream;
  bool zstreamReady;  // deflateInit2 succeeded; deflateEnd is due at teardown
  uint8_t* outputBuffer;
  uint32_t outputBufferSize;  // 8192
  int16_t compressionLevel;
  int16_t compressionMethod;
  int16_t windowBits;
  int16_t memoryLevel;
  int16_t strategy;

  // --- geometry ---
  uint32_t width;
  uint32_t height;
  uint32_t numRows;    // rows of the current pass
  uint32_t passWidth;  // pixels per row of the current pass
  uint32_t rowBytes;   // bytes per full row
  uint32_t rowNumber;
  RowInfo rowInfo;

  // --- row buffers (filter type byte + row) ---
  uint8_t* rowBuffer;
  uint8_t* previousRow;
  uint8_t* subRow;
  uint8_t* upRow;
  uint8_t* averageRow;
  uint8_t* paethRow;
  uint32_t rowBufferBytes;  // size of the current and previous rows, filter byte included

  // --- chunk ---
  uint32_t crc;
  uint16_t paletteCount;

  uint8_t interlaced;
  uint8_t pass;
  uint8_t filterMask;
  uint8_t colorType;
  uint8_t bitDepth;
  uint8_t usrBitDepth;  // bit depth of the rows the caller supplies
  uint8_t pixelDepth;
  uint8_t channels;
  uint8_t usrChannels;  // channels of the rows the caller supplies
  uint8_t sigBytes;     // signature bytes already written (always 0)

  // First failure inside the row pipeline. WriteRow reports nothing to its caller; once this
  // is set, later rows are dropped and the file end fails with it.
  Status pipelineStatus;

  // The last row of the image has been compressed and the stream finished: later rows are
  // dropped, and the file end may follow. Rows that were started but never completed make the
  // file end fail instead of closing a truncated image stream with IEND.
  bool rowsComplete;

  // Large images: the image data deflated in segments on several threads (null: one stream).
  SegmentedDeflate* segments;
};

class PngWriter {
 public:
  PngWriter();
  ~PngWriter();
  PngWriter(const PngWriter&) = delete;
  PngWriter& operator=(const PngWriter&) = delete;

  // False when one of the three blocks could not be allocated.
  bool Constructed() const { return state_ != nullptr && info_ != nullptr && palette_ != nullptr; }

  WriterState& state() { return *state_; }
  PngInfo& info() { return *info_; }
  WriterPalette& palette() { return *palette_; }
  void SetFile(int fd) { state_->file = fd; }

  // --- writer object and chunk output (png_writer.cpp) ---
  Status StartWriter();
  void TeardownWriter();
  Status WriteBytes(const void* data, uint32_t count);
  Status BeginChunk(const char* type, uint32_t length);
  Status WriteChunkData(const void* data, uint32_t count);
  Status EndChunk();
  Status WriteChunk(const char* type, const void* data, uint32_t count);
  Status WriteSignature();

  // --- chunk writers (chunk_writers.cpp) ---
  Status WriteIHDR(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
                   uint8_t interlace);
  // Refuses (2) no entries, more than 256, or more than a palette image's depth can address.
  Status WritePLTE(const uint8_t* palette, uint32_t count);
  Status WriteIDAT(const uint8_t* data, uint32_t count);
  Status WriteIEND();
  // Palette images: the alpha table is cut to the palette's length, and a background index
  // outside the palette writes no bKGD (either would make the file invalid).
  Status WritetRNS();
  Status WritebKGD();
  Status WritepHYs(uint32_t x, uint32_t y, uint8_t unit);
  // The whole text is written, whatever its length (2 only when the chunk would pass 2^31 - 1).
  Status WritetEXt(const char* keyword, const char* text, uint32_t length);
  Status WriteFileHead();
  // The row pipeline's first failure if any (no IEND); 6 when no image data was written or the
  // rows were started but not all given; else the IEND write's status.
  Status WriteFileEnd();

  // --- row pipeline (row_pipeline.cpp) ---
  int InterlacePassCount();
  // One row of width x usrChannels samples at usrBitDepth; call it height times per pass.
  // Failures are kept in state.pipelineStatus and reported by WriteFileEnd.
  void WriteRow(const uint8_t* row);
  Status StartRows();
  void InterlacePick();
  void ApplyTransformations();
  Status ChooseFilter();
  Status CompressRow(const uint8_t* row, uint32_t length);
  // The output buffer is full: it goes out as one IDAT chunk and fills again from its start.
  Status WriteFullOutput();
  // The segmented stream's output, into IDAT chunks of the output buffer's size.
  static Status EmitCompressed(void* writer, const uint8_t* bytes, uint32_t count);
  Status FinishRow();
  // Steps of WriteRow after the stop checks; WriteRow records its first failure in
  // state.pipelineStatus.
  Status PipelineRow(const uint8_t* row);

 private:
  WriterState* state_;
  PngInfo* info_;
  WriterPalette* palette_;
};

// Cleans a keyword: bytes outside 32-126 and 161-255 become spaces, leading and trailing
// spaces go, inner runs shrink to one, and at most 79 characters remain. Returns a new string
// (the caller frees it with free()) and its length through *length; null with length 0 for a
// null or empty keyword, null with length -1 when memory is short.
char* CheckKeyword(const char* keyword, int32_t* length);

}  // namespace pngtrans
