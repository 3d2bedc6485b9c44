// The chunk sequence of an import: the loop before the image data and the loop after it, one
// handler per chunk type, and what of the header, palette, resolution and background reaches
// the host. The order rules and the status of every refusal are part of the format this reader
// accepts: a file that breaks one is rejected, not repaired.
#include <climits>
#include <cstdlib>
#include <cstring>

#include "format/chunk_format.h"
#include "import/png_reader.h"
#include "base/checked_size.h"

namespace pngtrans {

namespace {

constexpr int kPaletteEntries = 256;
constexpr uint32_t kTitleCharacters = 63;       // the title buffer holds 64 bytes with the NUL
constexpr uint32_t kMaxDimension = 0x7FFFFFFF;  // the PNG limit for width and height

// A decompressed text beyond this is not kept: a few kilobytes of deflate data can expand a
// thousandfold, and a text this long is no title or comment anyone reads.
constexpr uint32_t kMaxDecompressedText = 8u << 20;

const char kZtxtErrorText[] = "Error decoding zTXt chunk";

// The grey sample g of the given bit depth on the host pixels' scale: 0-255 for the 8-bit grey
// image of depths up to 8, and for 16 bits the 24-bit grey pixel (three equal bytes), since
// such images reach the host as full colour.
uint32_t HostGrey(uint32_t g, uint8_t bitDepth) {
  switch (bitDepth) {
    case 1:
      return 255 * g;
    case 2:
      return 85 * g;
    case 4:
      return 17 * g;
    case 16:
      return 65793u * (g >> 8);
    default:
      return g;
  }
}

// The bits a sample of the given depth holds: tRNS and bKGD samples are read through it, as the
// PNG standard reads them, so the host gets values its pixels can hold.
uint16_t SampleMask(uint8_t bitDepth) {
  return bitDepth == 16 ? 0xFFFF : static_cast<uint16_t>((1u << bitDepth) - 1);
}

// A colour sample as a host pixel byte: 8-bit samples as they are, 16-bit by their high byte.
uint32_t HostSample(uint16_t sample, uint8_t bitDepth) {
  return bitDepth == 16 ? static_cast<uint32_t>(sample >> 8) : sample;
}

// A file colour (bKGD, tRNS) as the host's ColorValue.
uint32_t HostColorValue(const Color16& color, uint8_t bitDepth) {
  return HostSample(color.red, bitDepth) + 256 * HostSample(color.green, bitDepth) +
         65536 * HostSample(color.blue, bitDepth);
}

size_t BoundedLength(const char* text, size_t limit) {
  size_t n = 0;
  while (n < limit && text[n] != '\0') ++n;
  return n;
}

void CopyTitle(char* title, const char* text) {
  const size_t n = BoundedLength(text, kTitleCharacters);
  std::memcpy(title, text, n);
  title[n] = '\0';
}

// "Title" is matched on the first five bytes of the keyword only (so "Titles" matches too), and
// only when the chunk has five bytes to compare.
bool IsTitleKeyword(const uint8_t* data, uint32_t length) {
  return length >= 5 && std::memcmp(data, "Title", 5) == 0;
}

void SetNibble(uint32_t* word, int shift, uint32_t value) {
  *word = (*word & ~(0xFu << shift)) | ((value & 0xFu) << shift);
}

// A text block built from pieces of decompressed output. It doubles as it grows, so that a long
// text costs linear copying, and never grows beyond the limit the caller gives.
class TextBlock {
 public:
  explicit TextBlock(size_t limit) : limit_(limit) {}
  ~TextBlock() { std::free(data_); }
  TextBlock(const TextBlock&) = delete;
  TextBlock& operator=(const TextBlock&) = delete;

  size_t size() const { return size_; }

  // Appends and keeps a NUL after the contents; false when out of memory or beyond the limit.
  bool Append(const void* bytes, size_t count) {
    const size_t needed = size_ + count + 1;
    if (needed > limit_) return false;
    if (needed > capacity_) {
      size_t grown = capacity_ < 4096 ? 4096 : capacity_ * 2;
      if (grown < needed) grown = needed;
      if (grown > limit_) grown = limit_;
      auto* larger = static_cast<char*>(ReaderAllocate(grown));
      if (larger == nullptr) return false;
      if (data_ != nullptr) std::memcpy(larger, data_, size_);
      std::free(data_);
      data_ = larger;
      capacity_ = grown;
    }
    std::memcpy(data_ + size_, bytes, count);
    size_ += count;
    data_[size_] = '\0';
    return true;
  }

  // Hands the block over to the caller.
  char* Release() {
    char* block = data_;
    data_ = nullptr;
    size_ = capacity_ = 0;
    return block;
  }

