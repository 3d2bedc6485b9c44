// The records that cross the host boundary: HostImage, ColorValue, the host callbacks,
// CommandHeader and TranslatorRecord, as the public host header defines them. Plain data with
// fixed 32-bit layouts; the static_asserts below pin every size and offset the host relies on.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pngtrans_host.h"

// The module's own code says PT_CDECL; the public header is the one definition of the records.
#define PT_CDECL PNGTRANS_CDECL

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
