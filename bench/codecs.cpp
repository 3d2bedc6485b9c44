#include "codecs.h"

#include <dlfcn.h>
#include <png.h>
#include <spng.h>
#include <zlib.h>

#include <csetjmp>
#include <cstdio>
#include <cstring>

namespace bench {

namespace {

uint32_t BigEndian32(const uint8_t* b) {
  return static_cast<uint32_t>(b[0]) << 24 | static_cast<uint32_t>(b[1]) << 16 |
         static_cast<uint32_t>(b[2]) << 8 | b[3];
}

bool ReadFile(const std::string& path, std::vector<uint8_t>* bytes) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  bytes->clear();
  uint8_t piece[65536];
  size_t got = 0;
  while ((got = std::fread(piece, 1, sizeof piece, f)) > 0)
    bytes->insert(bytes->end(), piece, piece + got);
  std::fclose(f);
  return true;
}

// One row in the file's own layout (big-endian 16-bit samples) into the host layout.
void RawRowToHost(const PngHeader& h, const uint8_t* row, uint8_t* pixels, uint8_t* mask) {
  const uint32_t w = h.width;
  const uint32_t depth = h.bitDepth;
  switch (h.colorType) {
    case 0:
    case 3:
      if (depth < 8) {
        const uint32_t scale = h.colorType == 3 ? 1 : depth == 1 ? 255 : depth == 2 ? 85 : 17;
        for (uint32_t x = 0; x < w; ++x) {
          const uint32_t bit = x * depth;
          const uint32_t v = (row[bit >> 3] >> (8 - depth - (bit & 7))) & ((1u << depth) - 1);
          pixels[x] = static_cast<uint8_t>(v * scale);
        }
      } else if (depth == 8) {
        std::memcpy(pixels, row, w);
      } else {
        for (uint32_t x = 0; x < w; ++x)
          pixels[3 * x] = pixels[3 * x + 1] = pixels[3 * x + 2] = row[2 * x];
      }
      break;
    case 2: {
      const uint32_t step = depth / 8;
      for (uint32_t x = 0; x < w; ++x, row += 3 * step, pixels += 3) {
        pixels[0] = row[2 * step];
        pixels[1] = row[step];
        pixels[2] = row[0];
      }
      break;
    }
    case 4: {
      const uint32_t step = depth / 8;
      for (uint32_t x = 0; x < w; ++x, row += 2 * step) {
        if (step == 1) {
          pixels[x] = row[0];
        } else {
          pixels[3 * x] = pixels[3 * x + 1] = pixels[3 * x + 2] = row[0];
        }
        mask[x] = row[step];
      }
      break;
    }
    case 6: {
      const uint32_t step = depth / 8;
      for (uint32_t x = 0; x < w; ++x, row += 4 * step, pixels += 3) {
        pixels[0] = row[2 * step];
        pixels[1] = row[step];
        pixels[2] = row[0];
        mask[x] = row[3 * step];
      }
      break;
    }
    default:
      break;
  }
}

// libpng's rows after its transformations: grey + alpha (8 bits) or B,G,R,A, split into the
// host's pixel row and mask row.
void SplitAlpha(const PngHeader& h, const uint8_t* row, uint8_t* pixels, uint8_t* mask) {
  const uint32_t w = h.width;
  if (h.colorType == 4) {
    for (uint32_t x = 0; x < w; ++x, row += 2) {
      if (h.bitDepth == 8) {
        pixels[x] = row[0];
      } else {
        pixels[3 * x] = pixels[3 * x + 1] = pixels[3 * x + 2] = row[0];
      }
      mask[x] = row[1];
    }
    return;
  }
  for (uint32_t x = 0; x < w; ++x, row += 4, pixels += 3) {
    pixels[0] = row[0];
    pixels[1] = row[1];
    pixels[2] = row[2];
    mask[x] = row[3];
  }
}

uint8_t* PixelRow(HostBuffers* out, uint32_t y) {
  return out->pixels.data() + static_cast<size_t>(y) * out->image.rowBytes;
}

uint8_t* MaskRow(HostBuffers* out, uint32_t y) {
  return out->hasMask ? out->mask.data() + static_cast<size_t>(y) * out->image.maskRowBytes
                      : nullptr;
}

// The host's allocate callback of the benchmark: the buffers of the HostBuffers being filled,
// grown only the first time a file is imported.
HostBuffers* g_filling = nullptr;

int PT_CDECL AllocateHost(HostImage* image) {
  HostBuffers* out = g_filling;
  const size_t pixelBytes = static_cast<size_t>(image->rowBytes) * image->height;
  if (out->pixels.size() < pixelBytes) out->pixels.resize(pixelBytes);
  image->pixels = out->pixels.data();
  image->palette = out->palette.data();
  out->hasMask = image->maskKind != 0;
  if (out->hasMask) {
    const size_t maskBytes = static_cast<size_t>(image->maskRowBytes) * image->height;
    if (out->mask.size() < maskBytes) out->mask.resize(maskBytes);
    image->mask = out->mask.data();
  }
  return 1;
}

int PT_CDECL ReleaseHost(HostImage*) {
  return 1;
}

}  // namespace

