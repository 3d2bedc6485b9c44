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

}  // namespace pngtrans
