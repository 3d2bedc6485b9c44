// Writes the seed corpora of the fuzz targets from the test support's builders: PNG files of
// every colour type, depth and interlace (with every chunk the reader knows, and the small
// image matrix) for import and probe, host image recipes of every kind, depth, mask and option
// word for export. Usage: make_seeds DIRECTORY (import/, probe/ and export/ are made in it).
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "export_input.h"
#include "support/files.h"
#include "support/hostile_png.h"
#include "support/import_matrix.h"
#include "support/png_build.h"

namespace {

using pngtrans::test::Bytes;

bool Write(const std::string& dir, int n, const Bytes& bytes) {
  return pngtrans::test::WriteFileBytes(dir + "/seed-" + std::to_string(n), bytes);
}

}  // namespace

int main(int argc, char** argv) {
  using namespace pngtrans;
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s DIRECTORY\n", argv[0]);
    return 2;
  }
  const std::string root = argv[1];
  mkdir(root.c_str(), 0777);
  for (const char* target : {"import", "probe", "export"}) {
    mkdir((root + "/" + target).c_str(), 0777);
  }
  int n = 0;
  bool ok = true;
  for (const test::SeedFile& seed : test::SeedPngFiles()) {
    ok = ok && Write(root + "/import", ++n, seed.bytes) && Write(root + "/probe", n, seed.bytes);
  }
  // Every twentieth case of the small matrix: filters and IDAT splits in every combination.
  const std::vector<test::MatrixCase> matrix = test::SmallImageMatrix();
  for (size_t i = 0; i < matrix.size(); i += 20) {
    const Bytes file = test::EncodePng(matrix[i].raw, matrix[i].options);
    ok = ok && Write(root + "/import", ++n, file) && Write(root + "/probe", n, file);
  }

  // Export: kind x depth x mask x option word, small sizes with padded and exact strides.
  static const uint32_t kOptions[] = {0,          0x00080000, 0x00082000, 0x00083000, 0x00083011,
                                      0x00080001, 0x00084100, 0x00086100, 0x00086011, 0x00087000};
  uint32_t state = 1;
  for (uint8_t kind = 0; kind < 4; ++kind) {
    for (uint8_t bits : {0, 1}) {
      for (uint8_t maskKind : {0, 1, 2}) {
        for (uint32_t options : kOptions) {
          fuzz::ExportRecipe r;
          r.width = static_cast<uint16_t>(5 + n % 37);
          r.height = static_cast<uint16_t>(3 + n % 11);
          r.kind = kind;
          r.bits = bits;
          r.paletteCount = static_cast<uint8_t>(bits == 1 ? 5 : 0);  // 16 or 256 entries
          r.stride = static_cast<uint8_t>(n % 5);
          r.maskKind = maskKind;
          r.maskStride = static_cast<uint8_t>(n % 3);
          r.titleLength = 0;
          r.background = static_cast<uint32_t>(n * 2654435761u);
          r.options = options;
          r.resolutionX = 72;
          r.resolutionY = 96;
          Bytes fill(1500);
          for (uint8_t& b : fill) {
            state = state * 1103515245u + 12345u;
            b = static_cast<uint8_t>(state >> 16);
          }
          const std::string title = "Title " + std::to_string(++n);
          ok = ok && Write(root + "/export", n, fuzz::EncodeRecipe(r, title, fill));
        }
      }
    }
  }
  if (!ok) {
    std::fprintf(stderr, "make_seeds: cannot write into %s\n", root.c_str());
    return 1;
  }
  std::printf("make_seeds: %d seeds in %s\n", n, root.c_str());
  return 0;
}
