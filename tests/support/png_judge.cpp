#include "support/png_judge.h"

#if PNGTRANS_HAVE_LIBPNG

#include <cstdio>
#include <cstring>

#include <png.h>

namespace pngtrans::test {

namespace {

struct MemoryReader {
  const Bytes* file;
  size_t at;
};

void ReadFromMemory(png_structp png, png_bytep data, png_size_t length) {
  auto* reader = static_cast<MemoryReader*>(png_get_io_ptr(png));
  if (reader->at + length > reader->file->size()) png_error(png, "read past end of file");
  std::memcpy(data, reader->file->data() + reader->at, length);
  reader->at += length;
}

void WriteToMemory(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<Bytes*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void FlushNothing(png_structp) {}

void RecordError(png_structp png, png_const_charp message) {
  auto* error = static_cast<std::string*>(png_get_error_ptr(png));
  if (error != nullptr) *error = message;
  png_longjmp(png, 1);
}

void IgnoreWarning(png_structp, png_const_charp) {}

// A second decode through libpng's transformations: everything expanded to colour with alpha
// (tRNS into the alpha channel), of which only the alpha is kept.
bool DecodeAlphaWithLibpng(const Bytes& file, Bytes* alpha, std::string* error) {
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, error, RecordError, IgnoreWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  MemoryReader reader{&file, 0};
  std::vector<Bytes> rows;
  std::vector<png_bytep> pointers;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, nullptr);
    return false;
  }
  png_set_read_fn(png, &reader, ReadFromMemory);
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_read_info(png, info);
  png_set_expand(png);
  png_set_tRNS_to_alpha(png);
  png_set_gray_to_rgb(png);
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const uint32_t width = png_get_image_width(png, info);
  const uint32_t height = png_get_image_height(png, info);
  const size_t pixelBytes = png_get_bit_depth(png, info) == 16 ? 8 : 4;
  rows.assign(height, Bytes(png_get_rowbytes(png, info)));
  pointers.resize(height);
  for (uint32_t y = 0; y < height; ++y) pointers[y] = rows[y].data();
  png_read_image(png, pointers.data());
  png_destroy_read_struct(&png, &info, nullptr);
  alpha->clear();
  for (const Bytes& row : rows) {
    for (uint32_t x = 0; x < width; ++x) alpha->push_back(row[x * pixelBytes + pixelBytes * 3 / 4]);
  }
  return true;
}

}  // namespace

bool DecodeWithLibpng(const Bytes& file, DecodedPng* out) {
  *out = DecodedPng();
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, &out->error, RecordError, IgnoreWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  png_infop endInfo = png_create_info_struct(png);
  MemoryReader reader{&file, 0};
  std::vector<png_bytep> pointers;
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_read_struct(&png, &info, &endInfo);
    return false;
  }
  png_set_read_fn(png, &reader, ReadFromMemory);
  png_set_user_limits(png, 0x7fffffff, 0x7fffffff);
  png_read_info(png, info);
  out->width = png_get_image_width(png, info);
  out->height = png_get_image_height(png, info);
  out->bitDepth = png_get_bit_depth(png, info);
  out->colorType = png_get_color_type(png, info);
  out->interlace = png_get_interlace_type(png, info);
  png_colorp palette = nullptr;
  int paletteCount = 0;
  if (png_get_PLTE(png, info, &palette, &paletteCount) & PNG_INFO_PLTE) {
    for (int i = 0; i < paletteCount; ++i) {
      out->palette.push_back(palette[i].red);
      out->palette.push_back(palette[i].green);
      out->palette.push_back(palette[i].blue);
    }
  }
  png_bytep trans = nullptr;
  int transCount = 0;
  png_color_16p transValues = nullptr;
  if (png_get_tRNS(png, info, &trans, &transCount, &transValues) & PNG_INFO_tRNS) {
    if (out->colorType == PNG_COLOR_TYPE_PALETTE) {
      out->trns.assign(trans, trans + transCount);
    } else if (out->colorType == PNG_COLOR_TYPE_GRAY) {
      out->trns = Be16(transValues->gray);
    } else {
      out->trns = Be16(transValues->red);
      Append(&out->trns, Be16(transValues->green));
      Append(&out->trns, Be16(transValues->blue));
    }
  }
  png_color_16p background = nullptr;
  out->hasBackground = png_get_bKGD(png, info, &background) != 0;
  png_uint_32 resX = 0, resY = 0;
  int unit = 0;
  if (png_get_pHYs(png, info, &resX, &resY, &unit)) {
    out->resX = resX;
    out->resY = resY;
    out->resUnit = unit;
  }
  png_set_interlace_handling(png);
  png_read_update_info(png, info);
  const size_t rowBytes = png_get_rowbytes(png, info);
  out->rows.assign(out->height, Bytes(rowBytes));
  pointers.resize(out->height);
  for (uint32_t y = 0; y < out->height; ++y) pointers[y] = out->rows[y].data();
  png_read_image(png, pointers.data());
  png_read_end(png, endInfo);
  for (png_infop which : {info, endInfo}) {
    png_textp texts = nullptr;
    int count = 0;
    png_get_text(png, which, &texts, &count);
    for (int i = 0; i < count; ++i) {
      out->texts.emplace_back(texts[i].key,
                              std::string(texts[i].text, texts[i].text + texts[i].text_length));
    }
  }
  png_destroy_read_struct(&png, &info, &endInfo);
  if (!out->trns.empty() && (out->colorType == 0 || out->colorType == 2 || out->colorType == 3)) {
    return DecodeAlphaWithLibpng(file, &out->alpha, &out->error);
  }
  return true;
}

bool EncodeWithLibpng(const RawImage& image, bool interlace, const Bytes& palette,
                      const Bytes& trns, Bytes* out) {
  out->clear();
  std::string error;
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, &error, RecordError, IgnoreWarning);
  if (png == nullptr) return false;
  png_infop info = png_create_info_struct(png);
  std::vector<png_bytep> pointers(image.height);
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, out, WriteToMemory, FlushNothing);
  png_set_IHDR(png, info, image.width, image.height, image.bitDepth, image.colorType,
               interlace ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  std::vector<png_color> colors;
  for (size_t i = 0; i + 2 < palette.size(); i += 3) {
    colors.push_back(png_color{palette[i], palette[i + 1], palette[i + 2]});
  }
  if (!colors.empty()) png_set_PLTE(png, info, colors.data(), static_cast<int>(colors.size()));
  if (!trns.empty() && image.colorType == 3) {
    png_set_tRNS(png, info, trns.data(), static_cast<int>(trns.size()), nullptr);
  }
  png_write_info(png, info);
  for (uint32_t y = 0; y < image.height; ++y) {
    pointers[y] = const_cast<png_bytep>(image.rows[y].data());
  }
  png_write_image(png, pointers.data());
  png_write_end(png, info);
  png_destroy_write_struct(&png, &info);
  return true;
}

bool RunPngcheck(const std::string& path, std::string* output) {
  const std::string command = "pngcheck -q '" + path + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) return false;
  std::string text;
  char buffer[512];
  while (fgets(buffer, sizeof buffer, pipe) != nullptr) text += buffer;
  const int status = pclose(pipe);
  if (output != nullptr) *output = text;
  return status == 0;
}

}  // namespace pngtrans::test

#endif
