#include "support/import_host.h"

#include <cstring>

#include "support/guarded_memory.h"

namespace pngtrans::test {

namespace {

std::vector<std::pair<int32_t, int32_t>>& ProgressLog() {
  static std::vector<std::pair<int32_t, int32_t>> log;
  return log;
}

}  // namespace

GuardedHost::GuardedHost() {
  std::memset(&record_.image, 0, sizeof record_.image);
  record_.image.allocate = Allocate;
  record_.image.release = Release;
}

GuardedHost::~GuardedHost() {
  FreeBuffers(&record_);
}

void GuardedHost::FreeBuffers(Record* record) {
  GuardedFree(record->pixels);
  GuardedFree(record->mask);
  GuardedFree(record->palette);
  record->pixels = nullptr;
  record->mask = nullptr;
  record->palette = nullptr;
}

int PNGTRANS_CDECL GuardedHost::Allocate(HostImage* image) {
  auto* record = reinterpret_cast<Record*>(image);
  ++record->allocateCalls;
  if (record->failAllocate) return 0;
  FreeBuffers(record);
  record->pixelBytes = static_cast<uint64_t>(image->height) * image->rowBytes;
  record->maskBytes = image->maskKind != 0 ? static_cast<uint64_t>(image->height) *
                                                 static_cast<uint32_t>(image->maskRowBytes)
                                           : 0;
  // Large requests are refused like a host without memory would, instead of exhausting the
  // 32-bit address space of the test.
  if (record->pixelBytes > record->limit || record->maskBytes > record->limit) return 0;
  record->pixels = static_cast<uint8_t*>(GuardedAlloc(static_cast<size_t>(record->pixelBytes)));
  record->palette = static_cast<uint32_t*>(GuardedAlloc(256 * sizeof(uint32_t)));
  if (image->maskKind != 0) {
    record->mask = static_cast<uint8_t*>(GuardedAlloc(static_cast<size_t>(record->maskBytes)));
  }
  image->pixels = record->pixels;
  image->palette = record->palette;
  image->mask = record->mask;
  if (record->afterAllocate) record->afterAllocate(image);
  return 1;
}

int PNGTRANS_CDECL GuardedHost::Release(HostImage* image) {
  auto* record = reinterpret_cast<Record*>(image);
  ++record->releaseCalls;
  FreeBuffers(record);
  image->pixels = nullptr;
  image->palette = nullptr;
  image->mask = nullptr;
  return 1;
}

Bytes GuardedHost::Pixels() const {
  if (record_.pixels == nullptr) return Bytes();
  return Bytes(record_.pixels, record_.pixels + record_.pixelBytes);
}

Bytes GuardedHost::Mask() const {
  if (record_.mask == nullptr) return Bytes();
  return Bytes(record_.mask, record_.mask + record_.maskBytes);
}

std::vector<uint32_t> GuardedHost::Palette() const {
  if (record_.palette == nullptr) return {};
  return std::vector<uint32_t>(record_.palette, record_.palette + 256);
}

ProgressRecorder::ProgressRecorder() {
  ProgressLog().clear();
}

void PNGTRANS_CDECL ProgressRecorder::Callback(int32_t done, int32_t total) {
  ProgressLog().emplace_back(done, total);
}

const std::vector<std::pair<int32_t, int32_t>>& ProgressRecorder::calls() const {
  return ProgressLog();
}

ExpectedHost ExpectHost(const RawImage& image, const Bytes& palette, const Bytes& trns) {
  ExpectedHost e;
  const uint8_t type = image.colorType;
  const uint8_t depth = image.bitDepth;
  const uint32_t w = image.width;
  const bool wide = type == 2 || type == 6 || depth == 16;
  e.colorKind = wide ? 3 : type == 3 ? 2 : 1;
  e.bitsPerPixel = wide ? 24 : 8;
  e.rowBytes = wide ? 3 * w : w;
  if (type == 4 || type == 6) {
    e.maskKind = 2;
    e.maskRowBytes = static_cast<int32_t>(w);
  }
  // The high byte of a sample, or a low-depth grey sample spread over 0-255.
  auto level = [&](const Bytes& row, uint32_t index) -> uint8_t {
    const uint32_t v = GetSample(row, index, depth);
    switch (depth) {
      case 1:
        return static_cast<uint8_t>(v * 255);
      case 2:
        return static_cast<uint8_t>(v * 85);
      case 4:
        return static_cast<uint8_t>(v * 17);
      case 16:
        return static_cast<uint8_t>(v >> 8);
      default:
        return static_cast<uint8_t>(v);
    }
  };
  for (const Bytes& row : image.rows) {
    for (uint32_t x = 0; x < w; ++x) {
      switch (type) {
        case 0:
        case 4: {
          const uint32_t channels = type == 4 ? 2 : 1;
          const uint8_t g = level(row, x * channels);
          e.pixels.push_back(g);
          if (wide) {
            e.pixels.push_back(g);
            e.pixels.push_back(g);
          }
          if (type == 4) e.mask.push_back(level(row, x * 2 + 1));
          break;
        }
        case 3:
          e.pixels.push_back(static_cast<uint8_t>(GetSample(row, x, depth)));
          break;
        default: {
          const uint32_t channels = type == 6 ? 4 : 3;
          e.pixels.push_back(level(row, x * channels + 2));
          e.pixels.push_back(level(row, x * channels + 1));
          e.pixels.push_back(level(row, x * channels));
          if (type == 6) e.mask.push_back(level(row, x * channels + 3));
          break;
        }
      }
    }
  }
  // tRNS: each palette entry's alpha (255 beyond the table), or 0 where every sample equals
  // the key at full precision.
  if (!trns.empty() && (type == 0 || type == 2 || type == 3)) {
    e.maskKind = 2;
    e.maskRowBytes = static_cast<int32_t>(w);
    for (const Bytes& row : image.rows) {
      for (uint32_t x = 0; x < w; ++x) {
        if (type == 3) {
          const uint32_t index = GetSample(row, x, depth);
          e.mask.push_back(index < trns.size() ? trns[index] : 255);
          continue;
        }
        const uint32_t channels = type == 2 ? 3 : 1;
        // The key is read masked to the bit depth.
        const uint32_t bits = depth == 16 ? 0xFFFF : (1u << depth) - 1;
        bool key = true;
        for (uint32_t c = 0; c < channels; ++c) {
          const uint32_t want = static_cast<uint32_t>(trns[2 * c] << 8 | trns[2 * c + 1]) & bits;
          key = key && GetSample(row, x * channels + c, depth) == want;
        }
        e.mask.push_back(key ? 0 : 255);
      }
    }
  }
  if (type == 0 || type == 4) {
    e.palette.assign(256, 0);
    const uint32_t step = depth == 1 ? 255 : depth == 2 ? 85 : depth == 4 ? 17 : 1;
    uint32_t entry = 0;
    for (uint32_t v = 0; v < 256; v += step) e.palette[entry++] = v * 0x010101u;
  } else if (type == 3) {
    e.palette.assign(256, 0);
    for (size_t i = 0; i + 2 < palette.size() && i / 3 < 256; i += 3) {
      e.palette[i / 3] = palette[i] | palette[i + 1] << 8 | palette[i + 2] << 16;
    }
  }
  return e;
}

Bytes TestPalette(uint32_t count) {
  Bytes palette;
  for (uint32_t i = 0; i < count; ++i) {
    palette.push_back(static_cast<uint8_t>(i * 7 + 3));
    palette.push_back(static_cast<uint8_t>(255 - i));
    palette.push_back(static_cast<uint8_t>(i * 13 + 100));
  }
  return palette;
}

}  // namespace pngtrans::test