 private:
  char* data_ = nullptr;
  size_t size_ = 0;
  size_t capacity_ = 0;
  size_t limit_;
};

// Dispatch shared by both loops for every type they do not treat themselves.
Status DispatchChunk(PngReader& reader, uint32_t length, HostImage* image, char* title) {
  const uint8_t* type = reader.state().chunkType;
  if (ChunkTypeIs(type, "IHDR")) return reader.HandleIHDR(length, image);
  if (ChunkTypeIs(type, "PLTE")) return reader.HandlePLTE(length);
  if (ChunkTypeIs(type, "IEND")) return reader.HandleIEND(length);
  if (ChunkTypeIs(type, "pHYs")) return reader.HandlepHYs(length);
  if (ChunkTypeIs(type, "bKGD")) return reader.HandlebKGD(length);
  if (ChunkTypeIs(type, "cHRM")) return reader.HandlecHRM(length);
  if (ChunkTypeIs(type, "gAMA")) return reader.HandlegAMA(length);
  if (ChunkTypeIs(type, "hIST")) return reader.HandlehIST(length);
  if (ChunkTypeIs(type, "oFFs")) return reader.HandleoFFs(length);
  if (ChunkTypeIs(type, "pCAL")) return reader.HandlepCAL(length);
  if (ChunkTypeIs(type, "sBIT")) return reader.HandlesBIT(length);
  if (ChunkTypeIs(type, "tEXt")) return reader.HandletEXt(length, title);
  if (ChunkTypeIs(type, "tIME")) return reader.HandletIME(length);
  if (ChunkTypeIs(type, "tRNS")) return reader.HandletRNS(length);
  if (ChunkTypeIs(type, "zTXt")) return reader.HandlezTXt(length);
  return reader.HandleUnknown(length);
}

}  // namespace

// ---------------------------------------------------------------------------------------------
// The two loops

Status PngReader::ReadHeadChunks(HostImage* image, uint32_t* options, char* title) {
  ReaderState& s = *state_;
  Status status = StatusOk;
  for (;;) {
    uint32_t length = 0;
    status = ReadChunkHeader(&length);
    if (status != StatusOk) break;
    const uint8_t* type = s.chunkType;
    if (ChunkTypeIs(type, "IDAT")) {
      // Image data with no header or, for a palette image, no palette cannot be decoded. These
      // two refusals leave the option word as the caller had it.
      if ((s.mode & ModeSawIHDR) == 0 || (s.colorType == 3 && (s.mode & ModeSawPLTE) == 0)) {
        return PT_FAIL(StatusBadFormat);
      }
      s.idatRemaining = length;
      s.mode |= ModeSawIDAT;
      // The chunks before the image data are known now, tRNS among them: the host is asked
      // for its buffers here, with a mask for a transparent colour or palette alpha, unless
      // the file is too short to hold the image it declares.
      if (!ImageDataCanFill() || MapHeaderToHost(image) != StatusOk) {
        status = PT_FAIL(StatusError);
        break;
      }
      if ((s.mode & ModeSawPLTE) != 0) CopyPaletteToHost(image);
      break;
    }
    status = DispatchChunk(*this, length, image, title);
    if (status != StatusOk) break;
  }
  if (options != nullptr) {
    SetNibble(options, 0, s.interlaced);
    SetNibble(options, 4, hasTransparentColor_ ? 1 : 0);
    if (s.colorType == 4 || s.colorType == 6) SetNibble(options, 8, 1);
    SetNibble(options, 12, s.colorType);
    SetNibble(options, 16, 8);
  }
  return status;
}

Status PngReader::ReadTailChunks(HostImage* image, char* title) {
  ReaderState& s = *state_;
  // The row reader consumed the last IDAT's data; its CRC is read but not acted on.
  (void)FinishChunk(0);
  for (;;) {
    uint32_t length = 0;
    PT_RETURN_IF_ERROR(ReadChunkHeader(&length));
    if (ChunkTypeIs(s.chunkType, "IDAT")) {
      if (length != 0 || (s.mode & ModeAfterIDAT) != 0) return PT_FAIL(StatusError);
      (void)FinishChunk(0);
      continue;
    }
    PT_RETURN_IF_ERROR(DispatchChunk(*this, length, image, title));
    if ((s.mode & ModeSawIEND) != 0) return StatusOk;
  }
}

// ---------------------------------------------------------------------------------------------
// Critical chunks

Status PngReader::HandleIHDR(uint32_t length, HostImage* image) {
  ReaderState& s = *state_;
  // Only as the first known chunk, once.
  if (s.mode != 0) return PT_FAIL(StatusBadFormat);
  if (length != 13) return PT_FAIL(StatusBadFormat);
  s.mode |= ModeSawIHDR;
  uint8_t data[13];
  PT_RETURN_IF_ERROR(ReadChunkData(data, sizeof data));
  // A damaged header CRC is tolerated: the fields are checked one by one below.
  (void)FinishChunk(0);

  const uint32_t width = ReadUInt32(data);
  const uint32_t height = ReadUInt32(data + 4);
  const uint8_t bitDepth = data[8];
  const uint8_t colorType = data[9];
  const uint8_t compression = data[10];
  const uint8_t filter = data[11];
  const uint8_t interlace = data[12];
  if (width == 0 || height == 0 || width > kMaxDimension || height > kMaxDimension) {
    return PT_FAIL(StatusError);
  }
  if (bitDepth != 1 && bitDepth != 2 && bitDepth != 4 && bitDepth != 8 && bitDepth != 16) {
    return PT_FAIL(StatusError);
  }
  if (colorType == 1 || colorType == 5 || colorType > 6) return PT_FAIL(StatusError);
  if (colorType == 3 && bitDepth > 8) return PT_FAIL(StatusError);
  if ((colorType == 2 || colorType == 4 || colorType == 6) && bitDepth < 8) {
    return PT_FAIL(StatusError);
  }
  if (interlace > 1 || compression != 0 || filter != 0) return PT_FAIL(StatusError);

  s.width = width;
  s.height = height;
  s.bitDepth = bitDepth;
  s.colorType = colorType;
  s.interlaced = interlace;
  switch (colorType) {
    case 2:
      s.channels = 3;
      break;
    case 4:
      s.channels = 2;
      break;
    case 6:
      s.channels = 4;
      break;
    default:
      s.channels = 1;
      break;
  }
  s.pixelDepth = static_cast<uint8_t>(bitDepth * s.channels);
  // Rows of any width, as long as the reader can size them in 32 bits.
  if (!ReaderRowsFit32(width, s.pixelDepth)) return PT_FAIL(StatusError);
  s.rowBytes = RowBytesFor(width, s.pixelDepth);
  SetIHDR(*info_, width, height, bitDepth, colorType, interlace, compression, filter);
  // The host's descriptor is written at the first IDAT chunk (MapHeaderToHost).
  if (image == nullptr) return PT_FAIL(StatusError);
  return StatusOk;
}

Status PngReader::HandlePLTE(uint32_t length) {
  ReaderState& s = *state_;
  if ((s.mode & ModeSawIHDR) == 0) return PT_FAIL(StatusError);
  if ((s.mode & ModeSawIDAT) != 0) return PT_FAIL(StatusBadFormat);
  if ((s.mode & ModeSawPLTE) != 0) return PT_FAIL(StatusError);
  s.mode |= ModeSawPLTE;
  const bool paletteImage = s.colorType == 3;
  // paletteBuffer holds 256 entries; a longer palette is refused like a malformed one rather
  // than being written past the buffer.
  if (length % 3 != 0 || length / 3 > kPaletteEntries) {
    if (paletteImage) return PT_FAIL(StatusError);
    (void)FinishChunk(length);
    return PT_FAIL(StatusBadFormat);
  }
  const uint32_t count = length / 3;
  PT_RETURN_IF_ERROR(ReadChunkData(paletteBuffer_, length));
  if (paletteImage) {
    // The palette is essential to a palette image: a damaged CRC does not stop it being used.
    (void)FinishChunk(0);
  } else if (CheckChunkCrc() != 0) {
    return PT_FAIL(StatusBadFormat);
  }
  s.palette = paletteBuffer_;
  s.paletteCount = static_cast<uint16_t>(count);
  SetPLTE(*info_, paletteBuffer_, static_cast<uint16_t>(count));
  return StatusOk;
}

Status PngReader::HandleIEND(uint32_t length) {
  ReaderState& s = *state_;
  if ((s.mode & ModeSawIHDR) == 0 || (s.mode & ModeSawIDAT) == 0) return PT_FAIL(StatusError);
  s.mode |= ModeAfterIDAT | ModeSawIEND;
  if (length != 0) return PT_FAIL(StatusError);
  if (FinishChunk(0) != 0) return PT_FAIL(StatusError);
  return StatusOk;
}

// ---------------------------------------------------------------------------------------------
// Ancillary chunks

bool PngReader::FirstBeforeImageData(uint32_t validBit) const {
  const uint32_t mode = state_->mode;
  return (mode & ModeSawIHDR) != 0 && (mode & ModeSawIDAT) == 0 && (info_->valid & validBit) == 0;
}

Status PngReader::HandlegAMA(uint32_t length) {
  ReaderState& s = *state_;
  if (!FirstBeforeImageData(ValidgAMA) || (s.mode & ModeSawPLTE) != 0) return PT_FAIL(StatusError);
  if (length != 4) return PT_FAIL(StatusError);
  uint8_t data[4];
  PT_RETURN_IF_ERROR(ReadChunkData(data, sizeof data));
  if (FinishChunk(0) != 0) return PT_FAIL(StatusError);
  const uint32_t value = ReadUInt32(data);
  if (value == 0) return PT_FAIL(StatusError);
  s.gamma = static_cast<float>(value / 100000.0);
  SetgAMA(*info_, s.gamma);
  return StatusOk;
}

Status PngReader::HandlesBIT(uint32_t length) {
  ReaderState& s = *state_;
  if (!FirstBeforeImageData(ValidsBIT) || (s.mode & ModeSawPLTE) != 0) return PT_FAIL(StatusError);
  const uint32_t expected = s.colorType == 3 ? 3 : s.channels;
  if (length != expected) return PT_FAIL(StatusError);
  uint8_t data[4] = {0, 0, 0, 0};
  PT_RETURN_IF_ERROR(ReadChunkData(data, expected));
  if (FinishChunk(0) != 0) return PT_FAIL(StatusError);
  SignificantBits bits = {};
  if ((s.colorType & 0x02) != 0) {
    bits.red = data[0];
    bits.green = data[1];
    bits.blue = data[2];
    bits.alpha = data[3];
  } else {
    bits.gray = data[0];
    bits.alpha = data[1];
  }
  s.sigBit = bits;
  SetsBIT(*info_, bits);
  return StatusOk;
}

Status PngReader::HandlecHRM(uint32_t length) {
  ReaderState& s = *state_;
  if (!FirstBeforeImageData(ValidcHRM) || (s.mode & ModeSawPLTE) != 0) return PT_FAIL(StatusError);
  if (length != 32) return PT_FAIL(StatusError);
  // White point, red, green, blue: each pair is read and judged before the next. The values
  // are kept as 32-bit floats and judged as stored, so 80000 (a float just above 0.8) fails.
  float values[8];
  for (int pair = 0; pair < 4; ++pair) {
    uint8_t data[8];
    PT_RETURN_IF_ERROR(ReadChunkData(data, sizeof data));
    const float x = static_cast<float>(ReadUInt32(data) / 100000.0);
    const float y = static_cast<float>(ReadUInt32(data + 4) / 100000.0);
    const double dx = x;
    const double dy = y;
    if (dx < 0.0 || dx > 0.8 || dy < 0.0 || dy > 0.8 || dx + dy > 1.0) {
      // An implausible chromaticity drops the chunk, not the image.
      (void)FinishChunk(static_cast<uint32_t>(24 - 8 * pair));
      return StatusOk;
    }
    values[2 * pair] = x;
    values[2 * pair + 1] = y;
  }
  if (FinishChunk(0) != 0) return StatusOk;
  SetcHRM(*info_, values[0], values[1], values[2], values[3], values[4], values[5], values[6],
          values[7]);
  return StatusOk;
}

Status PngReader::HandletRNS(uint32_t length) {
  ReaderState& s = *state_;
  if ((s.mode & ModeSawIHDR) == 0 || (s.mode & ModeSawIDAT) != 0) {
    return PT_FAIL(StatusBadFormat);
  }
  if (s.colorType == 3 && (s.mode & ModeSawPLTE) == 0) return PT_FAIL(StatusBadFormat);
  if ((info_->valid & ValidtRNS) != 0) return PT_FAIL(StatusBadFormat);

  // A key masked to the bit depth: the mask, the background colour and the option word all
  // follow from one value the pixels can hold.
  const uint16_t sampleMask = SampleMask(s.bitDepth);
  bool keyColor = false;
  uint32_t color = 0;
  switch (s.colorType) {
    case 3: {
      if (length > s.paletteCount) return PT_FAIL(StatusBadFormat);
      s.trans = static_cast<uint8_t*>(ReaderAllocate(length));
      if (s.trans == nullptr) return PT_FAIL(StatusNoMemory);
      s.flags |= FlagFreeTrns;
      PT_RETURN_IF_ERROR(ReadChunkData(s.trans, length));
      s.transCount = static_cast<uint16_t>(length);
      // Only an entry of alpha 0 is a transparent colour: saving it as one makes it so.
      for (uint32_t i = 0; i < length; ++i) {
        if (s.trans[i] == 0) {
          keyColor = true;
          color = i;
          break;
        }
      }
      break;
    }
    case 2: {
      if (length != 6) return PT_FAIL(StatusBadFormat);
      uint8_t data[6];
      PT_RETURN_IF_ERROR(ReadChunkData(data, sizeof data));
      s.transCount = 3;
      s.transValues.red = ReadUInt16(data) & sampleMask;
      s.transValues.green = ReadUInt16(data + 2) & sampleMask;
      s.transValues.blue = ReadUInt16(data + 4) & sampleMask;
      keyColor = true;
      color = HostColorValue(s.transValues, s.bitDepth);
      break;
    }
    case 0: {
      if (length != 2) return PT_FAIL(StatusBadFormat);
      uint8_t data[2];
      PT_RETURN_IF_ERROR(ReadChunkData(data, sizeof data));
      s.transCount = 1;
      s.transValues.gray = ReadUInt16(data) & sampleMask;
      keyColor = true;
      color = HostGrey(s.transValues.gray, s.bitDepth);
      break;
    }
    default:
      // Images with an alpha channel need no transparent colour.
      return PT_FAIL(StatusBadFormat);
  }
  if (FinishChunk(0) != 0) return PT_FAIL(StatusError);
  // An empty table makes nothing transparent.
  transparency_ = s.transCount != 0;
  hasTransparentColor_ = keyColor;
  transparentColor_ = color;
  SettRNS(*info_, s.trans, s.transCount, &s.transValues);
  return StatusOk;
}

Status PngReader::HandlebKGD(uint32_t length) {
  ReaderState& s = *state_;
  if ((s.mode & ModeSawIHDR) == 0 || (s.mode & ModeSawIDAT) != 0) {
    return PT_FAIL(StatusBadFormat);
  }
  if (s.colorType == 3 && (s.mode & ModeSawPLTE) == 0) return PT_FAIL(StatusBadFormat);
  if ((info_->valid & ValidbKGD) != 0) return PT_FAIL(StatusBadFormat);
  uint32_t expected = 2;
  if (s.colorType == 3) {
    expected = 1;
  } else if ((s.colorType & 0x02) != 0) {
    expected = 6;
  }
  if (length != expected) return PT_FAIL(StatusBadFormat);
  uint8_t data[6];
  PT_RETURN_IF_ERROR(ReadChunkData(data, expected));
  if (FinishChunk(0) != 0) return PT_FAIL(StatusError);

  const uint16_t sampleMask = SampleMask(s.bitDepth);
  Color16 background = {};
  if (s.colorType == 3) {
    const uint8_t index = data[0];
    background.index = index;
    if (index < s.paletteCount) {
      background.red = paletteBuffer_[3 * index];
      background.green = paletteBuffer_[3 * index + 1];
      background.blue = paletteBuffer_[3 * index + 2];
    }
  } else if ((s.colorType & 0x02) == 0) {
    const uint16_t g = ReadUInt16(data) & sampleMask;
    background.gray = background.red = background.green = background.blue = g;
  } else {
    background.red = ReadUInt16(data) & sampleMask;
    background.green = ReadUInt16(data + 2) & sampleMask;
    background.blue = ReadUInt16(data + 4) & sampleMask;
  }
  s.background = background;
  SetbKGD(*info_, background);
  return StatusOk;
}

Status PngReader::HandlehIST(uint32_t length) {
  ReaderState& s = *state_;
  if (!FirstBeforeImageData(ValidhIST) || (s.mode & ModeSawPLTE) == 0) return PT_FAIL(StatusError);
  if (length != 2u * s.paletteCount) return PT_FAIL(StatusError);
  const uint32_t count = length / 2;
  s.hist = static_cast<uint16_t*>(ReaderAllocate(count * sizeof(uint16_t)));
  if (s.hist == nullptr) return PT_FAIL(StatusNoMemory);
  s.flags |= FlagFreeHist;
  uint8_t data[2 * kPaletteEntries];
  PT_RETURN_IF_ERROR(ReadChunkData(data, length));
  for (uint32_t i = 0; i < count; ++i) s.hist[i] = ReadUInt16(data + 2 * i);
  if (FinishChunk(0) != 0) return PT_FAIL(StatusError);
  SethIST(*info_, s.hist);
  return StatusOk;
}

Status PngReader::HandlepHYs(uint32_t length) {
  ReaderState& s = *state_;
  if (!FirstBeforeImageData(ValidpHYs)) return PT_FAIL(StatusError);
  if (length != 9) return PT_FAIL(StatusError);
  uint8_t data[9];
  PT_RETURN_IF_ERROR(ReadChunkData(data, sizeof data));
  if (FinishChunk(0) != 0) return PT_FAIL(StatusError);
  s.pixelsPerUnitX = ReadUInt32(data);
  s.pixelsPerUnitY = ReadUInt32(data + 4);
  SetpHYs(*info_, s.pixelsPerUnitX, s.pixelsPerUnitY, data[8]);
  return StatusOk;
}

Status PngReader::HandleoFFs(uint32_t length) {
  if (!FirstBeforeImageData(ValidoFFs)) return PT_FAIL(StatusError);
  if (length != 9) return PT_FAIL(StatusError);
  uint8_t data[9];
  PT_RETURN_IF_ERROR(ReadChunkData(data, sizeof data));
  if (FinishChunk(0) != 0) return PT_FAIL(StatusError);
  SetoFFs(*info_, ReadInt32(data), ReadInt32(data + 4), data[8]);
  return StatusOk;
}

Status PngReader::HandlepCAL(uint32_t length) {
  if (!FirstBeforeImageData(ValidpCAL)) return PT_FAIL(StatusError);
  uint8_t* data = nullptr;
  PT_RETURN_IF_ERROR(ReadChunkCopy(length, &data));
  Status status = StatusOk;
  if (FinishChunk(0) != 0) status = PT_FAIL(StatusError);

  // Purpose, NUL, X0 (4), X1 (4), type, count, units, then the parameters separated by NULs.
  // The copy ends in a NUL at data[length], so every string scan stops inside it.
  const char* text = reinterpret_cast<const char*>(data);
  const uint32_t purposeEnd = static_cast<uint32_t>(std::strlen(text));
  if (status == StatusOk && length <= purposeEnd + 12) status = PT_FAIL(StatusError);
  char* params[5] = {nullptr, nullptr, nullptr, nullptr, nullptr};
  uint8_t type = 0;
  uint8_t count = 0;
  if (status == StatusOk) {
    type = data[purposeEnd + 9];
    count = data[purposeEnd + 10];
    const bool known = (type == 0 && count == 2) || (type == 1 && count == 3) ||
                       (type == 2 && count == 3) || (type == 3 && count == 4);
    if (!known) status = PT_FAIL(StatusError);
  }
  if (status == StatusOk) {
    uint32_t cursor = purposeEnd + 11;
    cursor += static_cast<uint32_t>(std::strlen(text + cursor));
    for (int i = 0; i < count && status == StatusOk; ++i) {
      const uint32_t start = cursor + 1;
      if (start > length) {
        status = PT_FAIL(StatusError);
        break;
      }
      params[i] = reinterpret_cast<char*>(data + start);
      cursor = start + static_cast<uint32_t>(std::strlen(text + start));
    }
  }
  if (status == StatusOk) {
    status = SetpCAL(*info_, ReaderAllocate, text, ReadInt32(data + purposeEnd + 1),
                     ReadInt32(data + purposeEnd + 5), type, count, text + purposeEnd + 11, params);
  }
  std::free(data);
  return status;
}

Status PngReader::HandletIME(uint32_t length) {
  ReaderState& s = *state_;
  if ((s.mode & ModeSawIHDR) == 0) return PT_FAIL(StatusError);
  if ((info_->valid & ValidtIME) != 0) return PT_FAIL(StatusError);
  if (length != 7) return PT_FAIL(StatusError);
  uint8_t data[7];
  PT_RETURN_IF_ERROR(ReadChunkData(data, sizeof data));
  if (FinishChunk(0) != 0) return PT_FAIL(StatusError);
  TimeStamp time = {};
  time.year = ReadUInt16(data);
  time.month = data[2];
  time.day = data[3];
  time.hour = data[4];
  time.minute = data[5];
  time.second = data[6];
  SettIME(*info_, time);
  return StatusOk;
}

Status PngReader::HandletEXt(uint32_t length, char* title) {
  if ((state_->mode & ModeSawIHDR) == 0) return PT_FAIL(StatusError);
  uint8_t* data = nullptr;
  PT_RETURN_IF_ERROR(ReadChunkCopy(length, &data));
  if (FinishChunk(0) != 0) {
    std::free(data);
    return PT_FAIL(StatusError);
  }
  char* key = reinterpret_cast<char*>(data);
  const uint32_t keyLength = static_cast<uint32_t>(std::strlen(key));
  // Without a NUL in the data the text is empty: it is the terminator appended to the copy.
  char* text = keyLength < length ? key + keyLength + 1 : key + length;
  // The last "Title" in the file wins: each one overwrites the buffer.
  if (title != nullptr && IsTitleKeyword(data, length)) CopyTitle(title, text);
  const TextEntry entry = {-1, key, text, 0};
  const Status status = AddTexts(*info_, ReaderAllocate, &entry, 1);
  if (status != StatusOk) std::free(data);
  return status;
}

Status PngReader::HandlezTXt(uint32_t length) {
  ReaderState& s = *state_;
  if ((s.mode & ModeSawIHDR) == 0) return PT_FAIL(StatusError);
  uint8_t* data = nullptr;
  PT_RETURN_IF_ERROR(ReadChunkCopy(length, &data));
  if (FinishChunk(0) != 0) {
    std::free(data);
    return PT_FAIL(StatusError);
  }
  char* key = reinterpret_cast<char*>(data);
  const uint32_t keyLength = static_cast<uint32_t>(std::strlen(key));
  if (keyLength == length) {
    std::free(data);
    return PT_FAIL(StatusError);
  }
  // The byte after the keyword's NUL (the appended terminator when the data ends there).
  const uint8_t method = data[keyLength + 1];
  if (method != 0) {
    // A method this reader cannot decode is kept as it stands, from the method byte on.
    const TextEntry entry = {method, key, key + keyLength + 1, 0};
    const Status status = AddTexts(*info_, ReaderAllocate, &entry, 1);
    if (status != StatusOk) std::free(data);
    return status;
  }
  if (!s.zstreamReady || s.inputBuffer == nullptr) {
    std::free(data);
    return PT_FAIL(StatusError);
  }

  // The block keeps the layout of the chunk: keyword, NUL, method byte, then the text.
  const size_t prefix = keyLength + 2;
  TextBlock block(prefix + kMaxDecompressedText + 1);
  if (!block.Append(data, prefix)) {
    std::free(data);
    return PT_FAIL(StatusNoMemory);
  }
  z_stream& z = s.zstream;
  // The stream may still hold the end of the image data when this chunk follows it.
  inflateReset(&z);
  z.next_in = data + prefix;
  z.avail_in = prefix <= length ? static_cast<uInt>(length - prefix) : 0;
  bool keep = true;
  bool decodeError = false;
  for (;;) {
    z.next_out = s.inputBuffer;
    z.avail_out = s.inputBufferSize;
    int result = inflate(&z, Z_PARTIAL_FLUSH);
    const uint32_t produced = s.inputBufferSize - z.avail_out;
    // No progress for want of input: the compressed data ended before the stream did. What was
    // decoded so far is kept.
    if (result == Z_BUF_ERROR && z.avail_in == 0) result = Z_OK;
    if (result != Z_OK && result != Z_STREAM_END) {
      if (z.msg != nullptr) {
        inflateReset(&z);
        std::free(data);
        return PT_FAIL(StatusError);
      }
      decodeError = true;
      break;
    }
    if (produced != 0 && !block.Append(s.inputBuffer, produced)) {
      if (block.size() + produced + 1 > prefix + kMaxDecompressedText + 1) {
        keep = false;  // too long to keep: the chunk is dropped, the import goes on
        break;
      }
      inflateReset(&z);
      std::free(data);
      return PT_FAIL(StatusNoMemory);
    }
    if (result == Z_STREAM_END) break;
    // Input used up and the window not filled: zlib has nothing more to give.
    if (z.avail_in == 0 && z.avail_out != 0) break;
  }
  inflateReset(&z);
  if (!keep) {
    std::free(data);
    return StatusOk;
  }
  char* blockStart = nullptr;
  if (decodeError) {
    // Undecodable without a message from zlib (a preset dictionary, say): the entry says so.
    TextBlock errorBlock(prefix + sizeof kZtxtErrorText);
    if (!errorBlock.Append(data, prefix) ||
        !errorBlock.Append(kZtxtErrorText, sizeof kZtxtErrorText - 1)) {
      std::free(data);
      return PT_FAIL(StatusNoMemory);
    }
    blockStart = errorBlock.Release();
  } else {
    blockStart = block.Release();
  }
  std::free(data);
  const TextEntry entry = {0, blockStart, blockStart + prefix, 0};
  const Status status = AddTexts(*info_, ReaderAllocate, &entry, 1);
  if (status != StatusOk) std::free(blockStart);
  return status;
}

Status PngReader::HandleUnknown(uint32_t length) {
  if (IsCriticalChunk(state_->chunkType)) return PT_FAIL(StatusError);
  // An ancillary chunk this reader does not know is safe to skip, damaged or not.
  (void)FinishChunk(length);
  return StatusOk;
}

// ---------------------------------------------------------------------------------------------
// Into the host image

void PngReader::CopyPaletteToHost(HostImage* image) {
  ColorValue* palette = image->palette;
  if (palette == nullptr) return;
  std::memset(palette, 0, kPaletteEntries * sizeof(ColorValue));
  const ReaderState& s = *state_;
  for (uint32_t i = 0; i < s.paletteCount && i < kPaletteEntries; ++i) {
    const uint8_t* entry = paletteBuffer_ + 3 * i;
    palette[i] = entry[0] + 256u * entry[1] + 65536u * entry[2];
  }
}

// The background colour as a host pixel value: the transparent colour wins over bKGD, since
// the host has one field for both and the export writes it as both.
uint32_t PngReader::HostBackground(uint32_t preset) const {
  const ReaderState& s = *state_;
  if (hasTransparentColor_) return transparentColor_;
  if ((info_->valid & ValidbKGD) == 0) return preset;
  if (s.colorType == 3) return s.background.index;
  if ((s.colorType & 0x02) == 0) return HostGrey(s.background.gray, s.bitDepth);
  return HostColorValue(s.background, s.bitDepth);
}

Status PngReader::MapHeaderToHost(HostImage* image) {
  const ReaderState& s = *state_;
  if (image == nullptr) return PT_FAIL(StatusError);
  const bool lowDepth = s.bitDepth == 1 || s.bitDepth == 2 || s.bitDepth == 4 || s.bitDepth == 8;
  int32_t colorKind = ColorKindFullColor;
  bool withMask = false;
  switch (s.colorType) {
    case 0:
      if (lowDepth) {
        colorKind = ColorKindGrey;
      } else if (s.bitDepth != 16) {
        return PT_FAIL(StatusError);
      }
      break;
    case 3:
      if (!lowDepth) return PT_FAIL(StatusError);
      colorKind = ColorKindIndexed;
      break;
    case 2:
      if (s.bitDepth != 8 && s.bitDepth != 16) return PT_FAIL(StatusError);
      break;
    case 4:
      if (s.bitDepth == 8) {
        colorKind = ColorKindGrey;
      } else if (s.bitDepth != 16) {
        return PT_FAIL(StatusError);
      }
      withMask = true;
      break;
    case 6:
      if (s.bitDepth != 8 && s.bitDepth != 16) return PT_FAIL(StatusError);
      withMask = true;
      break;
    default:
      return PT_FAIL(StatusError);
  }
  // A transparent colour or palette alpha (an empty tRNS chunk gives none) reaches the host as
  // the same 8-bit mask as an alpha channel; the pixels stay as the colour type gives them.
  if (HasTransparency()) withMask = true;
  const bool eightBit = colorKind != ColorKindFullColor;

  // The host allocates height x rowBytes (and height x maskRowBytes) bytes: an image whose
  // buffers cannot even be sized in 32 bits is refused before the host is asked.
  uint32_t rowBytes = 0;
  uint32_t total = 0;
  // The progress counts are the host's positive 32-bit integers: an interlaced image counts
  // every row in each of its seven passes.
  if (s.height > static_cast<uint32_t>(INT32_MAX) / (s.interlaced != 0 ? 7 : 1)) {
    return PT_FAIL(StatusError);
  }
  if (s.width > static_cast<uint32_t>(INT32_MAX) ||
      !MulFits32(s.width, eightBit ? 1 : 3, &rowBytes) || !MulFits32(s.height, rowBytes, &total) ||
      (withMask && !MulFits32(s.height, s.width, &total))) {
    return PT_FAIL(StatusError);
  }

  image->width = s.width;
  image->height = s.height;
  image->colorKind = colorKind;
  image->bitsPerPixel = eightBit ? 8 : 24;
  if (eightBit) image->paletteCount = kPaletteEntries;
  image->rowBytes = rowBytes;
  image->maskKind = withMask ? MaskEightBit : MaskNone;
  image->maskBits = withMask ? 8 : 0;
  image->maskRowBytes = withMask ? static_cast<int32_t>(s.width) : 0;
  // The host takes the pixels-per-unit values as its resolution whatever the unit; without a
  // pHYs chunk, 180 where the host left both at 0.
  if ((info_->valid & ValidpHYs) != 0) {
    image->resolutionX = s.pixelsPerUnitX;
    image->resolutionY = s.pixelsPerUnitY;
  } else if (image->resolutionX == 0 && image->resolutionY == 0) {
    image->resolutionX = 180;
    image->resolutionY = 180;
  }
  image->backgroundColor = HostBackground(image->backgroundColor);

  if (image->allocate == nullptr || image->allocate(image) == 0) return PT_FAIL(StatusNoMemory);
  // A host that reports success without the buffers would have the rows written through null.
  if (image->pixels == nullptr || image->palette == nullptr ||
      (withMask && image->mask == nullptr)) {
    return PT_FAIL(StatusNoMemory);
  }
  return StatusOk;
}

}  // namespace pngtrans
