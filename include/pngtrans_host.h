/*
 * pngtrans_host.h: what a host application needs to load and drive the pngtrans PNG
 * translator module. Plain C (C89 and C++), fixed-width types, no module internals.
 *
 * Loading: the Windows DLL exports "_CountXTND" and "_GetXTNDInfo" (the Linux module
 * "CountXTND" and "GetXTNDInfo"). CountXTND() returns the number of translators (1);
 * GetXTNDInfo(0, &record) copies the 128-byte TranslatorRecord, whose `procedure` is the one
 * entry point for every further request:
 *
 *   int ok = record.procedure(&header, argument, ...);
 *
 * Every argument after the header is one XtndArg, a pointer-size value holding a pointer or an
 * integer, in the order the command lists below give (on the shipped 32-bit DLL a 32-bit word).
 * The return value is 1 for success and 0 for failure; the file commands also leave a Status in
 * header.result. Hosts may call the file commands (import, export without the dialog,
 * preview, attributes) from several threads at once for different files; the dialog (the
 * options command and export with the dialog) belongs to one thread at a time.
 *
 * Two layouts, one set of records: built for a 32-bit target (the shipped i686 DLL and its Linux
 * twin) every pointer is four bytes and the records have the exact layout the checks at the end
 * pin (HostImage 68 bytes, TranslatorRecord 128). Built for a 64-bit target (the x86-64 test
 * builds) the same fields come in the same order with eight-byte pointers at natural alignment
 * (HostImage 96 bytes, TranslatorRecord 136); those offsets are pinned too.
 *
 * Every function here, the host's callbacks included, uses the C calling convention.
 */
#ifndef PNGTRANS_HOST_H
#define PNGTRANS_HOST_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define PNGTRANS_CDECL __cdecl
#else
#define PNGTRANS_CDECL
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Red in bits 0-7, green in 8-15, blue in 16-23, bits 24-31 zero: in memory a palette entry
 * reads red, green, blue, 0. Host 24-bit pixels, by contrast, are stored blue, green, red. */
typedef uint32_t ColorValue;

typedef struct HostImage HostImage;

/* allocate: sets pixels (height * rowBytes bytes), palette (256 entries) and, when maskKind is
 * not 0, mask (height * maskRowBytes bytes); returns 0 when it cannot.
 * release: frees them after a failed import; it must accept a descriptor whose buffers were
 * never allocated. */
typedef int(PNGTRANS_CDECL* HostImageCallback)(HostImage* image);

/* Progress in rows: (rows done, rows total). Called only when the host passed one. */
typedef void(PNGTRANS_CDECL* ProgressCallback)(int32_t done, int32_t total);

/* colorKind values, and the pixel layout each one has:
 *   bilevel (export only)  1 bit per pixel, most significant bit first, 1 = white
 *   grey                   8 bits, the grey level (export also 4: two pixels per byte)
 *   indexed                8 bits, a palette index (export also 4, with paletteCount 16)
 *   full colour            24 bits, blue, green, red */
enum HostColorKind {
  ColorKindBilevel = 0,
  ColorKindGrey = 1,
  ColorKindIndexed = 2,
  ColorKindFullColor = 3
};

/* maskKind values: a one-bit mask (1 = opaque, most significant bit first) or one byte per
 * pixel (0 transparent to 255 opaque). */
enum HostMaskKind { MaskNone = 0, MaskOneBit = 1, MaskEightBit = 2 };

/* The host's image descriptor: seventeen 32-bit fields. The host owns it and every buffer it
 * points to. Row y starts at pixels + y * rowBytes (top row first); mask row y at
 * mask + y * maskRowBytes. On import the module fills fields 1 to 11, calls allocate once and
 * writes the buffers; on export the host fills everything but the callbacks. */
struct HostImage {
  uint32_t width;
  uint32_t height;
  uint32_t resolutionX; /* pixels per unit; import presets 180 when both are 0 */
  uint32_t resolutionY;
  int32_t colorKind; /* HostColorKind */
  int32_t bitsPerPixel;
  uint32_t paletteCount;
  uint32_t rowBytes;
  uint32_t maskKind; /* HostMaskKind */
  int32_t maskBits;  /* 1 or 8; 0 without a mask */
  int32_t maskRowBytes;
  uint8_t* pixels;
  ColorValue* palette; /* 256 entries, 1024 bytes */
  uint8_t* mask;
  HostImageCallback allocate;
  HostImageCallback release;
  uint32_t backgroundColor; /* pixel value for kinds 0-2, ColorValue for kind 3; on export
                               also the colour written as transparent */
};