bool ReadHeader(const std::string& path, PngHeader* header) {
  uint8_t head[33];
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  const bool ok = std::fread(head, 1, sizeof head, f) == sizeof head;
  std::fclose(f);
  if (!ok || std::memcmp(head + 12, "IHDR", 4) != 0) return false;
  header->width = BigEndian32(head + 16);
  header->height = BigEndian32(head + 20);
  header->bitDepth = head[24];
  header->colorType = head[25];
  header->interlaced = head[28];
  return true;
}

uint32_t HostPixelBytes(const PngHeader& h) {
  if (h.colorType == 2 || h.colorType == 6) return 3;
  if ((h.colorType == 0 || h.colorType == 4) && h.bitDepth == 16) return 3;
  return 1;
}

bool HeaderHasAlpha(const PngHeader& h) {
  return h.colorType == 4 || h.colorType == 6;
}

void PrepareReference(const PngHeader& h, HostBuffers* out) {
  out->pixelBytes = HostPixelBytes(h);
  out->hasMask = HeaderHasAlpha(h);
  out->image.width = h.width;
  out->image.height = h.height;
  out->image.rowBytes = h.width * out->pixelBytes;
  out->image.maskRowBytes = static_cast<int32_t>(h.width);
  out->pixels.assign(static_cast<size_t>(out->image.rowBytes) * h.height, 0);
  if (out->hasMask) out->mask.assign(static_cast<size_t>(h.width) * h.height, 0);
}

bool LibpngImport(const std::string& path, const PngHeader& h, HostBuffers* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  if (h.bitDepth == 16) png_set_strip_16(png);
  if (h.colorType == 0 && h.bitDepth < 8) png_set_expand_gray_1_2_4_to_8(png);
  if (h.colorType == 3 && h.bitDepth < 8) png_set_packing(png);
  if (h.colorType == 0 && h.bitDepth == 16) png_set_gray_to_rgb(png);
  if (h.colorType == 2 || h.colorType == 6) png_set_bgr(png);
  const int passes = png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  const bool split = HeaderHasAlpha(h);
  if (!split) {
    // The transformed rows are host rows: libpng writes straight into the host buffer.
    if (passes == 1) {
      for (uint32_t y = 0; y < h.height; ++y) png_read_row(png, PixelRow(out, y), nullptr);
    } else {
      out->rows.resize(h.height);
      for (uint32_t y = 0; y < h.height; ++y) out->rows[y] = PixelRow(out, y);
      png_read_image(png, out->rows.data());
    }
  } else if (passes == 1) {
    if (out->scratch.size() < rowBytes) out->scratch.resize(rowBytes);
    for (uint32_t y = 0; y < h.height; ++y) {
      png_read_row(png, out->scratch.data(), nullptr);
      SplitAlpha(h, out->scratch.data(), PixelRow(out, y), MaskRow(out, y));
    }
  } else {
    if (out->scratch.size() < rowBytes * h.height) out->scratch.resize(rowBytes * h.height);
    out->rows.resize(h.height);
    for (uint32_t y = 0; y < h.height; ++y) out->rows[y] = out->scratch.data() + y * rowBytes;
    png_read_image(png, out->rows.data());
    for (uint32_t y = 0; y < h.height; ++y) {
      SplitAlpha(h, out->rows[y], PixelRow(out, y), MaskRow(out, y));
    }
  }
  png_read_end(png, nullptr);
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return true;
}

