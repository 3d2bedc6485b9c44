// The import driver: the order of one import (reader set-up, file, signature, head chunks,
// image rows, tail chunks) and what the host sees when it fails. Once the signature has been
// accepted, every failure is reported as StatusError and the host is asked, exactly once, to
// release the buffers it may have allocated.
#include "import/import_driver.h"

#include "import/png_reader.h"
#include "platform/lowio.h"
#include "plugin/checked_size.h"

namespace pngtrans {

namespace {

// Whether rows of rowBytes bytes at the given stride, height rows in all, stay in 32 bits.
bool RowsFit(uint32_t height, uint32_t stride, uint32_t rowBytes) {
  if (height == 0) return true;
  uint32_t span = 0;
  return MulFits32(height - 1, stride, &span) && AddFits32(span, rowBytes, &span);
}

}  // namespace

// Not built yet: the command reports a failure, never a fake success.
Status ImportImage(const char*, char*, HostImage*, ProgressCallback, uint32_t*) {
  return PT_FAIL(StatusError);
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
