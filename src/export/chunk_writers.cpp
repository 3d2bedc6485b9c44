#include <cstdlib>
#include <cstring>

#include "export/png_writer.h"
#include "format/chunk_format.h"
#include "base/checked_size.h"
#include "base/zlib_memory.h"

namespace pngtrans {

namespace {

// Keywords are 1 to 79 Latin-1 characters.
constexpr int32_t kMaxKeywordLength = 79;

// The PNG limit for image dimensions.
constexpr uint32_t kMaxDimension = 0x7FFFFFFF;

bool KeywordByteAllowed(uint8_t b) {
  return (b >= 32 && b <= 126) || b >= 161;
}

// Channels of a colour type at a bit depth, or the status that refuses the pair. Grey + alpha
// and RGB + alpha below 8 bits are told apart (6) from the other refusals (2), which is what
// the export driver reports for each.
Status HeaderChannels(uint8_t colorType, uint8_t bitDepth, uint8_t* channels) {
  const bool eightOrSixteen = bitDepth == 8 || bitDepth == 16;
  const bool upToEight = bitDepth == 1 || bitDepth == 2 || bitDepth == 4 || bitDepth == 8;
  switch (colorType) {
    case 0:
      if (!upToEight && bitDepth != 16) return PT_FAIL(StatusWriteError);
      *channels = 1;
      return StatusOk;
    case 2:
      if (!eightOrSixteen) return PT_FAIL(StatusWriteError);
      *channels = 3;
      return StatusOk;
    case 3:
      if (!upToEight) return PT_FAIL(StatusWriteError);
      *channels = 1;
      return StatusOk;
    case 4:
      if (!eightOrSixteen) return PT_FAIL(StatusBadFormat);
      *channels = 2;
      return StatusOk;
    case 6:
      if (!eightOrSixteen) return PT_FAIL(StatusBadFormat);
      *channels = 4;
      return StatusOk;
    default:
      return PT_FAIL(StatusWriteError);
  }
}

// The entries a palette image can address at its bit depth.
uint32_t PaletteLimit(uint8_t bitDepth) {
  return bitDepth < 8 ? 1u << bitDepth : 256u;
}

}  // namespace

char* CheckKeyword(const char* keyword, int32_t* length) {
  *length = 0;
  if (keyword == nullptr || keyword[0] == '\0') return nullptr;
  const size_t size = std::strlen(keyword);
  char* cleaned = static_cast<char*>(std::malloc(size + 1));
  if (cleaned == nullptr) {
    *length = -1;
    return nullptr;
  }
  // One pass: unprintable bytes become spaces, and only a space that is followed by a kept
  // character survives, which drops leading and trailing spaces and folds inner runs.
  size_t out = 0;
  bool pendingSpace = false;
  for (size_t i = 0; i < size; ++i) {
    const uint8_t b = static_cast<uint8_t>(keyword[i]);
    if (b == ' ' || !KeywordByteAllowed(b)) {
      pendingSpace = out > 0;
      continue;
    }
    if (pendingSpace) cleaned[out++] = ' ';
    pendingSpace = false;
    cleaned[out++] = static_cast<char>(b);
  }
  // Cutting at 79 may end the keyword on an inner space, which the format forbids as much as
  // any other trailing space.
  if (out > static_cast<size_t>(kMaxKeywordLength)) {
    out = kMaxKeywordLength;
    while (out > 0 && cleaned[out - 1] == ' ') --out;
  }
  cleaned[out] = '\0';
  *length = static_cast<int32_t>(out);
  return cleaned;
}

Status PngWriter::WriteIHDR(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
                            uint8_t interlace) {
  WriterState& s = *state_;
  uint8_t channels = 0;
  PT_RETURN_IF_ERROR(HeaderChannels(colorType, bitDepth, &channels));
  if (width > kMaxDimension || height > kMaxDimension) return PT_FAIL(StatusWriteError);
  const uint8_t pixelDepth = static_cast<uint8_t>(channels * bitDepth);
  // A row plus its filter byte must be addressable: beyond that no row buffer can exist.
  const uint64_t rowBytes = (static_cast<uint64_t>(width) * pixelDepth + 7) / 8;
  if (rowBytes + 1 > UINT32_MAX) return PT_FAIL(StatusNoMemory);

  s.bitDepth = bitDepth;
  s.colorType = colorType;
  s.interlaced = interlace != 0 ? 1 : 0;
  s.width = width;
  s.height = height;
  s.channels = channels;
  s.pixelDepth = pixelDepth;
  s.rowBytes = static_cast<uint32_t>(rowBytes);
  s.passWidth = width;
  s.usrBitDepth = bitDepth;
  s.usrChannels = channels;

  uint8_t data[13];
  PutU32BE(data, width);
  PutU32BE(data + 4, height);
  data[8] = bitDepth;
  data[9] = colorType;
  data[10] = 0;  // compression method
  data[11] = 0;  // filter method
  data[12] = s.interlaced;
  PT_RETURN_IF_ERROR(WriteChunk("IHDR", data, sizeof(data)));

  // A header written a second time restarts the stream rather than leaking the first one.
  if (s.zstreamReady) {
    deflateEnd(&s.zstream);
    s.zstreamReady = false;
  }
  std::memset(&s.zstream, 0, sizeof(s.zstream));
  s.zstream.zalloc = zlibAllocate;
  s.zstream.zfree = zlibFree;
  s.zstream.opaque = &s;

  // Filtering pays only where neighbouring bytes are neighbouring samples: palette indices
  // and packed sub-byte pixels have no such arithmetic relation, so they stay unfiltered.
  s.filterMask = (colorType == 3 || bitDepth < 8) ? FilterNone : FilterAll;
  s.strategy = s.filterMask != FilterNone ? Z_FILTERED : Z_DEFAULT_STRATEGY;
  s.compressionLevel = Z_DEFAULT_COMPRESSION;
  s.memoryLevel = 8;
  s.windowBits = 15;
  s.compressionMethod = Z_DEFLATED;
  // A stream that fails to start is not an error here: the row pipeline then fails on its
  // first deflate call, and the file end reports it.
  s.zstreamReady = deflateInit2_(&s.zstream, s.compressionLevel, s.compressionMethod, s.windowBits,
                                 s.memoryLevel, s.strategy, ZLIB_VERSION,
                                 static_cast<int>(sizeof(z_stream))) == Z_OK;
  s.zstream.next_out = s.outputBuffer;
  s.zstream.avail_out = s.outputBuffer != nullptr ? s.outputBufferSize : 0;

  s.mode = WroteIHDR;
  return StatusOk;
}

Status PngWriter::WritePLTE(const uint8_t* palette, uint32_t count) {
  WriterState& s = *state_;
  if (palette == nullptr || count == 0 || count > 256) return PT_FAIL(StatusWriteError);
  // More entries than a palette image's indices can reach make the file invalid.
  if ((s.mode & WroteIHDR) != 0 && s.colorType == 3 && count > PaletteLimit(s.bitDepth)) {
    return PT_FAIL(StatusWriteError);
  }
  s.paletteCount = static_cast<uint16_t>(count);
  PT_RETURN_IF_ERROR(WriteChunk("PLTE", palette, 3 * count));
  s.mode |= WrotePLTE;
  return StatusOk;
}

Status PngWriter::WriteIDAT(const uint8_t* data, uint32_t count) {
  state_->mode |= WroteIDAT;
  return WriteChunk("IDAT", data, count);
}

Status PngWriter::WriteIEND() {
  PT_RETURN_IF_ERROR(WriteChunk("IEND", nullptr, 0));
  state_->mode |= WroteIEND;
  return StatusOk;
}

Status PngWriter::WritetRNS() {
  const WriterState& s = *state_;
  const PngInfo& info = *info_;
  uint8_t data[6];
  switch (s.colorType) {
    case 3: {
      // Entries past the palette describe indices no pixel can have, and a table longer than
      // the palette makes the file invalid: they are left out.
      uint32_t count = info.transCount;
      if (s.paletteCount != 0 && count > s.paletteCount) count = s.paletteCount;
      if (info.trans == nullptr || count == 0) return StatusOk;
      return WriteChunk("tRNS", info.trans, count);
    }
    case 0:
      PutU16BE(data, info.transValues.gray);
      return WriteChunk("tRNS", data, 2);
    case 2:
      PutU16BE(data, info.transValues.red);
      PutU16BE(data + 2, info.transValues.green);
      PutU16BE(data + 4, info.transValues.blue);
      return WriteChunk("tRNS", data, 6);
    default:
      // Alpha channels carry their own transparency.
      return StatusOk;
  }
}

Status PngWriter::WritebKGD() {
  const WriterState& s = *state_;
  const PngInfo& info = *info_;
  uint8_t data[6];
  switch (s.colorType) {
    case 3:
      // An index outside the palette names no colour; the chunk would make the file invalid.
      if (s.paletteCount != 0 && info.background.index >= s.paletteCount) return StatusOk;
      data[0] = info.background.index;
      return WriteChunk("bKGD", data, 1);
    case 2:
    case 6:
      PutU16BE(data, info.background.red);
      PutU16BE(data + 2, info.background.green);
      PutU16BE(data + 4, info.background.blue);
      return WriteChunk("bKGD", data, 6);
    default:
      PutU16BE(data, info.background.gray);
      return WriteChunk("bKGD", data, 2);
  }
}

Status PngWriter::WritepHYs(uint32_t x, uint32_t y, uint8_t unit) {
  uint8_t data[9];
  PutU32BE(data, x);
  PutU32BE(data + 4, y);
  data[8] = unit;
  return WriteChunk("pHYs", data, sizeof(data));
}

Status PngWriter::WritetEXt(const char* keyword, const char* text, uint32_t length) {
  int32_t keyLength = 0;
  char* key = CheckKeyword(keyword, &keyLength);
  if (keyLength < 0) return PT_FAIL(StatusNoMemory);
  if (key == nullptr || keyLength == 0) {
    std::free(key);
    return PT_FAIL(StatusWriteError);
  }
  if (text == nullptr) length = 0;
  // The keyword, its NUL separator and the text must fit one chunk's length field.
  uint32_t total = 0;
  if (!AddFits32(static_cast<uint32_t>(keyLength) + 1, length, &total) || total > kMaxChunkLength) {
    std::free(key);
    return PT_FAIL(StatusWriteError);
  }
  Status status = BeginChunk("tEXt", total);
  // The cleaned keyword's terminating NUL is the separator.
  if (status == StatusOk) status = WriteChunkData(key, static_cast<uint32_t>(keyLength) + 1);
  if (status == StatusOk) status = WriteChunkData(text, length);
  if (status == StatusOk) status = EndChunk();
  std::free(key);
  return status;
}

Status PngWriter::WriteFileHead() {
  const PngInfo& info = *info_;
  PT_RETURN_IF_ERROR(WriteSignature());
  PT_RETURN_IF_ERROR(
      WriteIHDR(info.width, info.height, info.bitDepth, info.colorType, info.interlaceMethod));
  if ((info.valid & ValidPLTE) != 0) PT_RETURN_IF_ERROR(WritePLTE(info.palette, info.paletteCount));
  if ((info.valid & ValidtRNS) != 0) PT_RETURN_IF_ERROR(WritetRNS());
  if ((info.valid & ValidbKGD) != 0) PT_RETURN_IF_ERROR(WritebKGD());
  if ((info.valid & ValidpHYs) != 0) {
    PT_RETURN_IF_ERROR(WritepHYs(info.pixelsPerUnitX, info.pixelsPerUnitY, info.physUnit));
  }
  return StatusOk;
}

Status PngWriter::WriteFileEnd() {
  WriterState& s = *state_;
  // A failure inside the row pipeline ends the file here: IEND would present a broken image
  // stream as a complete file.
  if (s.pipelineStatus != StatusOk) return s.pipelineStatus;
  if ((s.mode & WroteIDAT) == 0) return PT_FAIL(StatusBadFormat);
  // Rows started but not all given: the image stream was never finished.
  if (s.rowBuffer != nullptr && !s.rowsComplete) return PT_FAIL(StatusBadFormat);
  s.mode |= WroteEndBegun;
  return WriteIEND();
}

}  // namespace pngtrans