bool SpngImport(const std::string& path, const PngHeader& h, HostBuffers* out) {
  FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  spng_ctx* ctx = spng_ctx_new(0);
  bool ok = ctx != nullptr && spng_set_png_file(ctx, f) == 0;
  size_t size = 0;
  ok = ok && spng_decoded_image_size(ctx, SPNG_FMT_RAW, &size) == 0;
  const size_t rowBytes = h.height != 0 ? size / h.height : 0;
  if (ok && !h.interlaced) {
    // Row by row through one scratch row, converted as each arrives.
    if (out->scratch.size() < rowBytes) out->scratch.resize(rowBytes);
    ok = spng_decode_image(ctx, nullptr, 0, SPNG_FMT_RAW, SPNG_DECODE_PROGRESSIVE) == 0;
    for (uint32_t y = 0; ok && y < h.height; ++y) {
      const int r = spng_decode_row(ctx, out->scratch.data(), rowBytes);
      ok = r == 0 || (r == SPNG_EOI && y + 1 == h.height);
      if (ok) RawRowToHost(h, out->scratch.data(), PixelRow(out, y), MaskRow(out, y));
    }
  } else if (ok) {
    if (out->scratch.size() < size) out->scratch.resize(size);
    ok = spng_decode_image(ctx, out->scratch.data(), size, SPNG_FMT_RAW, 0) == 0;
    for (uint32_t y = 0; ok && y < h.height; ++y) {
      RawRowToHost(h, out->scratch.data() + y * rowBytes, PixelRow(out, y), MaskRow(out, y));
    }
  }
  spng_ctx_free(ctx);
  std::fclose(f);
  return ok;
}

bool InflateFloor::Prepare(const std::string& path, const PngHeader& h) {
  std::vector<uint8_t> file;
  if (!ReadFile(path, &file)) return false;
  compressed.clear();
  for (size_t at = 8; at + 12 <= file.size();) {
    const uint32_t length = BigEndian32(&file[at]);
    if (at + 12 + static_cast<size_t>(length) > file.size()) return false;
    if (std::memcmp(&file[at + 4], "IDAT", 4) == 0) {
      compressed.insert(compressed.end(), file.begin() + at + 8, file.begin() + at + 8 + length);
    }
    at += 12 + static_cast<size_t>(length);
  }
  // Room for every filter byte and row of all seven passes.
  const uint64_t bits = static_cast<uint64_t>(h.width) * h.bitDepth *
                        (h.colorType == 2   ? 3
                         : h.colorType == 4 ? 2
                         : h.colorType == 6 ? 4
                                            : 1);
  inflated.resize(static_cast<size_t>((bits / 8 + 8) * h.height * 2 + 64));
  return !compressed.empty();
}

bool InflateFloor::Run() {
  z_stream z{};
  if (inflateInit(&z) != Z_OK) return false;
  z.next_in = compressed.data();
  z.avail_in = static_cast<uInt>(compressed.size());
  z.next_out = inflated.data();
  z.avail_out = static_cast<uInt>(inflated.size());
  const int result = inflate(&z, Z_FINISH);
  inflateEnd(&z);
  return result == Z_STREAM_END;
}

