// The records that cross the host boundary: HostImage, ColorValue, the host callbacks,
// CommandHeader and TranslatorRecord. Plain data with fixed 32-bit layouts; the static_asserts
// below pin every size and offset the host relies on.
#pragma once

#include <cstddef>
#include <cstdint>

#if defined(_WIN32)
#define PT_CDECL __cdecl
#else
#define PT_CDECL
#endif

extern "C" {

// Red in bits 0-7, green in 8-15, blue in 16-23, bits 24-31 zero. In memory a palette entry
// reads red, green, blue, 0. Host 24-bit pixels, by contrast, are stored blue, green, red.
typedef uint32_t ColorValue;

struct HostImage;

// allocate: sets pixels, palette and (when maskKind != 0) mask; returns 0 when it cannot.
// release: frees them after a failed import; must accept a never-allocated descriptor.
typedef int(PT_CDECL* HostImageCallback)(HostImage* image);

// Progress in rows: (rows done, rows total). Called only when the host passed one.
typedef void(PT_CDECL* ProgressCallback)(int32_t done, int32_t total);

// colorKind values.
enum HostColorKind : int32_t {
  ColorKindBilevel = 0,
  ColorKindGrey = 1,
  ColorKindIndexed = 2,
  ColorKindFullColor = 3,
};

// maskKind values.
enum HostMaskKind : uint32_t {
  MaskNone = 0,
  MaskOneBit = 1,
  MaskEightBit = 2,
};

// The host's image descriptor: seventeen 32-bit fields. The host owns it and every buffer it
// points to. Row y starts at pixels + y * rowBytes (top row first); mask row y at
// mask + y * maskRowBytes.
struct HostImage {
  uint32_t width;
  uint32_t height;
  uint32_t resolutionX;
  uint32_t resolutionY;
  int32_t colorKind;
  int32_t bitsPerPixel;
  uint32_t paletteCount;
  uint32_t rowBytes;
  uint32_t maskKind;
  int32_t maskBits;
  int32_t maskRowBytes;
  uint8_t* pixels;
  ColorValue* palette;  // 256 entries, 1024 bytes
  uint8_t* mask;
  HostImageCallback allocate;
  HostImageCallback release;
  uint32_t backgroundColor;  // pixel value for kinds 0-2, ColorValue for kind 3
};

// First argument of TranslatorProc. The first four bytes belong to the host.
struct CommandHeader {
  uint32_t hostData;
  uint16_t command;
  uint16_t result;
};

typedef int(PT_CDECL* TranslatorProcFn)(CommandHeader* header, ...);

// The 128-byte record GetXTNDInfo hands to the host.
struct TranslatorRecord {
  uint8_t displayName[64];  // code page 932 text, NUL-padded
  char typeName[4];         // "PNG\0"
  TranslatorProcFn procedure;
  uint32_t hostWord72;
  uint32_t hostWord76;
  uint8_t hostBytes80[4];
  uint8_t reserved[44];
};

}  // extern "C"

// The host boundary is 32-bit on both targets: these layouts are part of the interface.
static_assert(sizeof(void*) == 4, "pngtrans is a 32-bit module");
static_assert(sizeof(HostImage) == 68, "HostImage is seventeen 32-bit fields");
static_assert(offsetof(HostImage, colorKind) == 16);
static_assert(offsetof(HostImage, rowBytes) == 28);
static_assert(offsetof(HostImage, maskKind) == 32);
static_assert(offsetof(HostImage, maskRowBytes) == 40);
static_assert(offsetof(HostImage, pixels) == 44);
static_assert(offsetof(HostImage, palette) == 48);
static_assert(offsetof(HostImage, mask) == 52);
static_assert(offsetof(HostImage, allocate) == 56);
static_assert(offsetof(HostImage, release) == 60);
static_assert(offsetof(HostImage, backgroundColor) == 64);
static_assert(sizeof(CommandHeader) == 8);
static_assert(offsetof(CommandHeader, command) == 4);
static_assert(offsetof(CommandHeader, result) == 6);
static_assert(sizeof(TranslatorRecord) == 128);
static_assert(offsetof(TranslatorRecord, typeName) == 64);
static_assert(offsetof(TranslatorRecord, procedure) == 68);
static_assert(offsetof(TranslatorRecord, hostWord72) == 72);
static_assert(offsetof(TranslatorRecord, hostWord76) == 76);
static_assert(offsetof(TranslatorRecord, hostBytes80) == 80);
static_assert(offsetof(TranslatorRecord, reserved) == 84);
