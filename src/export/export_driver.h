// The export driver: a HostImage into a PNG file.
#pragma once

#include <cstdint>

#include "base/host_image.h"
#include "base/status.h"
#include "ui/save_options_dialog.h"

namespace pngtrans {

// Returns non-zero for success, 0 for cancel or failure. result is the header's result code,
// written only when the dialog is cancelled (0) or the file cannot be created (2).
int ExportImage(const char* path, const char* title, HostImage* image, ProgressCallback progress,
                uint32_t* options, HostWindow parent, int showDialog, uint16_t* result);

// The steps of ExportImage on a writer whose file is open, exposed for the tests.
class PngWriter;
struct WriterPalette;

// Palette set-up, PngInfo, signature and head chunks. Refuses (before writing anything) host
// images the export cannot read safely: StatusError for an unknown colorKind or missing
// buffers, StatusNoMemory for sizes that overflow 32 bits.
Status PrepareHeader(PngWriter& writer, const HostImage& image, uint8_t interlace,
                     uint8_t transparency, uint8_t colorType, uint8_t saveMask);

// Every row of every pass, the "Title" text and the file end. Releases the quantizer.
Status WriteImage(PngWriter& writer, const HostImage& image, const char* title, uint8_t interlace,
                  ProgressCallback progress, uint8_t colorType);

// Fills the WriterPalette (and for palette output the PLTE) and derives the byte that stands
// for backgroundColor in bKGD and tRNS.
Status SetupPalette(PngWriter& writer, const HostImage& image, uint8_t colorType,
                    uint8_t* transparentValue);

// The first of the first count palette entries that equals the colour once both are coarsened
// by the fewest low bits that give a match; 0 for an empty palette.
uint8_t NearestPaletteIndex(const WriterPalette& palette, uint32_t count, uint8_t red,
                            uint8_t green, uint8_t blue);

}  // namespace pngtrans
