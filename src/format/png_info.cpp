// PngInfo's setters, which the reader's chunk handlers and the writer's header set-up both call,
// the text list and its growth, and the release of what the record owns.
#include "format/png_info.h"

#include <climits>
#include <cstdlib>
#include <cstring>

#include "format/row_info.h"

namespace pngtrans {

namespace {

// What a text entry with no text points at. Only the key buffers are ever freed.
char emptyText[1] = {0};

// Each text array grows so that this many entries stay free: one text chunk at a time gives
// capacities 9, 18, 27, ...
constexpr int kTextSlack = 8;

// A copy of a NUL-terminated string in a buffer of the codec's heap; null when out of memory.
char* CopyString(InfoAllocator allocate, const char* text) {
  const size_t length = std::strlen(text);
  auto* copy = static_cast<char*>(allocate(length + 1));
  if (copy != nullptr) std::memcpy(copy, text, length + 1);
  return copy;
}

void* AllocateZeroed(InfoAllocator allocate, size_t bytes) {
  void* block = allocate(bytes);
  if (block != nullptr) std::memset(block, 0, bytes);
  return block;
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

void SetIHDR(PngInfo& info, uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
             uint8_t interlace, uint8_t compression, uint8_t filter) {
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

void SetPLTE(PngInfo& info, uint8_t* palette, uint16_t count) {
  info.palette = palette;
  info.paletteCount = count;
  info.valid |= ValidPLTE;
}

void SetgAMA(PngInfo& info, double gamma) {
  info.gamma = static_cast<float>(gamma);
  info.valid |= ValidgAMA;
}

void SetsBIT(PngInfo& info, const SignificantBits& bits) {
  info.sigBit = bits;
  info.valid |= ValidsBIT;
}

void SetcHRM(PngInfo& info, double whiteX, double whiteY, double redX, double redY, double greenX,
             double greenY, double blueX, double blueY) {
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

void SettRNS(PngInfo& info, uint8_t* trans, uint16_t count, const Color16* values) {
  if (trans != nullptr) info.trans = trans;
  if (values != nullptr) info.transValues = *values;
  info.transCount = count;
  info.valid |= ValidtRNS;
}

void SetbKGD(PngInfo& info, const Color16& background) {
  info.background = background;
  info.valid |= ValidbKGD;
}

void SethIST(PngInfo& info, uint16_t* hist) {
  info.hist = hist;
  info.valid |= ValidhIST;
}

void SetpHYs(PngInfo& info, uint32_t x, uint32_t y, uint8_t unit) {
  info.pixelsPerUnitX = x;
  info.pixelsPerUnitY = y;
  info.physUnit = unit;
  info.valid |= ValidpHYs;
}

void SetoFFs(PngInfo& info, int32_t x, int32_t y, uint8_t unit) {
  info.offsetX = x;
  info.offsetY = y;
  info.offsetUnit = unit;
  info.valid |= ValidoFFs;
}

Status SetpCAL(PngInfo& info, InfoAllocator allocate, const char* purpose, int32_t x0, int32_t x1,
               uint8_t type, uint8_t count, const char* units, char** params) {
  // Every copy is made before the record changes, so that running out of memory half-way
  // leaves the record as it was.
  char* purposeCopy = CopyString(allocate, purpose);
  char* unitsCopy = CopyString(allocate, units);
  auto** paramsCopy = static_cast<char**>(AllocateZeroed(allocate, (count + 1u) * sizeof(char*)));
  bool complete = purposeCopy != nullptr && unitsCopy != nullptr && paramsCopy != nullptr;
  for (int i = 0; complete && i < count; ++i) {
    paramsCopy[i] = CopyString(allocate, params[i]);
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

void SettIME(PngInfo& info, const TimeStamp& time) {
  info.modTime = time;
  info.valid |= ValidtIME;
}

Status AddTexts(PngInfo& info, InfoAllocator allocate, const TextEntry* entries, int count) {
  if (count <= 0) return StatusOk;
  const int used = info.texts != nullptr ? info.textCount : 0;
  // The count and capacity are 16-bit fields: a file with tens of thousands of text chunks is
  // refused rather than allowed to wrap them.
  if (count > SHRT_MAX - kTextSlack - used) return PT_FAIL(StatusError);
  if (info.texts == nullptr || used + count > info.textCapacity) {
    const int capacity = used + count + kTextSlack;
    auto* grown = static_cast<TextEntry*>(AllocateZeroed(allocate, capacity * sizeof(TextEntry)));
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