bool LibpngExport::Prepare(const std::string& reference) {
  FILE* f = std::fopen(reference.c_str(), "rb");
  if (f == nullptr) return false;
  png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_read_info(png, info);
  header.width = png_get_image_width(png, info);
  header.height = png_get_image_height(png, info);
  header.bitDepth = png_get_bit_depth(png, info);
  header.colorType = png_get_color_type(png, info);
  header.interlaced = png_get_interlace_type(png, info) != PNG_INTERLACE_NONE;
  png_colorp entries = nullptr;
  int count = 0;
  palette.clear();
  if (png_get_PLTE(png, info, &entries, &count) != 0) {
    for (int i = 0; i < count; ++i) {
      palette.push_back(entries[i].red);
      palette.push_back(entries[i].green);
      palette.push_back(entries[i].blue);
    }
  }
  png_bytep alpha = nullptr;
  int alphaCount = 0;
  trns.clear();
  if (png_get_tRNS(png, info, &alpha, &alphaCount, nullptr) != 0 && alpha != nullptr) {
    trns.assign(alpha, alpha + alphaCount);
  }
  png_destroy_read_struct(&png, &info, nullptr);
  std::fclose(f);
  return true;
}

bool LibpngExport::Run(const HostBuffers& host, const std::string& path) const {
  // Host rows in the layout the module writes from: 8-bit grey or indices, or B,G,R.
  const bool bgr = header.colorType == 2;
  if (!bgr && host.pixelBytes != 1) return false;
  if (bgr && host.pixelBytes != 3) return false;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    std::fclose(f);
    return false;
  }
  png_init_io(png, f);
  png_set_IHDR(png, info, header.width, header.height, header.bitDepth, header.colorType,
               header.interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
               PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_color entries[256];
  if (!palette.empty()) {
    const int count = static_cast<int>(palette.size() / 3);
    for (int i = 0; i < count; ++i) {
      entries[i].red = palette[3 * i];
      entries[i].green = palette[3 * i + 1];
      entries[i].blue = palette[3 * i + 2];
    }
    png_set_PLTE(png, info, entries, count);
  }
  if (!trns.empty()) {
    png_set_tRNS(png, info, const_cast<png_bytep>(trns.data()), static_cast<int>(trns.size()),
                 nullptr);
  }
  png_write_info(png, info);
  if (bgr) png_set_bgr(png);
  if (header.bitDepth < 8) png_set_packing(png);
  const int passes = png_set_interlace_handling(png);
  for (int pass = 0; pass < passes; ++pass) {
    for (uint32_t y = 0; y < header.height; ++y) {
      png_write_row(png, host.pixels.data() + static_cast<size_t>(y) * host.image.rowBytes);
    }
  }
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(f);
  return true;
}

bool Module::Load(const std::string& path) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) return false;
  auto info = reinterpret_cast<void (*)(int32_t, void*)>(dlsym(handle, "GetXTNDInfo"));
  if (info == nullptr) return false;
  TranslatorRecord record{};
  info(0, &record);
  proc_ = record.procedure;
  return proc_ != nullptr;
}

bool Module::Import(const std::string& path, HostBuffers* out) {
  std::memset(&out->image, 0, sizeof out->image);
  out->image.allocate = AllocateHost;
  out->image.release = ReleaseHost;
  g_filling = out;
  char title[64];
  uint32_t options = 0;
  CommandHeader header = {0, 3, 0};
  const int ok = proc_(&header, path.c_str(), title, &out->image, &options, 0, 0,
                       static_cast<ProgressCallback>(nullptr));
  out->pixelBytes = static_cast<uint32_t>(out->image.bitsPerPixel) / 8;
  return ok == 1;
}

bool Module::Export(const HostBuffers& host, const std::string& path) {
  HostImage image = host.image;
  CommandHeader header = {0, 13, 0};
  const int ok = proc_(&header, path.c_str(), "bench", &image, static_cast<uint32_t>(0),
                       static_cast<ProgressCallback>(nullptr));
  return ok == 1;
}

}  // namespace bench
