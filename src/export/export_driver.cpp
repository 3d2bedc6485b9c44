// The export driver: settles the options, creates the file, writes the head chunks, converts
// and hands over every host row, and writes the file end, releasing everything on every path.
#include "export/export_driver.h"

#include <cstdlib>
#include <cstring>

#include "export/host_to_png.h"
#include "export/png_writer.h"
#include "format/adam7.h"
#include "platform/lowio.h"
#include "base/checked_size.h"
#include "ui/save_options_dialog.h"
#include "quantize/median_cut.h"

namespace pngtrans {

namespace {

// saveMask while the driver works: the host image has no mask to save.
constexpr uint8_t kNoMask = 255;

bool HasAlpha(uint8_t colorType) {
  return colorType == 4 || colorType == 6;
}

// The options a zero word stands for: the PNG colour type closest to the host's pixels.
SaveOptionValues ExportDefaults(int32_t colorKind) {
  SaveOptionValues values = {0, 0, 0, 2, 8};
  if (colorKind == ColorKindGrey) values.colorType = 0;
  if (colorKind == ColorKindBilevel || colorKind == ColorKindIndexed) values.colorType = 3;
  return values;
}

// Without a mask the alpha bit of any colour type goes, whatever the rest of the nibble says:
// 7 becomes a palette file, 5 becomes 1 (which the header writer then refuses). With a mask,
// alpha is written only when the user asked for the mask; otherwise grey + alpha becomes grey
// and colour + alpha colour. (Command 13 clears saveMask for bilevel images precisely so that
// they are exported without one.)
void SettleMask(const HostImage& image, SaveOptionValues* values) {
  if (!HostHasMask(image)) {
    values->saveMask = kNoMask;
    values->colorType &= ~4u;
  }
  if (values->saveMask != 1 && HasAlpha(values->colorType)) values->colorType &= ~4u;
}

// 4-bit output only for an indexed image with a 16-entry palette: a grey or full-colour image
// with paletteCount 16 still has 256 palette entries, which 4-bit indices cannot address.
uint8_t OutputBitDepth(const HostImage& image, uint8_t colorType) {
  return colorType == 3 && image.colorKind == ColorKindIndexed && image.paletteCount == 16 ? 4 : 8;
}

// The host rows and masks the export will read, checked once so that no row address, copy or
// scratch size below can wrap: the last row must end inside a 32-bit address space.
Status RowsFit(uint32_t height, uint32_t stride, uint32_t used) {
  if (height == 0) return StatusOk;
  uint32_t offset = 0, end = 0;
  if (!MulFits32(height - 1, stride, &offset) || !AddFits32(offset, used, &end)) {
    return PT_FAIL(StatusNoMemory);
  }
  return StatusOk;
}

Status CheckHostImage(const HostImage& image, uint8_t colorType) {
  if (image.colorKind < ColorKindBilevel || image.colorKind > ColorKindFullColor) {
    return PT_FAIL(StatusError);
  }
  if (image.colorKind == ColorKindIndexed && image.palette == nullptr) return PT_FAIL(StatusError);
  // The scratch block holds the host row (up to 3 bytes per pixel), the PNG row (up to 4, RGB
  // + alpha) and the mask row (up to 1): 8 bytes per pixel at most.
  uint32_t wide = 0, scratch = 0;
  if (!MulFits32(image.width, 8, &wide) || !AddFits32(wide, 64, &scratch)) {
    return PT_FAIL(StatusNoMemory);
  }
  if (image.width == 0 || image.height == 0) return StatusOk;
  if (image.pixels == nullptr) return PT_FAIL(StatusError);
  PT_RETURN_IF_ERROR(RowsFit(image.height, image.rowBytes, HostRowBytesUsed(image)));
  if (HasAlpha(colorType) && HostHasMask(image)) {
    if (image.maskRowBytes < 0) return PT_FAIL(StatusError);
    PT_RETURN_IF_ERROR(
        RowsFit(image.height, static_cast<uint32_t>(image.maskRowBytes), MaskRowBytesUsed(image)));
  }
  return StatusOk;
}

// Copies at most the bytes the row's pixels occupy: hosts pad rows to any stride, and a
// stride shorter than the pixels leaves the missing ones zero.
void CopyHostRow(uint8_t* to, const uint8_t* from, uint32_t stride, uint32_t used) {
  const uint32_t copied = stride < used ? stride : used;
  std::memcpy(to, from, copied);
  if (copied < used) std::memset(to + copied, 0, used - copied);
}

void ReportProgress(ProgressCallback progress, uint64_t done, uint64_t total) {
  if (progress == nullptr) return;
  // Seven passes over a very tall image overflow the callback's 32-bit counts: both are
  // scaled down together so the ratio survives.
  while (total > 0x7FFFFFFF) {
    total >>= 1;
    done >>= 1;
  }
  progress(static_cast<int32_t>(done), static_cast<int32_t>(total));
}

// Pixels in host order: blue, green, red.
void ColorValueToBgr(ColorValue color, uint8_t* bgr) {
  bgr[0] = static_cast<uint8_t>(color >> 16);
  bgr[1] = static_cast<uint8_t>(color >> 8);
  bgr[2] = static_cast<uint8_t>(color);
}

Status QuantizeFullColor(const HostImage& image, WriterPalette* palette) {
  if (CreateQuantizer() == 0) return PT_FAIL(StatusNoMemory);
  // The quantizer must see each pixel as the row conversion will: a host stride shorter than
  // the pixels leaves the missing ones black there, so such rows are padded the same way.
  const uint32_t used = HostRowBytesUsed(image);
  uint8_t* padded = nullptr;
  if (image.rowBytes < used && image.height > 0) {
    padded = static_cast<uint8_t*>(std::malloc(used));
    if (padded == nullptr) return PT_FAIL(StatusNoMemory);
  }
  for (uint32_t y = 0; y < image.height && image.width > 0; ++y) {
    const uint8_t* row = image.pixels + static_cast<size_t>(y) * image.rowBytes;
    if (padded != nullptr) {
      CopyHostRow(padded, row, image.rowBytes, used);
      row = padded;
    }
    for (uint32_t x = 0; x < image.width; ++x) AddPixel(row + 3 * x);
  }
  std::free(padded);
  // The background always gets an entry of its own, so that it can be found again as the
  // transparent colour.
  uint8_t background[3];
  ColorValueToBgr(image.backgroundColor, background);
  AddPixel(background);
  uint8_t entries[4 * 256];
  BuildPalette(entries);
  for (int i = 0; i < 256; ++i) {
    palette->rgb[i][0] = entries[4 * i + 2];
    palette->rgb[i][1] = entries[4 * i + 1];
    palette->rgb[i][2] = entries[4 * i + 0];
  }
  return StatusOk;
}

uint8_t TransparentValue(PngWriter& writer, const HostImage& image, uint8_t colorType) {
  // A background used as a palette index takes its low byte: the palette has 256 entries.
  const uint8_t index = static_cast<uint8_t>(image.backgroundColor);
  switch (colorType) {
    case 0:
    case 4:
      switch (image.colorKind) {
        case ColorKindIndexed:
          return ColorLuminance(image.palette[index]);
        case ColorKindFullColor:
          return ColorLuminance(image.backgroundColor);
        case ColorKindBilevel:
          if (image.palette != nullptr) return ColorLuminance(image.palette[index]);
          return image.backgroundColor != 0 ? 255 : 0;
        default: {
          const uint8_t* c = writer.palette().rgb[index];
          return NearestPaletteIndex(writer.palette(), 256, c[0], c[1], c[2]);
        }
      }
    case 3:
      if (image.colorKind == ColorKindFullColor) {
        uint8_t bgr[3];
        ColorValueToBgr(image.backgroundColor, bgr);
        return PaletteIndexOf(bgr);
      }
      return index;
    default:
      return 0;
  }
}

// Releases the module's quantizer on every way out of an export.
struct QuantizerRelease {
  ~QuantizerRelease() { DestroyQuantizer(); }
};

}  // namespace

uint8_t NearestPaletteIndex(const WriterPalette& palette, uint32_t count, uint8_t red,
                            uint8_t green, uint8_t blue) {
  if (count > 256) count = 256;
  // Coarsening by s bits keeps the top 8 - s bits and puts the middle of the dropped range
  // below them. From s = 8 on every channel is 127, so the first entry matches there at the
  // latest and larger s need no visit.
  for (int s = 0; s <= 8; ++s) {
    const uint8_t mask = static_cast<uint8_t>((255 >> s) << s);
    const uint8_t fill = static_cast<uint8_t>((255 ^ mask) >> 1);
    auto coarse = [mask, fill](uint8_t c) { return static_cast<uint8_t>((c & mask) | fill); };
    const uint8_t r = coarse(red), g = coarse(green), b = coarse(blue);
    for (uint32_t j = 0; j < count; ++j) {
      const uint8_t* e = palette.rgb[j];
      if (coarse(e[0]) == r && coarse(e[1]) == g && coarse(e[2]) == b) {
        return static_cast<uint8_t>(j);
      }
    }
  }
  return 0;
}

Status SetupPalette(PngWriter& writer, const HostImage& image, uint8_t colorType,
                    uint8_t* transparentValue) {
  WriterPalette& palette = writer.palette();
  uint32_t entries = 0;
  switch (image.colorKind) {
    case ColorKindBilevel:
      std::memset(palette.rgb[0], 0, 3);
      std::memset(palette.rgb[1], 255, 3);
      entries = 2;
      break;
    case ColorKindGrey:
      for (int i = 0; i < 256; ++i) std::memset(palette.rgb[i], i, 3);
      entries = 256;
      break;
    case ColorKindIndexed:
      entries = image.paletteCount == 16 ? 16 : 256;
      for (uint32_t i = 0; i < entries; ++i) {
        const ColorValue c = image.palette[i];
        palette.rgb[i][0] = static_cast<uint8_t>(c);
        palette.rgb[i][1] = static_cast<uint8_t>(c >> 8);
        palette.rgb[i][2] = static_cast<uint8_t>(c >> 16);
      }
      break;
    case ColorKindFullColor:
      // Only palette output uses the quantizer's palette: for RGB or grey output feeding it
      // would cost a pass over the whole image (and a hash look-up per pixel) to produce a
      // palette nothing reads, so it is skipped and the file comes out the same.
      if (colorType == 3) {
        PT_RETURN_IF_ERROR(QuantizeFullColor(image, &palette));
        entries = 256;
      }
      break;
    default:
      return PT_FAIL(StatusError);
  }
  if (colorType == 3) {
    SetPLTE(writer.info(), palette.rgb[0], static_cast<uint16_t>(entries));
  }
  *transparentValue = TransparentValue(writer, image, colorType);
  return StatusOk;
}

Status PrepareHeader(PngWriter& writer, const HostImage& image, uint8_t interlace,
                     uint8_t transparency, uint8_t colorType, uint8_t /*saveMask*/) {
  PT_RETURN_IF_ERROR(CheckHostImage(image, colorType));
  uint8_t transparent = 0;
  PT_RETURN_IF_ERROR(SetupPalette(writer, image, colorType, &transparent));
  PT_RETURN_IF_ERROR(writer.StartWriter());

  PngInfo& info = writer.info();
  const WriterPalette& palette = writer.palette();
  SetIHDR(info, image.width, image.height, OutputBitDepth(image, colorType), colorType,
          interlace == 1 ? 1 : 0, 0, 0);
  SetpHYs(info, image.resolutionX, image.resolutionY, 0);

  // Colour output takes the background straight from a full-colour host's ColorValue and
  // from the palette entry it names for the other kinds.
  Color16 color = {};
  if (image.colorKind == ColorKindFullColor) {
    color.red = image.backgroundColor & 0xFF;
    color.green = (image.backgroundColor >> 8) & 0xFF;
    color.blue = (image.backgroundColor >> 16) & 0xFF;
  } else {
    const uint8_t* entry = palette.rgb[static_cast<uint8_t>(image.backgroundColor)];
    color.red = entry[0];
    color.green = entry[1];
    color.blue = entry[2];
  }
  // The background and the transparent key are the same value: the grey level or index the
  // palette set-up chose, or the colour. Alpha colour types get neither chunk from the writer.
  Color16 key = {};
  key.gray = transparent;
  key.index = transparent;
  if (colorType == 2) {
    key.red = color.red;
    key.green = color.green;
    key.blue = color.blue;
  }
  if (colorType == 0 || colorType == 2 || colorType == 3) SetbKGD(info, key);

  // Every index below the transparent one stays opaque; the table ends at it.
  uint8_t alpha[256];
  if (transparency == 1) {
    uint16_t entries = 0;
    if (colorType == 3) {
      std::memset(alpha, 255, sizeof alpha);
      alpha[transparent] = 0;
      entries = static_cast<uint16_t>(transparent + 1);
    }
    SettRNS(info, colorType == 3 ? alpha : nullptr, entries, &key);
  }

  const Status status = writer.WriteFileHead();
  info.trans = nullptr;  // the alpha table ends with this function
  info.transCount = 0;
  PT_RETURN_IF_ERROR(status);

  if (info.bitDepth < 8) {
    // Rows are handed over one index per byte; the writer packs two per byte.
    writer.state().transformations |= WriterTransformPack;
    writer.state().usrBitDepth = 8;
  }
  return StatusOk;
}

Status WriteImage(PngWriter& writer, const HostImage& image, const char* title,
                  uint8_t /*interlace*/, ProgressCallback progress, uint8_t colorType) {
  QuantizerRelease releaseQuantizer;
  const uint32_t width = image.width;
  const uint32_t hostUsed = HostRowBytesUsed(image);
  const bool alpha = HasAlpha(colorType);
  const bool mask = alpha && HostHasMask(image);
  const uint32_t maskUsed = mask ? MaskRowBytesUsed(image) : 0;

  // One block for the whole image, sized for this row width: the host row copy, the PNG row
  // (room for RGB + alpha) and the mask row copy. Nothing is allocated per row.
  uint32_t pngBytes = 0, blockBytes = 0;
  if (!MulFits32(width, 4, &pngBytes) || !AddFits32(pngBytes, hostUsed, &blockBytes) ||
      !AddFits32(blockBytes, maskUsed + 16, &blockBytes)) {
    return PT_FAIL(StatusNoMemory);
  }
  auto* block = static_cast<uint8_t*>(std::calloc(blockBytes, 1));
  if (block == nullptr) return PT_FAIL(StatusNoMemory);
  uint8_t* hostCopy = block;
  uint8_t* pngRow = hostCopy + hostUsed;
  uint8_t* maskCopy = pngRow + pngBytes;

  RowConverter converter;
  converter.Prepare(image, colorType);

  const int passes = writer.InterlacePassCount();
  const uint64_t total = static_cast<uint64_t>(passes) * image.height;
  ReportProgress(progress, 0, total);
  const uint32_t maskStride = static_cast<uint32_t>(image.maskRowBytes);
  for (int pass = 0; pass < passes; ++pass) {
    for (uint32_t y = 0; y < image.height; ++y) {
      // The writer counts every row of every pass but keeps only the pass's own; a row it
      // will drop needs no conversion. A row without columns has nothing to read.
      if (width > 0 && (passes == 1 || PassHasRow(pass, y, width))) {
        CopyHostRow(hostCopy, image.pixels + static_cast<size_t>(y) * image.rowBytes,
                    image.rowBytes, hostUsed);
        converter.Convert(hostCopy, pngRow);
        if (alpha) {
          if (mask) {
            CopyHostRow(maskCopy, image.mask + static_cast<size_t>(y) * maskStride, maskStride,
                        maskUsed);
          }
          MergeAlpha(image, pngRow, mask ? maskCopy : nullptr, colorType);
        }
      }
      writer.WriteRow(pngRow);
      ReportProgress(progress, static_cast<uint64_t>(pass) * image.height + y + 1, total);
    }
  }
  DestroyQuantizer();

  if (title != nullptr && title[0] != '\0') {
    // Written whole: a 16-bit count would cut a long title or drop it altogether. A title
    // the chunk rules refuse does not fail the export; a failed write of its bytes does,
    // since the file it leaves is broken.
    (void)writer.WritetEXt("Title", title, static_cast<uint32_t>(std::strlen(title)));
  }
  Status status = writer.WriteFileEnd();
  if (status == StatusOk && writer.state().writeFailed) status = PT_FAIL(StatusWriteError);
  std::free(block);
  return status;
}

int ExportImage(const char* path, const char* title, HostImage* image, ProgressCallback progress,
                uint32_t* options, HostWindow parent, int showDialog, uint16_t* result) {
  QuantizerRelease releaseQuantizer;
  PngWriter writer;
  if (!writer.Constructed() || image == nullptr) return 0;
  uint32_t localOptions = 0;
  if (options == nullptr) options = &localOptions;

  SaveOptionValues values =
      *options == 0 ? ExportDefaults(image->colorKind) : DecodeSaveOptions(*options);
  SettleMask(*image, &values);

  int ret = 1;
  if (showDialog == 1) {
    const int answer = ShowSaveOptionsDialog(&values, parent);
    if (answer == 0) {
      if (result != nullptr) *result = 0;
      return 0;
    }
    // A dialog that could not be shown (-1) leaves the options as they were: the export goes
    // on with them and reports success as 1, the only success value hosts know.
    // The dialog keeps the mask rules itself; this only guards against a value it let through.
    SettleMask(*image, &values);
  }

  // Images the export cannot read safely are refused before a file is created.
  if (CheckHostImage(*image, values.colorType) != StatusOk) return 0;

  // The file goes to a temporary name beside the target and takes its place only once it is
  // complete and on the disk: a failed or interrupted save leaves the old picture as it was.
  lowio::ReplacementFile file;
  const int fd = path != nullptr ? lowio::BeginReplace(path, &file) : -1;
  if (fd < 0) {
    if (result != nullptr) *result = StatusWriteError;
    return 0;
  }
  writer.SetFile(fd);

  Status status = PrepareHeader(writer, *image, values.interlace, values.transparency,
                                values.colorType, values.saveMask);
  if (status == StatusOk) {
    status = WriteImage(writer, *image, title, values.interlace, progress, values.colorType);
    // The options used go back to the host once the header is out, even when the rows fail.
    *options = EncodeSaveOptions(*options, values);
  }
  // A file that could not be written in full, flushed or put in place is reported as such,
  // not left with the host's preset result.
  bool fileFailed = writer.state().writeFailed;
  if (status == StatusOk) {
    if (!lowio::CommitReplace(&file)) {
      fileFailed = true;
      ret = 0;
    }
  } else {
    lowio::AbortReplace(&file);
    ret = 0;
  }
  if (fileFailed && result != nullptr) *result = StatusWriteError;
  writer.TeardownWriter();
  return ret;
}

}  // namespace pngtrans
