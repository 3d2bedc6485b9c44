// The translator the module holds: its record and its command procedure.
#pragma once

#include "plugin/host_image.h"

namespace pngtrans {

// The one record GetXTNDInfo hands out (procedure address at offset 68).
const TranslatorRecord& ModuleTranslatorRecord();

// Module-wide instance handle, stored by the library entry point (HINSTANCE on Windows).
extern void* moduleInstance;

}  // namespace pngtrans

extern "C" {
// The command procedure: a CommandHeader followed by 32-bit arguments per command.
int PT_CDECL TranslatorProc(CommandHeader* header, ...);
}