/* First argument of every command. The first four bytes belong to the host. */
typedef struct CommandHeader {
  uint32_t hostData;
  uint16_t command; /* one of the XtndCommand codes */
  uint16_t result;  /* a Status, for commands 3, 4, 5, 9 and 13 */
} CommandHeader;

typedef int(PNGTRANS_CDECL* TranslatorProcFn)(CommandHeader* header, ...);

/* One argument of TranslatorProc: pass pointers and integers alike as this type, for example
 * (XtndArg)&image or (XtndArg)options. */
typedef uintptr_t XtndArg;

/* The record GetXTNDInfo hands out: 128 bytes (136 on a 64-bit target). */
typedef struct TranslatorRecord {
  uint8_t displayName[64]; /* code page 932 text, NUL-padded */
  char typeName[4];        /* "PNG\0" */
  TranslatorProcFn procedure;
  uint32_t hostWord72;
  uint32_t hostWord76;
  uint8_t hostBytes80[4];
  uint8_t reserved[44];
} TranslatorRecord;

typedef int(PNGTRANS_CDECL* CountXTNDFn)(void);
typedef void(PNGTRANS_CDECL* GetXTNDInfoFn)(int32_t index, void* destination);

/* Command codes, and the arguments each takes after the header:
 *   Capability         queried code (low 16 bits count); returns 1 when it is supported
 *   Import             path, title buffer (64 bytes), HostImage*, option word*, 0, 0, progress
 *   Export             path, title, HostImage*, option word*, show-dialog flag (1 = show),
 *                      parent window, progress
 *   Preview            path, title buffer, information HostImage*, full HostImage*
 *   Attributes         path, attribute word*
 *   Options            parent window, option word*; returns 1 for OK, 0 for Cancel
 *   ExportWithOptions  path, title, HostImage*, option word (by value), progress
 * Any other code does nothing and returns 1. */
enum XtndCommand {
  XtndCommandQuery0 = 0,
  XtndCommandQuery1 = 1,
  XtndCommandCapability = 2,
  XtndCommandImport = 3,
  XtndCommandExport = 4,
  XtndCommandPreview = 5,
  XtndCommandAttributes = 9,
  XtndCommandOptions = 11,
  XtndCommandExportWithOptions = 13
};

/* The Status values a command leaves in header.result; no others occur. docs/protocol.md has
 * the table of what each command leaves, case by case. */
enum Status {
  StatusOk = 0,
  StatusError = 1,      /* 3, 5, 9: file missing, empty, unreadable or cut short; on import
                           every failure after the signature */
  StatusWriteError = 2, /* 4, 13: the file cannot be created, written, flushed or put in place
                           (an image refused or not encodable leaves result as preset) */
  StatusNoMemory = 4,   /* 3: the module's memory ran out before the signature */
  StatusBadFormat = 6   /* 3: the file does not start with the PNG signature */
};

/* The SaveOptions word: five 4-bit fields; the value 0 means "not set yet". The host keeps
 * it between exports. The reserved bits 20-31 are preserved when the module rewrites it. */
enum SaveOptionsField {
  SaveOptionsInterlaceShift = 0,    /* 1 = Adam7 */
  SaveOptionsTransparencyShift = 4, /* 1 = background colour written as transparent */
  SaveOptionsSaveMaskShift = 8,     /* 1 = host mask stored as alpha */
  SaveOptionsColorTypeShift = 12,   /* PNG colour type: 0, 2, 3, 4 or 6 */
  SaveOptionsDepthShift = 16,       /* bits per sample; always 8 */
  SaveOptionsFieldMask = 0xF
};

#define PNGTRANS_OPTION_FIELD(word, shift) (((uint32_t)(word) >> (shift)) & 0xFu)
#define PNGTRANS_OPTION_WORD(interlace, transparency, saveMask, colorType, depth)          \
  ((uint32_t)(interlace) | ((uint32_t)(transparency) << 4) | ((uint32_t)(saveMask) << 8) | \
   ((uint32_t)(colorType) << 12) | ((uint32_t)(depth) << 16))

/* The attribute word of the Attributes command: AttributeBase plus the bits that apply. */
#define PNGTRANS_ATTRIBUTE_BASE 0x01010000u
enum XtndAttribute {
  AttributeIndexed8 = 0x00000004,   /* 8 bits per pixel, not grey */
  AttributeGrey8 = 0x00000008,      /* 8 bits per pixel, grey */
  AttributeColor24 = 0x00000010,    /* 24 bits per pixel */
  AttributeAlpha = 0x00020000,      /* the colour type carries alpha */
  AttributeTransparent = 0x00040000 /* the file has a transparent colour */
};

