// The file probe: a light scan of the chunk sequence with plain reads and seeks, for the size,
// the host pixel format, the resolution, transparency, alpha and the title. No CRC is checked,
// the signature is not looked at, no image data is read, and nothing is allocated.
#include "import/probe.h"

#include <cstring>

#include "format/chunk_format.h"
#include "format/row_info.h"
#include "base/checked_size.h"
#include "platform/lowio.h"

namespace pngtrans {

namespace {

constexpr uint32_t kDefaultResolution = 180;
constexpr uint32_t kTitleCharacters = 63;

struct ProbeResult {
  bool sawHeader = false;
  uint32_t width = 0;
  uint32_t height = 0;
  uint8_t bitDepth = 0;
  uint8_t colorType = 0;
  uint32_t resolutionX = kDefaultResolution;
  uint32_t resolutionY = kDefaultResolution;
  bool sawTrns = false;
};

class FileCloser {
 public:
  explicit FileCloser(int fd) : fd_(fd) {}
  ~FileCloser() { lowio::Close(fd_); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;

 private:
  int fd_;
};

bool ReadExact(int fd, void* buffer, uint32_t count) {
  return lowio::Read(fd, buffer, count) == static_cast<int32_t>(count);
}

bool SkipForward(int fd, uint32_t count) {
  return count == 0 || lowio::SeekRelative(fd, static_cast<int32_t>(count)) >= 0;
}

// Reads a tEXt chunk's data in pieces and, when its keyword starts with "Title", copies up to
// 63 characters of its text into title. Streaming rather than copying the chunk keeps the probe
// free of allocations whatever length the chunk declares.
bool ScanText(int fd, uint32_t length, char* title) {
  uint8_t start[5] = {0, 0, 0, 0, 0};
  char text[kTitleCharacters + 1];
  uint32_t textLength = 0;
  bool inText = false;
  bool textDone = false;
  uint8_t buffer[512];
  uint32_t position = 0;
  while (position < length) {
    const uint32_t piece = length - position < sizeof buffer ? length - position : sizeof buffer;
    if (!ReadExact(fd, buffer, piece)) return false;
    for (uint32_t i = 0; i < piece; ++i) {
      const uint8_t byte = buffer[i];
      if (position + i < sizeof start) start[position + i] = byte;
      if (!inText) {
        inText = byte == 0;  // the keyword ends at the first NUL; the text follows it
      } else if (!textDone) {
        if (byte == 0 || textLength == kTitleCharacters) {
          textDone = true;
        } else {
          text[textLength++] = static_cast<char>(byte);
        }
      }
    }
    position += piece;
  }
  // Only the first five bytes are compared ("Titles" matches), and only when there are five.
  if (title != nullptr && length >= 5 && std::memcmp(start, "Title", 5) == 0) {
    std::memcpy(title, text, textLength);
    title[textLength] = '\0';
  }
  return true;
}

// Walks the chunks from just after the signature to the first empty chunk.
Status ScanChunks(int fd, char* title, ProbeResult* result) {
  if (lowio::SeekRelative(fd, 8) < 0) return PT_FAIL(StatusError);
  for (;;) {
    uint8_t bytes[13];
    if (!ReadExact(fd, bytes, 4)) return PT_FAIL(StatusError);
    const uint32_t length = ReadUInt32(bytes);
    // An empty chunk (normally IEND) ends the scan.
    if (length == 0) break;
    // Beyond the PNG limit the length cannot be sought over with a signed 32-bit offset.
    if (length > kMaxChunkLength) return PT_FAIL(StatusError);
    uint8_t type[4];
    if (!ReadExact(fd, type, sizeof type)) return PT_FAIL(StatusError);
    if (ChunkTypeIs(type, "IHDR")) {
      // Any other length would leave the scan out of step with the chunks.
      if (length != 13 || !ReadExact(fd, bytes, 13)) return PT_FAIL(StatusError);
      result->sawHeader = true;
      result->width = ReadUInt32(bytes);
      result->height = ReadUInt32(bytes + 4);
      result->bitDepth = bytes[8];
      result->colorType = bytes[9];
    } else if (ChunkTypeIs(type, "tEXt")) {
      if (!ScanText(fd, length, title)) return PT_FAIL(StatusError);
    } else if (ChunkTypeIs(type, "pHYs")) {
      if (length != 9 || !ReadExact(fd, bytes, 8) || !SkipForward(fd, 1)) {
        return PT_FAIL(StatusError);
      }
      result->resolutionX = ReadUInt32(bytes);
      result->resolutionY = ReadUInt32(bytes + 4);
    } else if (ChunkTypeIs(type, "tRNS")) {
      if (!ReadExact(fd, bytes, 1)) return PT_FAIL(StatusError);
      result->sawTrns = true;
      if (!SkipForward(fd, length - 1)) return PT_FAIL(StatusError);
    } else if (!SkipForward(fd, length)) {
      return PT_FAIL(StatusError);
    }
    if (!ReadExact(fd, bytes, 4)) return PT_FAIL(StatusError);  // the CRC, not checked
  }
  // Without a header there is nothing to describe.
  if (!result->sawHeader) return PT_FAIL(StatusError);
  return StatusOk;
}

// The host description of the probed header (no callback is called).
Status DescribeImage(const ProbeResult& r, HostImage* image, uint32_t* flags) {
  const bool lowDepth = r.bitDepth == 1 || r.bitDepth == 2 || r.bitDepth == 4 || r.bitDepth == 8;
  bool eightBit = false;
  int32_t colorKind = ColorKindFullColor;
  bool alpha = false;
  switch (r.colorType) {
    case 0:
    case 3:
      if (lowDepth) {
        eightBit = true;
        colorKind = r.colorType == 0 ? ColorKindGrey : ColorKindIndexed;
      } else if (r.bitDepth != 16 || r.colorType == 3) {
        return PT_FAIL(StatusError);
      }
      break;
    case 2:
      break;
    default:
      // 4, 6 and types outside the standard are taken as carrying alpha.
      alpha = true;
      if (r.colorType == 4 && r.bitDepth == 8) {
        eightBit = true;
        colorKind = ColorKindGrey;
      }
      break;
  }
  uint32_t rowBytes = r.width;
  if (!eightBit && !MulFits32(r.width, 3, &rowBytes)) return PT_FAIL(StatusError);
  // A row the import could not size is not reported as openable either.
  const uint32_t channels = r.colorType == 2 ? 3 : r.colorType == 4 ? 2 : r.colorType == 6 ? 4 : 1;
  if (!ReaderRowsFit32(r.width, channels * r.bitDepth)) return PT_FAIL(StatusError);

  image->width = r.width;
  image->height = r.height;
  image->resolutionX = r.resolutionX;
  image->resolutionY = r.resolutionY;
  image->maskKind = MaskNone;
  image->maskBits = 0;
  image->maskRowBytes = 0;
  image->colorKind = colorKind;
  image->bitsPerPixel = eightBit ? 8 : 24;
  if (eightBit) image->paletteCount = 256;
  image->rowBytes = rowBytes;
  if (alpha && flags != nullptr) *flags = ProbeHasAlpha;
  return StatusOk;
}

}  // namespace

Status ProbeFile(const char* path, char* title, HostImage* image, uint32_t* flags) {
  if (path == nullptr || !lowio::CanRead(path)) return PT_FAIL(StatusError);
  const int fd = lowio::OpenRead(path);
  if (fd < 0) return PT_FAIL(StatusError);
  FileCloser closer(fd);
  ProbeResult result;
  PT_RETURN_IF_ERROR(ScanChunks(fd, title, &result));
  if (image != nullptr) PT_RETURN_IF_ERROR(DescribeImage(result, image, flags));
  if (flags != nullptr && result.sawTrns) *flags |= ProbeFoundTrns;
  return StatusOk;
}

}  // namespace pngtrans
