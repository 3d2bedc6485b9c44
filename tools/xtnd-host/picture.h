// The host's own picture: 8-bit RGBA for every pixel, plus what the source was (grey, indexed
// with its palette, full colour; with or without alpha). Conversions to and from the plug-in's
// HostImage live here, so that every subcommand goes through the same rules.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "pngtrans_host.h"

namespace xtnd {

// Pictures above this many pixels (32 Mpx) are refused before any buffer is sized: the RGBA
// copy, the host image and the encoded file together must stay well inside a 32-bit address
// space (2 GB under Wine).
constexpr uint64_t kMaxPixels = 1u << 25;

struct Picture {
  uint32_t width = 0;
  uint32_t height = 0;
  int32_t kind = ColorKindFullColor;  // grey, indexed or full colour: what the source held
  bool alpha = false;
  std::vector<uint8_t> rgba;        // width * height * 4
  std::vector<uint8_t> indices;     // indexed only: width * height
  std::vector<ColorValue> palette;  // indexed only
  uint32_t resolutionX = 0;
  uint32_t resolutionY = 0;
  uint32_t backgroundColor = 0;

  // Sizes the pixel buffers; false when the size is out of bounds.
  bool Resize(uint32_t w, uint32_t h);
  uint8_t* At(uint32_t x, uint32_t y) { return &rgba[(static_cast<size_t>(y) * width + x) * 4]; }
  const uint8_t* At(uint32_t x, uint32_t y) const {
    return &rgba[(static_cast<size_t>(y) * width + x) * 4];
  }
};

// The grey level the host gives a colour (integer weights close to the usual luminance).
uint8_t GreyLevel(const uint8_t* rgb);

// A HostImage with buffers of its own, laid out exactly (no row padding).
struct OwnedHostImage {
  HostImage image = {};
  std::vector<uint8_t> pixels;
  std::vector<uint8_t> mask;
  std::vector<ColorValue> palette = std::vector<ColorValue>(256, 0);
  void Attach();  // points the descriptor at the buffers
};

// What an imported HostImage shows; false with a reason when its description does not fit.
bool PictureFromHost(const HostImage& image, Picture* out, std::string* reason);

// The HostImage of kind for the picture: grey and bilevel from the grey level (bilevel white
// from level 128 up), indexed from the picture's palette or its own colours (at most 256),
// full colour as blue, green, red. Alpha becomes an 8-bit mask. False with a reason otherwise.
bool HostFromPicture(const Picture& picture, int32_t kind, OwnedHostImage* out,
                     std::string* reason);

}  // namespace xtnd
