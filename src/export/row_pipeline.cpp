#include <cstdlib>
#include <new>
#include <cstring>
#include <utility>

#include "base/checked_size.h"
#include "export/png_writer.h"
#include "format/adam7.h"
#include "format/filter_kernels.h"

namespace pngtrans {

int PngWriter::InterlacePassCount() {
  WriterState& s = *state_;
  if (s.interlaced == 0) return 1;
  s.transformations |= WriterTransformInterlace;
  return 7;
}

void PngWriter::WriteRow(const uint8_t* row) {
  WriterState& s = *state_;
  // The first failure stops the pipeline; the file end reports it.
  if (s.pipelineStatus != StatusOk || s.rowsComplete) return;
  Status status = StatusOk;
  if (row == nullptr) {
    status = PT_FAIL(StatusError);
  } else {
    status = PipelineRow(row);
  }
  if (status != StatusOk) s.pipelineStatus = status;
}

Status PngWriter::PipelineRow(const uint8_t* row) {
  WriterState& s = *state_;
  if (s.rowBuffer == nullptr) PT_RETURN_IF_ERROR(StartRows());

  const bool picking = s.interlaced != 0 && (s.transformations & WriterTransformInterlace) != 0;
  if (picking && !PassHasRow(s.pass, s.rowNumber, s.width)) return FinishRow();

  RowInfo& ri = s.rowInfo;
  ri.colorType = s.colorType;
  ri.width = s.passWidth;
  ri.channels = s.usrChannels;
  ri.bitDepth = s.usrBitDepth;
  ri.pixelDepth = static_cast<uint8_t>(s.usrChannels * s.usrBitDepth);
  ri.rowBytes = RowBytesFor(ri.width, ri.pixelDepth);
  s.rowBuffer[0] = 0;
  std::memcpy(s.rowBuffer + 1, row, ri.rowBytes);

  if (picking && s.pass < 6) {
    InterlacePick();
    if (ri.width == 0) return FinishRow();
  }
  if ((s.transformations & WriterTransformPack) != 0) ApplyTransformations();
  // Rows that do not end up in the header's layout would be written as a corrupt image: the
  // caller declared a supplied layout that the transformations cannot turn into it.
  if (ri.pixelDepth != s.pixelDepth) return PT_FAIL(StatusError);
  return ChooseFilter();
}

Status PngWriter::StartRows() {
  WriterState& s = *state_;
  // An image without columns has no image data to write.
  if (s.width == 0) return PT_FAIL(StatusBadFormat);
  if (s.outputBuffer == nullptr) return PT_FAIL(StatusError);
  // Rows of an interlaced image are always picked here: there is no way to hand over rows
  // already reduced to a pass.
  if (s.interlaced != 0) s.transformations |= WriterTransformInterlace;

  const uint64_t usrRowBytes =
      (static_cast<uint64_t>(s.usrChannels) * s.usrBitDepth * s.width + 7) / 8;
  if (usrRowBytes + 1 > kMaxBlockBytes || s.rowBytes + static_cast<uint64_t>(1) > kMaxBlockBytes) {
    return PT_FAIL(StatusNoMemory);
  }
  s.rowBufferBytes = static_cast<uint32_t>(usrRowBytes + 1);
  const size_t candidateBytes = static_cast<size_t>(s.rowBytes) + 1;

  s.rowBuffer = static_cast<uint8_t*>(std::calloc(s.rowBufferBytes, 1));
  if (s.rowBuffer == nullptr) return PT_FAIL(StatusNoMemory);
  if ((s.filterMask & (FilterUp | FilterAverage | FilterPaeth)) != 0) {
    s.previousRow = static_cast<uint8_t*>(std::calloc(s.rowBufferBytes, 1));
    if (s.previousRow == nullptr) return PT_FAIL(StatusNoMemory);
  }
  struct Candidate {
    uint8_t bit;
    uint8_t type;
    uint8_t** buffer;
  };
  const Candidate candidates[] = {{FilterSub, 1, &s.subRow},
                                  {FilterUp, 2, &s.upRow},
                                  {FilterAverage, 3, &s.averageRow},
                                  {FilterPaeth, 4, &s.paethRow}};
  for (const Candidate& c : candidates) {
    if ((s.filterMask & c.bit) == 0) continue;
    *c.buffer = static_cast<uint8_t*>(std::malloc(candidateBytes));
    if (*c.buffer == nullptr) return PT_FAIL(StatusNoMemory);
    (*c.buffer)[0] = c.type;
  }

  s.numRows = s.height;
  s.passWidth = s.width;
  s.zstream.next_out = s.outputBuffer;
  s.zstream.avail_out = s.outputBufferSize;

  // An image whose data fills more than one segment is deflated on every core; a smaller one
  // goes through the one stream, byte for byte as it always did.
  const uint64_t dataBytes = ImageDataBytes(s.width, s.height, s.pixelDepth, s.interlaced != 0);
  if (dataBytes > SegmentedDeflate::kSegmentBytes && s.zstreamReady) {
    const SegmentedDeflate::Settings settings = {
        s.compressionLevel, s.compressionMethod, s.windowBits,    s.memoryLevel,
        s.strategy,         s.zstream.zalloc,    s.zstream.zfree, s.zstream.opaque};
    void* block = std::malloc(sizeof(SegmentedDeflate));
    if (block == nullptr) return PT_FAIL(StatusNoMemory);
    s.segments = new (block) SegmentedDeflate(settings, dataBytes, SegmentedDeflate::ThreadCount(),
                                              EmitCompressed, this);
    PT_RETURN_IF_ERROR(s.segments->Start());
  }
  return StatusOk;
}

Status PngWriter::EmitCompressed(void* writer, const uint8_t* bytes, uint32_t count) {
  PngWriter& w = *static_cast<PngWriter*>(writer);
  WriterState& s = *w.state_;
  z_stream& z = s.zstream;  // its output cursor only: the segments have streams of their own
  while (count > 0) {
    const uint32_t piece = count < z.avail_out ? count : z.avail_out;
    std::memcpy(z.next_out, bytes, piece);
    z.next_out += piece;
    z.avail_out -= piece;
    bytes += piece;
    count -= piece;
    if (z.avail_out == 0) PT_RETURN_IF_ERROR(w.WriteFullOutput());
  }
  return StatusOk;
}

void PngWriter::InterlacePick() {
  WriterState& s = *state_;
  RowInfo& ri = s.rowInfo;
  const uint32_t first = PassStartColumn[s.pass];
  const uint32_t step = PassColumnStep[s.pass];
  uint8_t* row = s.rowBuffer + 1;
  const uint32_t width = ri.width;
  const uint32_t depth = ri.pixelDepth;

  // The picked pixel i comes from column first + i * step >= i, so gathering to the front in
  // increasing order never overwrites a pixel before it is read.
  if (depth < 8) {
    const uint32_t mask = (1u << depth) - 1;
    const uint32_t topShift = 8 - depth;
    uint32_t shift = topShift;
    uint32_t accumulator = 0;
    uint8_t* out = row;
    for (uint32_t x = first; x < width; x += step) {
      // 64 bits: a 4-bit row may hold more than 2^32 bits' worth of columns.
      const uint64_t bit = static_cast<uint64_t>(x) * depth;
      const uint32_t value =
          (row[static_cast<size_t>(bit >> 3)] >> (topShift - static_cast<uint32_t>(bit & 7))) &
          mask;
      accumulator |= value << shift;
      if (shift == 0) {
        *out++ = static_cast<uint8_t>(accumulator);
        accumulator = 0;
        shift = topShift;
      } else {
        shift -= depth;
      }
    }
    // A partial last byte keeps its unused low bits zero.
    if (shift != topShift) *out = static_cast<uint8_t>(accumulator);
  } else {
    const uint32_t bytes = depth / 8;
    uint8_t* out = row;
    for (uint32_t x = first; x < width; x += step) {
      const uint8_t* in = row + x * bytes;
      if (in != out) {
        for (uint32_t b = 0; b < bytes; ++b) out[b] = in[b];
      }
      out += bytes;
    }
  }
  ri.width = PassPixelWidth(width, s.pass);
  ri.rowBytes = RowBytesFor(ri.width, ri.pixelDepth);
}

void PngWriter::ApplyTransformations() {
  WriterState& s = *state_;
  RowInfo& ri = s.rowInfo;
  // Pack: one sample per byte into the header's sub-byte depth, the first pixel in the top
  // bits. Only one-channel 8-bit rows are packed; anything else is left for the layout check.
  if ((s.transformations & WriterTransformPack) == 0 || ri.bitDepth != 8 || ri.channels != 1 ||
      s.bitDepth >= 8) {
    return;
  }
  const uint32_t depth = s.bitDepth;
  const uint32_t mask = (1u << depth) - 1;
  const uint32_t topShift = 8 - depth;
  uint8_t* row = s.rowBuffer + 1;
  uint8_t* out = row;
  uint32_t shift = topShift;
  uint32_t accumulator = 0;
  // Output byte k is written only after input bytes up to k * (8 / depth) have been read.
  for (uint32_t x = 0; x < ri.width; ++x) {
    accumulator |= (row[x] & mask) << shift;
    if (shift == 0) {
      *out++ = static_cast<uint8_t>(accumulator);
      accumulator = 0;
      shift = topShift;
    } else {
      shift -= depth;
    }
  }
  if (shift != topShift) *out = static_cast<uint8_t>(accumulator);
  ri.bitDepth = static_cast<uint8_t>(depth);
  ri.pixelDepth = static_cast<uint8_t>(depth * ri.channels);
  ri.rowBytes = RowBytesFor(ri.width, ri.pixelDepth);
}

Status PngWriter::ChooseFilter() {
  WriterState& s = *state_;
  const uint32_t n = s.rowInfo.rowBytes;
  const uint8_t mask = s.filterMask;
  const uint8_t* best = s.rowBuffer;
  // Palette indices and packed pixels: no arithmetic between neighbours, no sums.
  if (mask == FilterNone) return CompressRow(best, n + 1);

  // Minimum sum of absolute differences: the filter whose output bytes are smallest in
  // magnitude tends to leave deflate the most repetition. Candidates are tried in the order
  // None, Sub, Up, Average, Paeth; a later one must be strictly smaller to win, so ties keep
  // the simpler filter.
  const uint32_t bpp = (s.rowInfo.pixelDepth + 7u) / 8u;
  const uint8_t* row = s.rowBuffer + 1;
  const uint8_t* prior = s.previousRow != nullptr ? s.previousRow + 1 : nullptr;
  uint32_t bestSum = kFilterNoSum;
  if ((mask & FilterNone) != 0) bestSum = RawSum(row, n);

  struct Candidate {
    uint8_t bit;
    uint8_t type;
    uint8_t* buffer;
  };
  const Candidate candidates[] = {{FilterSub, FilterTypeSub, s.subRow},
                                  {FilterUp, FilterTypeUp, s.upRow},
                                  {FilterAverage, FilterTypeAverage, s.averageRow},
                                  {FilterPaeth, FilterTypePaeth, s.paethRow}};
  for (const Candidate& c : candidates) {
    if ((mask & c.bit) == 0 || c.buffer == nullptr) continue;
    if (c.bit != FilterSub && prior == nullptr) continue;
    const uint32_t sum = Filter(c.type, c.buffer + 1, row, prior, n, bpp, bestSum);
    if (sum < bestSum) {
      bestSum = sum;
      best = c.buffer;
    }
  }
  return CompressRow(best, n + 1);
}

Status PngWriter::WriteFullOutput() {
  WriterState& s = *state_;
  PT_RETURN_IF_ERROR(WriteIDAT(s.outputBuffer, s.outputBufferSize));
  s.zstream.next_out = s.outputBuffer;
  s.zstream.avail_out = s.outputBufferSize;
  return StatusOk;
}

Status PngWriter::CompressRow(const uint8_t* row, uint32_t length) {
  WriterState& s = *state_;
  z_stream& z = s.zstream;
  if (s.segments != nullptr) {
    PT_RETURN_IF_ERROR(s.segments->Append(row, length));
  } else {
    z.next_in = const_cast<Bytef*>(row);
    z.avail_in = length;
    while (z.avail_in > 0) {
      if (deflate(&z, Z_NO_FLUSH) != Z_OK) return PT_FAIL(StatusWriteError);
      if (z.avail_out == 0) PT_RETURN_IF_ERROR(WriteFullOutput());
    }
  }
  // The row just written is the upper neighbour of the next one.
  if (s.previousRow != nullptr) std::swap(s.previousRow, s.rowBuffer);
  return FinishRow();
}

Status PngWriter::FinishRow() {
  WriterState& s = *state_;
  if (++s.rowNumber < s.numRows) return StatusOk;
  if (s.interlaced != 0) {
    s.rowNumber = 0;
    ++s.pass;
    if (s.pass < 7) {
      // Every pass starts against a zero row.
      if (s.previousRow != nullptr) std::memset(s.previousRow, 0, s.rowBufferBytes);
      return StatusOk;
    }
  }

  s.rowsComplete = true;
  z_stream& z = s.zstream;
  z.next_in = nullptr;
  z.avail_in = 0;
  if (s.segments != nullptr) {
    PT_RETURN_IF_ERROR(s.segments->Finish());
  } else {
    for (;;) {
      const int result = deflate(&z, Z_FINISH);
      if (result != Z_OK && result != Z_STREAM_END) return PT_FAIL(StatusWriteError);
      if (result == Z_STREAM_END) break;
      if (z.avail_out == 0) PT_RETURN_IF_ERROR(WriteFullOutput());
    }
  }
  // The last chunk holds what is left, 1 to 8192 bytes: a stream that ends exactly on a full
  // buffer is written here, not followed by an empty chunk.
  Status status = StatusOk;
  const uint32_t pending = s.outputBufferSize - z.avail_out;
  if (pending > 0) status = WriteIDAT(s.outputBuffer, pending);
  z.next_out = s.outputBuffer;
  z.avail_out = s.outputBufferSize;
  deflateReset(&z);
  return status;
}

}  // namespace pngtrans
