// xtnd-host: a small reference host. It loads a translator module at run time and drives it
// through the command protocol only, exactly as an image application would.
//
//   xtnd-host info   MODULE               the translator record as a host sees it
//   xtnd-host open   MODULE FILE.png      probe (command 9) and import (command 3)
//   xtnd-host demo   MODULE OUTDIR        save a built-in sample in several modes (command 13),
//                                         open every file again and compare
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <sys/stat.h>
#endif

#include "host_module.h"

namespace xtnd {
namespace {

enum Command : uint16_t { Import = 3, Attributes = 9, ExportWithOptions = 13 };

// --- host buffers -------------------------------------------------------------------------------

// The host's allocate: sizes checked in 64 bits, buffers from the C heap.
int PT_CDECL AllocateBuffers(HostImage* image) {
  const uint64_t pixelBytes = static_cast<uint64_t>(image->height) * image->rowBytes;
  const uint64_t maskBytes =
      image->maskKind != 0 ? static_cast<uint64_t>(image->height) * image->maskRowBytes : 0;
  if (pixelBytes > 0x40000000u || maskBytes > 0x40000000u) return 0;
  image->pixels = static_cast<uint8_t*>(std::calloc(pixelBytes ? pixelBytes : 1, 1));
  image->palette = static_cast<ColorValue*>(std::calloc(256, sizeof(ColorValue)));
  image->mask = maskBytes ? static_cast<uint8_t*>(std::calloc(maskBytes, 1)) : nullptr;
  if (image->pixels == nullptr || image->palette == nullptr || (maskBytes && !image->mask)) {
    return 0;
  }
  return 1;
}

int PT_CDECL ReleaseBuffers(HostImage* image) {
  std::free(image->pixels);
  std::free(image->palette);
  std::free(image->mask);
  image->pixels = nullptr;
  image->palette = nullptr;
  image->mask = nullptr;
  return 1;
}

int32_t lastProgress = -1;
int32_t lastTotal = -1;
void PT_CDECL TrackProgress(int32_t done, int32_t total) {
  lastProgress = done;
  lastTotal = total;
}

const char* KindName(int32_t kind) {
  switch (kind) {
    case 0:
      return "bilevel";
    case 1:
      return "grey";
    case 2:
      return "indexed";
    case 3:
      return "full colour";
    default:
      return "unknown";
  }
}

// --- commands -----------------------------------------------------------------------------------

int Info(const HostModule& module) {
  const TranslatorRecord& r = module.record();
  char type[5] = {};
  std::memcpy(type, r.typeName, 4);
  std::printf("translators: %d\n", module.Count());
  std::printf("name:        %s\n", DecodeShiftJis(r.displayName, sizeof r.displayName).c_str());
  std::printf("type:        %s\n", type);
  std::printf("words:       %u %u, flags %02X %02X %02X %02X\n", r.hostWord72, r.hostWord76,
              r.hostBytes80[0], r.hostBytes80[1], r.hostBytes80[2], r.hostBytes80[3]);
  CommandHeader header = {0, 2, 0};
  std::printf("commands:   ");
  for (uint32_t code = 0; code <= 13; ++code) {
    if (module.procedure()(&header, code) == 1) std::printf(" %u", code);
  }
  std::printf("\n");
  return 0;
}

struct Opened {
  HostImage image = {};
  char title[64] = {};
  uint32_t options = 0;
  uint32_t attributes = 0;
  int status = 0;
  bool ok = false;
};

Opened Open(const HostModule& module, const std::string& path) {
  Opened opened;
  CommandHeader header = {0, Attributes, 0};
  module.procedure()(&header, path.c_str(), &opened.attributes);
  opened.image.allocate = AllocateBuffers;
  opened.image.release = ReleaseBuffers;
  header = {0, Import, 0};
  lastProgress = lastTotal = -1;
  opened.ok = module.procedure()(&header, path.c_str(), opened.title, &opened.image,
                                 &opened.options, 0u, 0u, TrackProgress) == 1;
  opened.status = header.result;
  return opened;
}

void PrintOpened(const std::string& path, const Opened& o) {
  if (!o.ok) {
    std::printf("%s: cannot open (status %d)\n", path.c_str(), o.status);
    return;
  }
  const HostImage& im = o.image;
  std::printf("%s: %ux%u %s, %d bits, mask %u, %ux%u per unit, options %08X, attributes %08X",
              path.c_str(), im.width, im.height, KindName(im.colorKind), im.bitsPerPixel,
              im.maskKind, im.resolutionX, im.resolutionY, o.options, o.attributes);
  if (o.title[0] != '\0') std::printf(", title \"%s\"", o.title);
  std::printf(", progress %d/%d\n", lastProgress, lastTotal);
}

int OpenFile(const HostModule& module, const std::string& path) {
  Opened opened = Open(module, path);
  PrintOpened(path, opened);
  if (opened.ok) ReleaseBuffers(&opened.image);
  return opened.ok ? 0 : 1;
}

// --- the built-in sample ------------------------------------------------------------------------

// A 96 x 64 full-colour picture: colour ramps with a round window in the 8-bit mask.
struct Sample {
  HostImage image = {};
  std::vector<uint8_t> pixels;
  std::vector<uint8_t> mask;
  std::vector<ColorValue> palette = std::vector<ColorValue>(256, 0);
};

void MakeSample(Sample* s) {
  const uint32_t w = 96, h = 64;
  s->pixels.resize(w * h * 3);
  s->mask.resize(w * h);
  for (uint32_t y = 0; y < h; ++y) {
    for (uint32_t x = 0; x < w; ++x) {
      uint8_t* p = &s->pixels[(y * w + x) * 3];
      p[0] = static_cast<uint8_t>(x * 255 / (w - 1));            // blue
      p[1] = static_cast<uint8_t>(y * 255 / (h - 1));            // green
      p[2] = static_cast<uint8_t>(((x / 8 + y / 8) & 1) * 200);  // red checks
      const int dx = static_cast<int>(x) - 48, dy = static_cast<int>(y) - 32;
      s->mask[y * w + x] = dx * dx + dy * dy < 28 * 28 ? 255 : 0;
    }
  }
  HostImage& im = s->image;
  im.width = w;
  im.height = h;
  im.resolutionX = im.resolutionY = 2835;
  im.colorKind = 3;
  im.bitsPerPixel = 24;
  im.rowBytes = w * 3;
  im.maskKind = 2;
  im.maskBits = 8;
  im.maskRowBytes = static_cast<int32_t>(w);
  im.pixels = s->pixels.data();
  im.palette = s->palette.data();
  im.mask = s->mask.data();
  im.backgroundColor = 0x00FFFFFF;
}

struct Mode {
  const char* name;
  uint32_t options;
  bool lossless;
};

int Demo(const HostModule& module, const std::string& outDir) {
  Info(module);
#if defined(_WIN32)
  CreateDirectoryA(outDir.c_str(), nullptr);
#else
  mkdir(outDir.c_str(), 0777);
#endif
  Sample sample;
  MakeSample(&sample);
  const Mode modes[] = {
      {"rgb", 0x00082000, true},
      {"rgba", 0x00086100, true},
      {"rgba-interlaced", 0x00086101, true},
      {"palette", 0x00083000, false},
      {"grey", 0x00080000, false},
  };
  int failures = 0;
  for (const Mode& mode : modes) {
    const std::string path = outDir + "/sample-" + mode.name + ".png";
    CommandHeader header = {0, ExportWithOptions, 0};
    lastProgress = lastTotal = -1;
    const int saved = module.procedure()(&header, path.c_str(), "pngtrans sample", &sample.image,
                                         mode.options, TrackProgress);
    std::printf("save %-16s options %08X -> %s (result %d, progress %d/%d)\n", mode.name,
                mode.options, saved ? "ok" : "FAILED", header.result, lastProgress, lastTotal);
    if (!saved) {
      ++failures;
      continue;
    }
    Opened opened = Open(module, path);
    PrintOpened(path, opened);
    if (!opened.ok) {
      ++failures;
      continue;
    }
    if (mode.lossless) {
      const bool samePixels =
          opened.image.width == 96 && opened.image.height == 64 &&
          opened.image.bitsPerPixel == 24 &&
          std::memcmp(opened.image.pixels, sample.pixels.data(), sample.pixels.size()) == 0;
      const bool wantMask = (mode.options & 0x0F00) == 0x0100;
      const bool sameMask = !wantMask || (opened.image.mask != nullptr &&
                                          std::memcmp(opened.image.mask, sample.mask.data(),
                                                      sample.mask.size()) == 0);
      std::printf("  round trip: pixels %s, mask %s\n", samePixels ? "identical" : "DIFFER",
                  wantMask ? (sameMask ? "identical" : "DIFFERS") : "not saved");
      if (!samePixels || !sameMask) ++failures;
    }
    ReleaseBuffers(&opened.image);
  }
  std::printf(failures == 0 ? "demo: all files saved and opened\n" : "demo: %d failures\n",
              failures);
  return failures == 0 ? 0 : 1;
}

int Usage() {
  std::fprintf(stderr,
               "usage: xtnd-host info MODULE\n"
               "       xtnd-host open MODULE FILE.png\n"
               "       xtnd-host demo MODULE OUTDIR\n");
  return 2;
}

}  // namespace
}  // namespace xtnd

int main(int argc, char** argv) {
#if defined(_WIN32)
  _setmode(_fileno(stdout), _O_BINARY);
#endif
  if (argc < 3) return xtnd::Usage();
  const std::string verb = argv[1];
  xtnd::HostModule module(argv[2]);
  if (!module.ok()) {
    std::fprintf(stderr, "xtnd-host: %s\n", module.error().c_str());
    return 1;
  }
  if (verb == "info") return xtnd::Info(module);
  if (verb == "open" && argc >= 4) return xtnd::OpenFile(module, argv[3]);
  if (verb == "demo" && argc >= 4) return xtnd::Demo(module, argv[3]);
  return xtnd::Usage();
}