/* The records are part of the interface: a compiler or packing that changes them fails here. */
#define PNGTRANS_HOST_CHECK(name, condition) typedef char PngtransCheck_##name[(condition) ? 1 : -1]
#if UINTPTR_MAX == 0xFFFFFFFFu
/* The shipped 32-bit layout: every field four bytes, no padding. */
#define PNGTRANS_POINTER_BYTES 4
#define PNGTRANS_IMAGE_SIZE 68
#define PNGTRANS_IMAGE_POINTERS 44
#define PNGTRANS_RECORD_SIZE 128
#define PNGTRANS_RECORD_PROCEDURE 68
#else
/* The 64-bit layout: the eleven 32-bit fields, then eight-byte pointers. */
#define PNGTRANS_POINTER_BYTES 8
#define PNGTRANS_IMAGE_SIZE 96
#define PNGTRANS_IMAGE_POINTERS 48
#define PNGTRANS_RECORD_SIZE 136
#define PNGTRANS_RECORD_PROCEDURE 72
#endif
#define PNGTRANS_IMAGE_POINTER(n) (PNGTRANS_IMAGE_POINTERS + (n)*PNGTRANS_POINTER_BYTES)
#define PNGTRANS_RECORD_AFTER_PROCEDURE (PNGTRANS_RECORD_PROCEDURE + PNGTRANS_POINTER_BYTES)
PNGTRANS_HOST_CHECK(pointer, sizeof(void*) == PNGTRANS_POINTER_BYTES);
PNGTRANS_HOST_CHECK(argument, sizeof(XtndArg) == sizeof(void*));
PNGTRANS_HOST_CHECK(image_size, sizeof(HostImage) == PNGTRANS_IMAGE_SIZE);
PNGTRANS_HOST_CHECK(image_colorKind, offsetof(HostImage, colorKind) == 16);
PNGTRANS_HOST_CHECK(image_rowBytes, offsetof(HostImage, rowBytes) == 28);
PNGTRANS_HOST_CHECK(image_maskKind, offsetof(HostImage, maskKind) == 32);
PNGTRANS_HOST_CHECK(image_maskRowBytes, offsetof(HostImage, maskRowBytes) == 40);
PNGTRANS_HOST_CHECK(image_pixels, offsetof(HostImage, pixels) == PNGTRANS_IMAGE_POINTER(0));
PNGTRANS_HOST_CHECK(image_palette, offsetof(HostImage, palette) == PNGTRANS_IMAGE_POINTER(1));
PNGTRANS_HOST_CHECK(image_mask, offsetof(HostImage, mask) == PNGTRANS_IMAGE_POINTER(2));
PNGTRANS_HOST_CHECK(image_allocate, offsetof(HostImage, allocate) == PNGTRANS_IMAGE_POINTER(3));
PNGTRANS_HOST_CHECK(image_release, offsetof(HostImage, release) == PNGTRANS_IMAGE_POINTER(4));
PNGTRANS_HOST_CHECK(image_background,
                    offsetof(HostImage, backgroundColor) == PNGTRANS_IMAGE_POINTER(5));
PNGTRANS_HOST_CHECK(header_size, sizeof(CommandHeader) == 8);
PNGTRANS_HOST_CHECK(header_command, offsetof(CommandHeader, command) == 4);
PNGTRANS_HOST_CHECK(header_result, offsetof(CommandHeader, result) == 6);
PNGTRANS_HOST_CHECK(record_size, sizeof(TranslatorRecord) == PNGTRANS_RECORD_SIZE);
PNGTRANS_HOST_CHECK(record_type, offsetof(TranslatorRecord, typeName) == 64);
PNGTRANS_HOST_CHECK(record_procedure,
                    offsetof(TranslatorRecord, procedure) == PNGTRANS_RECORD_PROCEDURE);
PNGTRANS_HOST_CHECK(record_words,
                    offsetof(TranslatorRecord, hostWord72) == PNGTRANS_RECORD_AFTER_PROCEDURE);
PNGTRANS_HOST_CHECK(record_bytes,
                    offsetof(TranslatorRecord, hostBytes80) == PNGTRANS_RECORD_AFTER_PROCEDURE + 8);
PNGTRANS_HOST_CHECK(record_reserved,
                    offsetof(TranslatorRecord, reserved) == PNGTRANS_RECORD_AFTER_PROCEDURE + 12);

#ifdef __cplusplus
}
#endif

#endif /* PNGTRANS_HOST_H */
