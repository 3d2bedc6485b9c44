// PngInfo: one PNG image described in the terms of its chunks. The reader fills it through
// its setters; the writer fills its own field by field. Plain data, zero-filled to start.
#pragma once

#include <cstddef>
#include <cstdint>

#include "base/status.h"

namespace pngtrans {

// valid bits: which optional chunks are present.
enum InfoValid : uint32_t {
  ValidgAMA = 0x0001,
  ValidsBIT = 0x0002,
  ValidcHRM = 0x0004,
  ValidPLTE = 0x0008,
  ValidtRNS = 0x0010,
  ValidbKGD = 0x0020,
  ValidhIST = 0x0040,
  ValidpHYs = 0x0080,
  ValidoFFs = 0x0100,
  ValidtIME = 0x0200,
  ValidpCAL = 0x0400,
};

// tRNS uses red, green, blue or gray; bKGD uses index and all four samples.
struct Color16 {
  uint8_t index;
  uint16_t red;
  uint16_t green;
  uint16_t blue;
  uint16_t gray;
};

struct SignificantBits {
  uint8_t red;
  uint8_t green;
  uint8_t blue;
  uint8_t gray;
  uint8_t alpha;
};

struct TimeStamp {
  uint16_t year;
  uint8_t month;
  uint8_t day;
  uint8_t hour;
  uint8_t minute;
  uint8_t second;
};

// compression: -1 stored uncompressed, 0 decompressed from zTXt method 0, other values a zTXt
// method stored undecoded. key points at the start of the entry's buffer, which PngInfo owns.
struct TextEntry {
  int16_t compression;
  char* key;
  char* text;
  uint32_t textLength;
};

struct PngInfo {
  uint32_t width;
  uint32_t height;
  uint32_t valid;
  uint32_t rowBytes;  // (pixelDepth * width + 7) / 8
  uint8_t* palette;   // RGB triples; borrowed
  uint16_t paletteCount;
  uint16_t transCount;
  uint8_t bitDepth;
  uint8_t colorType;
  uint8_t compressionMethod;
  uint8_t filterMethod;
  uint8_t interlaceMethod;
  uint8_t channels;
  uint8_t pixelDepth;
  uint8_t signature[8];
  float gamma;
  int16_t textCount;
  int16_t textCapacity;
  TextEntry* texts;  // owned, with each entry's buffer
  TimeStamp modTime;
  SignificantBits sigBit;
  uint8_t* trans;  // palette alpha values; borrowed
  Color16 transValues;
  Color16 background;
  int32_t offsetX;
  int32_t offsetY;
  uint8_t offsetUnit;
  uint32_t pixelsPerUnitX;
  uint32_t pixelsPerUnitY;
  uint8_t physUnit;
  uint16_t* hist;  // borrowed
  float whiteX, whiteY, redX, redY, greenX, greenY, blueX, blueY;
  char* calPurpose;  // owned
  int32_t calX0;
  int32_t calX1;
  char* calUnits;    // owned
  char** calParams;  // owned, null-terminated, each string owned
  uint8_t calType;
  uint8_t calParamCount;
};

// Frees what the record owns (texts and their buffers, pCAL strings and array) and zero-fills
// it. The palette, trans and hist are borrowed and stay untouched.
void ReleaseInfo(PngInfo* info);

// Where the setters take memory for what the record owns (pCAL strings, the text list). Each
// codec hands its own, so that tests can make it fail; every block goes back through std::free.
using InfoAllocator = void* (*)(size_t bytes);

// The setters both codecs use: each fills its chunk's fields and sets its valid bit. The
// palette, trans and hist are borrowed, not copied.
void SetIHDR(PngInfo& info, uint32_t width, uint32_t height, uint8_t bitDepth, uint8_t colorType,
             uint8_t interlace, uint8_t compression, uint8_t filter);
void SetPLTE(PngInfo& info, uint8_t* palette, uint16_t count);
void SetgAMA(PngInfo& info, double gamma);
void SetsBIT(PngInfo& info, const SignificantBits& bits);
void SetcHRM(PngInfo& info, double whiteX, double whiteY, double redX, double redY, double greenX,
             double greenY, double blueX, double blueY);
void SettRNS(PngInfo& info, uint8_t* trans, uint16_t count, const Color16* values);
void SetbKGD(PngInfo& info, const Color16& background);
void SethIST(PngInfo& info, uint16_t* hist);
void SetpHYs(PngInfo& info, uint32_t x, uint32_t y, uint8_t unit);
void SetoFFs(PngInfo& info, int32_t x, int32_t y, uint8_t unit);
// Copies every string first: out of memory leaves the record as it was.
Status SetpCAL(PngInfo& info, InfoAllocator allocate, const char* purpose, int32_t x0, int32_t x1,
               uint8_t type, uint8_t count, const char* units, char** params);
void SettIME(PngInfo& info, const TimeStamp& time);
// Appends entries to the text list (growing it with slack); refuses counts that would wrap its
// 16-bit fields.
Status AddTexts(PngInfo& info, InfoAllocator allocate, const TextEntry* entries, int count);

}  // namespace pngtrans
