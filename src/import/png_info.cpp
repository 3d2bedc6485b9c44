// PngInfo on the reader side: the setters the chunk handlers call, the text list and its
// growth, and the release of what the record owns.
#include "format/png_info.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "import/png_reader.h"
#include "format/row_info.h"

namespace pngtrans {

namespace {

// What a text entry with no text points at. Only the key buffers are ever freed.
char emptyText[1] = {0};

// Each text array grows so that this many entries stay free: one text chunk at a time gives
// capacities 9, 18, 27, ...
constexpr int kTextSlack = 8;

// A copy of a NUL-terminated string in a buffer of the reader's heap; null when out of memory.
char* CopyString(const char* text) {
  const size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(ReaderAllocate(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

void FreeCalibration(PngInfo* info) {
  std::free(info->calPurpose);
  std::free(info->calUnits);
  if (info->calParams != nullptr) {
    for (int i = 0; i < info->calParamCount; ++i) std::free(info->calParams[i]);
    std::free(info->calParams);
  }
  info->calPurpose = nullptr;
  info->calUnits = nullptr;
  info->calParams = nullptr;
  info->calParamCount = 0;
}

}  // namespace

void ReleaseInfo(PngInfo* info) {
  if (info == nullptr) return;
  if (info->texts != nullptr) {
    for (int i = 0; i < info->textCount; ++i) std::free(info->texts[i].key);
    std::free(info->texts);
  }
  FreeCalibration(info);
  std::memset(info, 0, sizeof *info);
}

void PngReader::SetIHDR(uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
                        uint8_t interlace, uint8_t compression, uint8_t filter) {
  PngInfo& info = *info_;
  info.width = width;
  info.height = height;
  info.bitDepth = bitDepth;
  info.colorType = colorType;
  info.interlaceMethod = interlace;
  info.compressionMethod = compression;
  info.filterMethod = filter;
  uint8_t channels = ((colorType & 0x02) != 0 && colorType != 3) ? 3 : 1;
  if ((colorType & 0x04) != 0) ++channels;
  info.channels = channels;
  info.pixelDepth = static_cast<uint8_t>(channels * bitDepth);
  info.rowBytes = RowBytesFor(width, info.pixelDepth);
}

void PngReader::SetPLTE(uint8_t* palette, uint16_t count) {
  info_->palette = palette;
  info_->paletteCount = count;
  info_->valid |= ValidPLTE;
}

void PngReader::SetgAMA(double gamma) {
  info_->gamma = static_cast<float>(gamma);
  info_->valid |= ValidgAMA;
}

void PngReader::SetsBIT(const SignificantBits& bits) {
  info_->sigBit = bits;
  info_->valid |= ValidsBIT;
}

void PngReader::SetcHRM(double whiteX, double whiteY, double redX, double redY, double greenX,
                        double greenY, double blueX, double blueY) {
  PngInfo& info = *info_;
  info.whiteX = static_cast<float>(whiteX);
  info.whiteY = static_cast<float>(whiteY);
  info.redX = static_cast<float>(redX);
  info.redY = static_cast<float>(redY);
  info.greenX = static_cast<float>(greenX);
  info.greenY = static_cast<float>(greenY);
  info.blueX = static_cast<float>(blueX);
  info.blueY = static_cast<float>(blueY);
  info.valid |= ValidcHRM;
}

void PngReader::SettRNS(uint8_t* trans, uint16_t count, const Color16* values) {
  if (trans != nullptr) info_->trans = trans;
  if (values != nullptr) info_->transValues = *values;
  info_->transCount = count;
  info_->valid |= ValidtRNS;
}

void PngReader::SetbKGD(const Color16& background) {
  info_->background = background;
  info_->valid |= ValidbKGD;
}

void PngReader::SethIST(uint16_t* hist) {
  info_->hist = hist;
  info_->valid |= ValidhIST;
}

void PngReader::SetpHYs(uint32_t x, uint32_t y, uint8_t unit) {
  info_->pixelsPerUnitX = x;
  info_->pixelsPerUnitY = y;
  info_->physUnit = unit;
  info_->valid |= ValidpHYs;
}

void PngReader::SetoFFs(int32_t x, int32_t y, uint8_t unit) {
  info_->offsetX = x;
  info_->offsetY = y;
  info_->offsetUnit = unit;
  info_->valid |= ValidoFFs;
}

Status PngReader::SetpCAL(const char* purpose, int32_t x0, int32_t x1, uint8_t type, uint8_t count,
                          const char* units, char** params) {
  // Every copy is made before the record changes, so that running out of memory half-way
  // leaves the record as it was.
  char* purposeCopy = CopyString(purpose);
  char* unitsCopy = CopyString(units);
  auto** paramsCopy = static_cast<char**>(ReaderAllocateZeroed((count + 1u) * sizeof(char*)));
  bool complete = purposeCopy != nullptr && unitsCopy != nullptr && paramsCopy != nullptr;
  for (int i = 0; complete && i < count; ++i) {
    paramsCopy[i] = CopyString(params[i]);
    complete = paramsCopy[i] != nullptr;
  }
  if (!complete) {
    std::free(purposeCopy);
    std::free(unitsCopy);
    if (paramsCopy != nullptr) {
      for (int i = 0; i < count; ++i) std::free(paramsCopy[i]);
      std::free(paramsCopy);
    }
    return PT_FAIL(StatusNoMemory);
  }
  PngInfo& info = *info_;
  FreeCalibration(&info);
  info.calPurpose = purposeCopy;
  info.calUnits = unitsCopy;
  info.calParams = paramsCopy;
  info.calX0 = x0;
  info.calX1 = x1;
  info.calType = type;
  info.calParamCount = count;
  info.valid |= ValidpCAL;
  return StatusOk;
}

void PngReader::SettIME(const TimeStamp& time) {
  info_->modTime = time;
  info_->valid |= ValidtIME;
}

Status PngReader::AddTexts(const TextEntry* entries, int count) {
  if (count <= 0) return StatusOk;
  PngInfo& info = *info_;
  const int used = info.texts != nullptr ? info.textCount : 0;
  // The count and capacity are 16-bit fields: a file with tens of thousands of text chunks is
  // refused rather than allowed to wrap them.
  if (count > SHRT_MAX - kTextSlack - used) return PT_FAIL(StatusError);
  if (info.texts == nullptr || used + count > info.textCapacity) {
    const int capacity = used + count + kTextSlack;
    auto* grown = static_cast<TextEntry*>(ReaderAllocateZeroed(capacity * sizeof(TextEntry)));
    if (grown == nullptr) return PT_FAIL(StatusNoMemory);
    if (info.texts != nullptr) {
      std::memcpy(grown, info.texts, info.textCapacity * sizeof(TextEntry));
      std::free(info.texts);
    }
    info.texts = grown;
    info.textCapacity = static_cast<int16_t>(capacity);
    info.textCount = static_cast<int16_t>(used);
  }
  for (int i = 0; i < count; ++i) {
    TextEntry& entry = info.texts[info.textCount];
    entry = entries[i];
    if (entry.text == nullptr) entry.text = emptyText;
    if (entry.text[0] != '\0') {
      entry.textLength = static_cast<uint32_t>(std::strlen(entry.text));
    } else {
      entry.textLength = 0;
      entry.compression = -1;
    }
    ++info.textCount;
  }
  return StatusOk;
}

}  // namespace pngtrans
