// The records that cross the host boundary: HostImage, ColorValue, the host callbacks,
// CommandHeader and TranslatorRecord, as the public host header defines them. Plain data with
// fixed layouts, pinned by the public header for each pointer size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "pngtrans_host.h"

// The module's own code says PT_CDECL; the public header is the one definition of the records.
#define PT_CDECL PNGTRANS_CDECL

// The layouts are part of the interface; the public header pins them for both pointer sizes
// (the shipped 32-bit one exactly), and the module's code relies on nothing more.
static_assert(sizeof(HostImage) == PNGTRANS_IMAGE_SIZE);
static_assert(sizeof(TranslatorRecord) == PNGTRANS_RECORD_SIZE);
