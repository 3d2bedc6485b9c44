// The import driver: one PNG file into a HostImage.
#pragma once

#include <cstdint>

#include "base/host_image.h"
#include "base/status.h"

namespace pngtrans {

// Reads the file at path into image (whose allocate and release the host has set). title is a
// 64-byte buffer or null; progress may be null; options receives the file's properties.
Status ImportImage(const char* path, char* title, HostImage* image, ProgressCallback progress,
                   uint32_t* options);

// Builds a mask from a transparent colour key after a successful import, for images whose
// transparency comes from a key rather than an alpha channel. Nothing happens when the image
// has no mask (maskKind 0). With maskKind 1 each 8-bit pixel gives one mask bit (most
// significant first), 0 where the pixel equals key and 1 elsewhere; with maskKind 2 each 24-bit
// pixel (blue, green, red = key bits 0-7, 8-15, 16-23) gives one byte, 0 where it equals key
// and 255 elsewhere. A mask whose description does not fit the pixels is left untouched.
void ApplyTransparentKeyMask(HostImage* image, int32_t key);

}  // namespace pngtrans
