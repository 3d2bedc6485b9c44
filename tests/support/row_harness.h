// Test harness for the row side of the reader, independent of the chunk handlers: walks a file
// up to its first IDAT chunk taking the header fields from IHDR (every other chunk skipped), so
// that the row reader and ReadImageIntoHost can be driven directly. Header-only, for unit tests
// (which link the core library).
#pragma once

#include <cstring>

#include "format/chunk_format.h"
#include "import/png_reader.h"
#include "support/reader_harness.h"
#include "support/import_host.h"

namespace pngtrans::test {

// Positions a reader whose signature has been read at the data of the first IDAT chunk, as
// the head chunk loop leaves it. Fails with the status of a read, or StatusBadFormat when the
// file has no IHDR before its first IDAT.
inline Status SkipToImageData(PngReader& reader) {
  ReaderState& s = reader.state();
  bool sawHeader = false;
  for (;;) {
    uint32_t length = 0;
    const Status status = reader.ReadChunkHeader(&length);
    if (status != StatusOk) return status;
    if (ChunkTypeIs(s.chunkType, "IDAT")) {
      if (!sawHeader) return StatusBadFormat;
      s.idatRemaining = length;
      s.mode |= ModeSawIDAT;
      return StatusOk;
    }
    if (ChunkTypeIs(s.chunkType, "IHDR") && length == 13) {
      uint8_t d[13];
      const Status read = reader.ReadChunkData(d, 13);
      if (read != StatusOk) return read;
      (void)reader.FinishChunk(0);
      s.width = ReadUInt32(d);
      s.height = ReadUInt32(d + 4);
      s.bitDepth = d[8];
      s.colorType = d[9];
      s.interlaced = d[12];
      s.channels = static_cast<uint8_t>(ChannelsOf(s.colorType));
      s.pixelDepth = static_cast<uint8_t>(s.channels * s.bitDepth);
      s.rowBytes = RowBytesFor(s.width, s.pixelDepth);
      s.mode |= ModeSawIHDR;
      sawHeader = true;
      continue;
    }
    (void)reader.FinishChunk(length);
  }
}

// Describes the host image as the header mapping does and lets the host allocate.
inline bool DescribeAndAllocate(const RawImage& raw, GuardedHost* host) {
  const ExpectedHost e = ExpectHost(raw);
  HostImage* image = host->image();
  image->width = raw.width;
  image->height = raw.height;
  image->colorKind = e.colorKind;
  image->bitsPerPixel = e.bitsPerPixel;
  image->paletteCount = 256;
  image->rowBytes = e.rowBytes;
  image->maskKind = e.maskKind;
  image->maskBits = e.maskKind != 0 ? 8 : 0;
  image->maskRowBytes = e.maskRowBytes;
  return image->allocate(image) != 0;
}

// The image part of an import on its own: reader set up on the file, positioned at the image
// data, UpdateInfo, then ReadImageIntoHost into the host (allocated for raw's geometry).
class RowsIntoHost {
 public:
  RowsIntoHost(const Bytes& file, const RawImage& raw) : reader_(file) {
    EXPECT_EQ(reader_.initStatus(), StatusOk);
    EXPECT_EQ(reader_.signatureStatus(), StatusOk);
    EXPECT_EQ(SkipToImageData(reader_.reader()), StatusOk);
    EXPECT_TRUE(DescribeAndAllocate(raw, &host_));
  }
  Status Run(ProgressCallback progress = nullptr) {
    reader_->UpdateInfo();
    return reader_->ReadImageIntoHost(host_.image(), progress);
  }
  PngReader& reader() { return reader_.reader(); }
  GuardedHost& host() { return host_; }

 private:
  ReaderOnFile reader_;
  GuardedHost host_;
};

}  // namespace pngtrans::test
