// The import driver: the order of one import (reader set-up, file, signature, head chunks,
// image rows, tail chunks) and what the host sees when it fails. Once the signature has been
// accepted, every failure is reported as StatusError and the host is asked, exactly once, to
// release the buffers it may have allocated.
#include "import/import_driver.h"

#include "import/png_reader.h"
#include "platform/lowio.h"
#include "base/checked_size.h"

namespace pngtrans {

namespace {

// Closes the file and tears the reader down on every exit, whatever the path.
class ImportSession {
 public:
  explicit ImportSession(PngReader& reader) : reader_(reader) {}
  ~ImportSession() {
    if (file_ >= 0) lowio::Close(file_);
    if (!readerDestroyed_ && reader_.Constructed()) reader_.DestroyReader();
  }
  ImportSession(const ImportSession&) = delete;
  ImportSession& operator=(const ImportSession&) = delete;

  void SetFile(int file) { file_ = file; }
  void ReaderDestroyed() { readerDestroyed_ = true; }

 private:
  PngReader& reader_;
  int file_ = -1;
  bool readerDestroyed_ = false;
};

// The host supplies release with every import; a missing one is not called rather than
// jumped through.
void ReleaseHostImage(HostImage* image) {
  if (image->release != nullptr) (void)image->release(image);
}

// Whether rows of rowBytes bytes at the given stride, height rows in all, stay in 32 bits.
bool RowsFit(uint32_t height, uint32_t stride, uint32_t rowBytes) {
  if (height == 0) return true;
  uint32_t span = 0;
  return MulFits32(height - 1, stride, &span) && AddFits32(span, rowBytes, &span);
}

}  // namespace

Status ImportImage(const char* path, char* title, HostImage* image, ProgressCallback progress,
                   uint32_t* options) {
  PngReader reader;
  ImportSession session(reader);
  uint32_t localOptions = 0;
  if (options == nullptr) options = &localOptions;
  *options = 0;
  if (image == nullptr) return PT_FAIL(StatusError);

  PT_RETURN_IF_ERROR(reader.InitReader());
  if (path == nullptr || !lowio::CanRead(path)) return PT_FAIL(StatusError);
  const int file = lowio::OpenRead(path);
  if (file < 0) return PT_FAIL(StatusError);
  session.SetFile(file);
  reader.SetFile(file);
  PT_RETURN_IF_ERROR(reader.ReadSignature());

  // From here on the host may hold buffers for this image.
  if (reader.ReadHeadChunks(image, options, title) != StatusOk) {
    ReleaseHostImage(image);
    return PT_FAIL(StatusError);
  }
  const uint8_t colorType = reader.state().colorType;
  if (reader.ReadImageAndEnd(image, progress, title) != StatusOk) {
    ReleaseHostImage(image);
    return PT_FAIL(StatusError);
  }
  session.ReaderDestroyed();
  if (colorType == 0 || colorType == 2 || colorType == 3) {
    ApplyTransparentKeyMask(image, reader.transparentKey());
  }
  return StatusOk;
}

Status PngReader::ReadImageAndEnd(HostImage* image, ProgressCallback progress, char* title) {
  UpdateInfo();
  PT_RETURN_IF_ERROR(ReadImageIntoHost(image, progress));
  // The image is complete: a damaged or missing end of the file does not fail the import; the
  // tail only adds texts and a title.
  (void)ReadTailChunks(image, title);
  DestroyReader();
  return StatusOk;
}

void ApplyTransparentKeyMask(HostImage* image, int32_t key) {
  if (image == nullptr || image->maskKind == MaskNone) return;
  const uint32_t width = image->width;
  const uint32_t height = image->height;
  if (image->pixels == nullptr || image->mask == nullptr || image->maskRowBytes < 0) return;
  const uint32_t maskStride = static_cast<uint32_t>(image->maskRowBytes);
  const uint32_t keyBits = static_cast<uint32_t>(key);

  if (image->maskKind == MaskOneBit && image->bitsPerPixel == 8) {
    const uint32_t maskBytes = width / 8 + ((width & 7) != 0 ? 1 : 0);
    if (image->rowBytes < width || maskStride < maskBytes ||
        !RowsFit(height, image->rowBytes, width) || !RowsFit(height, maskStride, maskBytes)) {
      return;
    }
    for (uint32_t y = 0; y < height; ++y) {
      const uint8_t* pixels = image->pixels + static_cast<size_t>(y) * image->rowBytes;
      uint8_t* mask = image->mask + static_cast<size_t>(y) * maskStride;
      uint32_t x = 0;
      for (uint32_t i = 0; i < maskBytes; ++i) {
        uint32_t bits = 0;
        for (uint32_t k = 0; k < 8; ++k, ++x) {
          // A last partial byte keeps its unused low bits clear.
          if (x < width && pixels[x] != keyBits) bits |= 0x80u >> k;
        }
        mask[i] = static_cast<uint8_t>(bits);
      }
    }
    return;
  }

  if (image->maskKind == MaskEightBit && image->bitsPerPixel == 24) {
    uint32_t pixelBytes = 0;
    if (!MulFits32(width, 3, &pixelBytes) || image->rowBytes < pixelBytes || maskStride < width ||
        !RowsFit(height, image->rowBytes, pixelBytes) || !RowsFit(height, maskStride, width)) {
      return;
    }
    for (uint32_t y = 0; y < height; ++y) {
      const uint8_t* pixels = image->pixels + static_cast<size_t>(y) * image->rowBytes;
      uint8_t* mask = image->mask + static_cast<size_t>(y) * maskStride;
      for (uint32_t x = 0; x < width; ++x, pixels += 3) {
        const uint32_t color = pixels[0] | static_cast<uint32_t>(pixels[1]) << 8 |
                               static_cast<uint32_t>(pixels[2]) << 16;
        mask[x] = color == keyBits ? 0 : 255;
      }
    }
  }
}

}  // namespace pngtrans
