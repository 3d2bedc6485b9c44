// The export fuzzer's input: a fixed head that describes a HostImage (each field through a
// selector that mostly gives what a host would pass and sometimes a hostile value), the option
// word and the title, then the bytes that fill palette, mask and pixels. The seed generator
// writes inputs in the same layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>

#include "support/files.h"

namespace pngtrans::fuzz {

struct ExportRecipe {
  uint16_t width = 0;
  uint16_t height = 0;
  uint8_t kind = 0;
  uint8_t bits = 0;
  uint8_t paletteCount = 0;
  uint8_t stride = 0;
  uint8_t maskKind = 0;
  uint8_t maskStride = 0;
  uint8_t flags = 0;  // bit 0: no palette buffer, bit 1: no mask buffer, bit 2: no pixels
  uint8_t titleLength = 0;
  uint32_t background = 0;
  uint32_t options = 0;
  uint32_t resolutionX = 0;
  uint32_t resolutionY = 0;
};

constexpr size_t kRecipeBytes = 28;

inline ExportRecipe DecodeRecipe(const uint8_t* data, size_t size, size_t* used) {
  uint8_t head[kRecipeBytes] = {};
  std::memcpy(head, data, size < kRecipeBytes ? size : kRecipeBytes);
  auto u16 = [&](int at) { return static_cast<uint16_t>(head[at] | head[at + 1] << 8); };
  auto u32 = [&](int at) {
    return static_cast<uint32_t>(head[at] | head[at + 1] << 8 | head[at + 2] << 16 |
                                 static_cast<uint32_t>(head[at + 3]) << 24);
  };
  ExportRecipe r;
  r.width = u16(0);
  r.height = u16(2);
  r.kind = head[4];
  r.bits = head[5];
  r.paletteCount = head[6];
  r.stride = head[7];
  r.maskKind = head[8];
  r.maskStride = head[9];
  r.flags = head[10];
  r.titleLength = head[11];
  r.background = u32(12);
  r.options = u32(16);
  r.resolutionX = u32(20);
  r.resolutionY = u32(24);
  *used = size < kRecipeBytes ? size : kRecipeBytes;
  return r;
}

inline test::Bytes EncodeRecipe(const ExportRecipe& r, const std::string& title,
                                const test::Bytes& fill) {
  test::Bytes out;
  auto put16 = [&](uint16_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
  };
  auto put32 = [&](uint32_t v) {
    put16(static_cast<uint16_t>(v));
    put16(static_cast<uint16_t>(v >> 16));
  };
  put16(r.width);
  put16(r.height);
  for (uint8_t b : {r.kind, r.bits, r.paletteCount, r.stride, r.maskKind, r.maskStride, r.flags,
                    static_cast<uint8_t>(title.size())}) {
    out.push_back(b);
  }
  put32(r.background);
  put32(r.options);
  put32(r.resolutionX);
  put32(r.resolutionY);
  out.insert(out.end(), title.begin(), title.end());
  out.insert(out.end(), fill.begin(), fill.end());
  return out;
}

}  // namespace pngtrans::fuzz
