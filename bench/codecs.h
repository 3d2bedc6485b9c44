// The contenders of the benchmark behind one shape: each import fills a HostBuffers in the host
// layout the module uses (8-bit grey or indices, B,G,R, an 8-bit mask split from alpha, 16-bit
// samples reduced to their high byte), each export writes a file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/host_image.h"

namespace bench {

// Host buffers owned by the benchmark. Sized by the first import of a file and reused by every
// later one, so that no contender pays for the host's allocation inside a timed run.
struct HostBuffers {
  HostImage image{};
  std::vector<uint8_t> pixels;
  std::vector<uint8_t> mask;
  std::vector<ColorValue> palette = std::vector<ColorValue>(256);
  uint32_t pixelBytes = 0;  // host bytes per pixel: 1 or 3
  bool hasMask = false;
  std::vector<uint8_t> scratch;  // a contender's own rows, kept from run to run
  std::vector<uint8_t*> rows;    // row pointers into pixels or scratch
};

// The header facts the reference decoders need.
struct PngHeader {
  uint32_t width = 0, height = 0;
  uint8_t bitDepth = 0, colorType = 0, interlaced = 0;
};

bool ReadHeader(const std::string& path, PngHeader* header);
uint32_t HostPixelBytes(const PngHeader& header);
bool HeaderHasAlpha(const PngHeader& header);

// Prepares a buffer set for the reference decoders: tight rows of the host layout.
void PrepareReference(const PngHeader& header, HostBuffers* out);

bool LibpngImport(const std::string& path, const PngHeader& header, HostBuffers* out);
bool SpngImport(const std::string& path, const PngHeader& header, HostBuffers* out);

// The floor: the file's IDAT data concatenated once, then inflated into one buffer per run.
struct InflateFloor {
  std::vector<uint8_t> compressed;
  std::vector<uint8_t> inflated;
  bool Prepare(const std::string& path, const PngHeader& header);
  bool Run();
};

// libpng writing the image that the module exported to reference (same header and palette),
// from the host rows, at its default level and filter heuristic.
struct LibpngExport {
  PngHeader header;
  std::vector<uint8_t> palette;  // RGB triples
  std::vector<uint8_t> trns;
  bool Prepare(const std::string& reference);
  bool Run(const HostBuffers& host, const std::string& path) const;
};

// The module, loaded as a host loads it.
class Module {
 public:
  bool Load(const std::string& path);
  // Command 3 into buffers (sized on first use); returns the TranslatorProc result.
  bool Import(const std::string& path, HostBuffers* out);
  // Command 13 with option word 0.
  bool Export(const HostBuffers& host, const std::string& path);

 private:
  TranslatorProcFn proc_ = nullptr;
};

}  // namespace bench
