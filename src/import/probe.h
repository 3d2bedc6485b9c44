// The file probe: size, host pixel format, resolution, transparency and title of a PNG file,
// without decoding its image data.
#pragma once

#include <cstdint>

#include "base/host_image.h"
#include "base/status.h"

namespace pngtrans {

// Probe flag bits.
enum ProbeFlag : uint32_t {
  ProbeFoundTrns = 0x01,
  ProbeHasAlpha = 0x10,
};

// title (64 bytes), image and flags may each be null.
Status ProbeFile(const char* path, char* title, HostImage* image, uint32_t* flags);

}  // namespace pngtrans
