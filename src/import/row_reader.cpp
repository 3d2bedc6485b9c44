// The row reader: inflates the image data carried by consecutive IDAT chunks straight into the
// row buffer, one row per call, undoes the row filters and hands the row to the caller (through
// the Adam7 steps of interlace.cpp for interlaced images).
#include <cstdlib>
#include <cstring>

#include "format/adam7.h"
#include "format/adler32.h"
#include "format/chunk_format.h"
#include "format/filter_kernels.h"
#include "import/png_reader.h"
#include "platform/lowio.h"

namespace pngtrans {

namespace {

// The rows' window holds two rows at least (three for a plain image) and 16 KiB at least:
// narrow rows are inflated many at a time (zlib's fast path stops short of the end of each
// output buffer), wide ones keep the rows the unfiltering needs.
constexpr uint32_t kMinWindow = 16384;
// The window and the image data's input buffer share this much, plus the row a plain image
// does not store: narrow rows leave the input buffer more, so that one inflate call turns more
// input into more rows. (The buffer keeps its 8 KiB at least, which the chunks around the image
// data use too.)
constexpr uint32_t kWindowAndInput = 30720;
// The window grows beyond its rows by a batch of up to this many bytes of the image data, so
// that one inflate call fills many rows (zlib's cost per call falls with the output's size),
// and no further: the rows stay in the cache until they are unfiltered and converted, and the
// block stays below the size from which the C heaps give a block pages of its own, mapped (and
// faulted in) afresh at every import (512 KiB on i386 and on 32-bit Windows). It never holds
// more than the image data and the row above.
constexpr uint32_t kMaxBatch = 262144;

}  // namespace

uint64_t InflatedImageBytes(const ReaderState& s) {
  return ImageDataBytes(s.width, s.height, s.pixelDepth, s.interlaced != 0);
}

// A small file may declare any size, and the host would be asked for buffers of that size
// before the data runs out. Deflate needs at least one byte for every 1032 it produces; the
// bytes still in the file (chunk framing and all) and in the input buffer bound the
// compressed data, and two rows allow for what inflate may already have produced. A file that
// cannot be measured (a pipe) is read as far as it goes.
bool PngReader::ImageDataCanFill() const {
  constexpr uint64_t kMaxDeflateRatio = 1032;
  const ReaderState& s = *state_;
  const int64_t left = lowio::BytesLeft(s.file);
  if (left < 0) return true;
  const uint64_t compressed = static_cast<uint64_t>(left) + s.zstream.avail_in;
  const uint64_t need = InflatedImageBytes(s);
  const uint64_t slack = 2 * (static_cast<uint64_t>(s.rowBytes) + 1);
  return need <= slack || (need - slack + kMaxDeflateRatio - 1) / kMaxDeflateRatio <= compressed;
}

Status PngReader::StartRows() {
  ReaderState& s = *state_;
  s.zstream.avail_in = 0;
  // The deflate data goes through a raw inflate (the window stays 32 KiB, as a zlib stream's
  // inflate keeps it whatever the header declares); the wrapper around it is ours.
  if (s.zstreamReady) (void)inflateReset2(&s.zstream, -15);
  s.wrapperPhase = WrapperHeader;
  s.wrapperCount = 0;
  s.imageAdler = 1;
  if (s.interlaced == 0) {
    s.numRows = s.height;
    s.passWidth = s.width;
    s.passRowBytes = s.rowBytes + 1;
  } else {
    s.numRows = (s.transformations & TransformInterlace) ? s.height : (s.height + 7) / 8;
    SetPassGeometry();
  }
  // A row slot: widening an interlaced pass row in place may write up to the next multiple of
  // 8 pixels; then the filter byte and one spare pixel. Rows of any width: the header was
  // refused unless two slots and a row fit 32 bits.
  if (!ReaderRowsFit32(s.width, s.pixelDepth)) return PT_FAIL(StatusError);
  const uint64_t bufferSize = RowSlotBytes(s.width, s.pixelDepth);
  // A plain image takes a third row: the host rows are converted straight from the window, so
  // the row store an interlaced image needs is not taken, and the third slot lets wide rows be
  // inflated two at a time.
  const uint64_t rowsBytes = 2 * bufferSize + (s.interlaced == 0 ? s.rowBytes + 1 : 0);
  const uint32_t rowsWindow =
      rowsBytes > kMinWindow ? static_cast<uint32_t>(rowsBytes) : kMinWindow;
  // The batch on top, up to the image data and one slot for the row above it; when that much
  // cannot be had, the rows alone.
  uint64_t batchWindow = InflatedImageBytes(s) + bufferSize;
  if (batchWindow > kMaxBatch) batchWindow = kMaxBatch;

  // A second run (after a failed first one) must not leak the first run's window.
  std::free(s.window);
  s.window = nullptr;
  s.rowBuffer = nullptr;
  s.previousRow = nullptr;
  // Only the first slot, the zero row above a pass's first row, is read before it is written.
  uint32_t windowSize = rowsWindow;
  if (batchWindow > rowsWindow) {
    windowSize = static_cast<uint32_t>(batchWindow);
    s.window = static_cast<uint8_t*>(ReaderAllocate(windowSize));
  }
  if (s.window == nullptr) {
    windowSize = rowsWindow;
    s.window = static_cast<uint8_t*>(ReaderAllocate(windowSize));
  }
  if (s.window == nullptr) return PT_FAIL(StatusNoMemory);
  s.windowSize = windowSize;

  // The input buffer holds nothing yet (avail_in is 0): it is replaced, not grown, so that the
  // old and the new one are never held at once. Failing that, the old size is taken again.
  const uint64_t allowance =
      kWindowAndInput + (s.interlaced == 0 ? static_cast<uint64_t>(s.rowBytes) + 1 : 0);
  const uint32_t inputSize = allowance > rowsWindow + static_cast<uint64_t>(s.inputBufferSize)
                                 ? static_cast<uint32_t>(allowance - rowsWindow)
                                 : s.inputBufferSize;
  if (inputSize != s.imageInputSize) {
    std::free(s.inputBuffer);
    s.inputBuffer = static_cast<uint8_t*>(ReaderAllocate(inputSize));
    s.imageInputSize = inputSize;
    if (s.inputBuffer == nullptr) {
      s.inputBuffer = static_cast<uint8_t*>(ReaderAllocate(s.inputBufferSize));
      s.imageInputSize = s.inputBufferSize;
    }
    if (s.inputBuffer == nullptr) return PT_FAIL(StatusNoMemory);
  }
  BeginPassWindow();
  s.flags |= FlagRowInit;
  return StatusOk;
}

void PngReader::BeginPassWindow() {
  ReaderState& s = *state_;
  const uint32_t slot = s.passRowBytes;
  s.windowEnd = s.windowSize / slot * slot;
  // The first row of every pass is unfiltered against a zero row, whatever the last pass left.
  std::memset(s.window, 0, slot);
  s.previousRow = s.window;
  s.rowBuffer = s.window + slot;
  s.readAt = slot;
  s.writeAt = slot;
  // A pass without columns holds no data at all, not even filter bytes.
  uint32_t rows = s.height;
  if (s.interlaced != 0) rows = s.passWidth == 0 ? 0 : PassRowCount(s.height, s.pass);
  s.passBytesLeft = static_cast<uint64_t>(rows) * slot;
}

void PngReader::UpdateInfo() {
  ReaderState& s = *state_;
  // A failure here is met again, and reported, by the first ReadRow.
  if ((s.flags & FlagRowInit) == 0) (void)StartRows();
  PngInfo& info = *info_;
  const uint8_t colorType = s.colorType;
  uint8_t channels = 1;
  if (colorType != 3) {
    channels = (colorType & 0x02) ? 3 : 1;
    if (colorType & 0x04) ++channels;
  }
  info.channels = channels;
  info.pixelDepth = static_cast<uint8_t>(channels * s.bitDepth);
  info.rowBytes = RowBytesFor(s.width, info.pixelDepth);
}

Status PngReader::RefillImageData() {
  ReaderState& s = *state_;
  while (s.idatRemaining == 0) {
    // The stored CRC of an IDAT chunk is read but not acted on: a damaged checksum on image
    // data that still inflates cleanly does not cost the user the image.
    (void)FinishChunk(0);
    uint32_t length = 0;
    PT_RETURN_IF_ERROR(ReadChunkHeader(&length));
    if (!ChunkTypeIs(s.chunkType, "IDAT")) return PT_FAIL(StatusError);
    s.idatRemaining = length;
  }
  const uint32_t count = s.idatRemaining < s.imageInputSize ? s.idatRemaining : s.imageInputSize;
  // Past the chunk type the running CRC of an IDAT chunk feeds nothing (its comparison is
  // ignored), so the image data is read without it.
  PT_RETURN_IF_ERROR(ReadBytes(s.inputBuffer, count));
  s.idatRemaining -= count;
  s.zstream.next_in = s.inputBuffer;
  s.zstream.avail_in = count;
  return StatusOk;
}

int PngReader::InflateImageData() {
  ReaderState& s = *state_;
  z_stream& z = s.zstream;
  bool usedWrapper = false;
  if (s.wrapperPhase == WrapperHeader) {
    while (s.wrapperCount < 2 && z.avail_in > 0) {
      s.wrapperBytes[s.wrapperCount++] = *z.next_in++;
      --z.avail_in;
      usedWrapper = true;
    }
    if (s.wrapperCount < 2) return Z_OK;
    // What zlib refuses: a header that is no multiple of 31, a method other than deflate, a
    // window above 32 KiB, and a preset dictionary (zlib asks for it, which is no Z_OK either).
    const uint32_t cmf = s.wrapperBytes[0];
    const uint32_t flg = s.wrapperBytes[1];
    if ((cmf << 8 | flg) % 31 != 0 || (cmf & 0x0F) != Z_DEFLATED || (cmf >> 4) + 8 > 15 ||
        (flg & 0x20) != 0) {
      return Z_DATA_ERROR;
    }
    s.wrapperPhase = WrapperData;
    s.wrapperCount = 0;
    if (z.avail_in == 0) return Z_OK;
  }
  if (s.wrapperPhase == WrapperData) {
    uint8_t* const out = z.next_out;
    int result = inflate(&z, Z_PARTIAL_FLUSH);
    s.imageAdler = Adler32(s.imageAdler, out, static_cast<size_t>(z.next_out - out));
    // zlib counts the header bytes as progress of the same call.
    if (result == Z_BUF_ERROR && usedWrapper) result = Z_OK;
    if (result != Z_STREAM_END) return result;
    s.wrapperPhase = WrapperTrailer;
  }
  if (s.wrapperPhase == WrapperTrailer) {
    while (s.wrapperCount < 4 && z.avail_in > 0) {
      s.wrapperBytes[s.wrapperCount++] = *z.next_in++;
      --z.avail_in;
    }
    if (s.wrapperCount < 4) return Z_OK;
    if (ReadUInt32(s.wrapperBytes) != s.imageAdler) return Z_DATA_ERROR;
    s.wrapperPhase = WrapperDone;
  }
  return Z_STREAM_END;
}

Status PngReader::ReadRow(uint8_t* row) {
  return ReadRowOrView(row, nullptr);
}

Status PngReader::ReadRowView(const uint8_t** view) {
  *view = nullptr;
  return ReadRowOrView(nullptr, view);
}

Status PngReader::FillWindow() {
  ReaderState& s = *state_;
  // The window is empty: the row above moves to the first slot, and one inflate call fills the
  // slots after it, up to the window's end and never past the pass.
  const uint32_t slot = s.passRowBytes;
  if (s.previousRow != s.window) std::memcpy(s.window, s.previousRow, slot);
  s.previousRow = s.window;
  s.readAt = slot;
  s.writeAt = slot;
  uint32_t room = s.windowEnd - slot;
  if (room > s.passBytesLeft) room = static_cast<uint32_t>(s.passBytesLeft);
  PT_RETURN_IF_ERROR(InflateRows(s.window + slot, room));
  s.writeAt += room;
  return StatusOk;
}

Status PngReader::InflateRows(uint8_t* out, uint32_t count) {
  ReaderState& s = *state_;
  // A stream that has already ended cannot deliver another row.
  if (s.flags & FlagZlibFinished) return PT_FAIL(StatusError);
  if (count == 0) return PT_FAIL(StatusError);
  z_stream& z = s.zstream;
  z.next_out = out;
  z.avail_out = count;
  while (z.avail_out != 0) {
    if (z.avail_in == 0) PT_RETURN_IF_ERROR(RefillImageData());
    const int result = InflateImageData();
    if (result == Z_STREAM_END) {
      // Ending inside the image, or with bytes left behind it, is a broken stream.
      if (z.avail_out != 0 || z.avail_in != 0 || s.idatRemaining != 0) {
        return PT_FAIL(StatusError);
      }
      s.mode |= ModeAfterIDAT;
      s.flags |= FlagZlibFinished;
      break;
    }
    if (result != Z_OK) return PT_FAIL(StatusError);
  }
  s.passBytesLeft -= count;
  return StatusOk;
}

Status PngReader::ReadRowOrView(uint8_t* row, const uint8_t** view) {
  ReaderState& s = *state_;
  if ((s.flags & FlagRowInit) == 0) PT_RETURN_IF_ERROR(StartRows());
  const bool interlaceHandling = s.interlaced != 0 && (s.transformations & TransformInterlace);
  // With interlace handling, only the last pass's rows (whole image rows) can be viewed.
  if (interlaceHandling && view != nullptr && s.pass != 6) return PT_FAIL(StatusError);
  if (interlaceHandling && !PassHasRow(s.pass, s.rowNumber, s.width)) return FinishRow();
  if ((s.mode & ModeSawIDAT) == 0) return PT_FAIL(StatusBadFormat);
  if (s.readAt == s.writeAt) PT_RETURN_IF_ERROR(FillWindow());

  RowInfo info;
  info.width = s.passWidth;
  info.rowBytes = RowBytesFor(s.passWidth, s.pixelDepth);
  info.colorType = s.colorType;
  info.bitDepth = s.bitDepth;
  info.channels = s.channels;
  info.pixelDepth = s.pixelDepth;
  uint8_t* const current = s.window + s.readAt;
  s.rowBuffer = current;
  // Two Paeth rows in a row, both inflated: the next one is unfiltered together with this one
  // (their serial chains overlap) and its filter byte becomes None, which leaves it as it is
  // when its turn comes. The next row follows in the same pass: fills stop at the pass end.
  uint8_t* next = nullptr;
  if (s.writeAt - s.readAt >= 2 * s.passRowBytes) next = current + s.passRowBytes;
  if (current[0] == FilterTypePaeth && next != nullptr && next[0] == FilterTypePaeth) {
    const uint32_t bpp = (static_cast<uint32_t>(info.pixelDepth) + 7) / 8;
    UnfilterPaethPair(current + 1, s.previousRow + 1, next + 1, info.rowBytes, bpp);
    next[0] = FilterTypeNone;
  } else {
    PT_RETURN_IF_ERROR(UnfilterRow(info, current + 1, s.previousRow + 1, current[0]));
  }

  if (interlaceHandling && view == nullptr) {
    // The pass row goes straight to its columns of row and stays as it is, for the next row.
    PlacePassPixels(row);
  } else if (view != nullptr) {
    *view = current + 1;
  } else {
    std::memcpy(row, current + 1, info.rowBytes);
  }
  // The unfiltered row stays in its slot as the next row's row above.
  s.previousRow = current;
  s.readAt += s.passRowBytes;
  return FinishRow();
}

Status PngReader::FinishRow() {
  ReaderState& s = *state_;
  ++s.rowNumber;
  if (s.rowNumber < s.numRows) return StatusOk;
  if (s.interlaced != 0 && AdvancePass()) return StatusOk;

  z_stream& z = s.zstream;
  if ((s.flags & FlagZlibFinished) == 0) {
    // Every row is complete but the stream has not reported its end yet (its last block's end
    // code or its trailer is still unread, possibly in a further IDAT chunk). Draining asks
    // for one byte: getting it means the stream holds more data than the image.
    uint8_t scratch = 0;
    z.next_out = &scratch;
    z.avail_out = 1;
    for (;;) {
      if (z.avail_in == 0) PT_RETURN_IF_ERROR(RefillImageData());
      const int result = InflateImageData();
      if (result == Z_STREAM_END) {
        if (z.avail_out == 0 || z.avail_in != 0 || s.idatRemaining != 0) {
          return PT_FAIL(StatusError);
        }
        s.mode |= ModeAfterIDAT;
        s.flags |= FlagZlibFinished;
        break;
      }
      if (result != Z_OK) return PT_FAIL(StatusError);
      if (z.avail_out == 0) return PT_FAIL(StatusError);
    }
    z.next_out = nullptr;
    z.avail_out = 0;
  }
  if (s.idatRemaining != 0 || z.avail_in != 0) return PT_FAIL(StatusError);
  // The stream is clean again, and wrapped, for zTXt chunks after the image.
  (void)inflateReset2(&z, 15);
  s.mode |= ModeAfterIDAT;
  return StatusOk;
}

Status PngReader::UnfilterRow(const RowInfo& row, uint8_t* current, const uint8_t* previous,
                              int filterType) {
  if (filterType < 0 || filterType > FilterTypePaeth) return PT_FAIL(StatusError);
  const uint32_t bpp = (static_cast<uint32_t>(row.pixelDepth) + 7) / 8;
  Unfilter(static_cast<uint8_t>(filterType), current, previous, row.rowBytes, bpp);
  return StatusOk;
}

}  // namespace pngtrans
