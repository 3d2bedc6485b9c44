// The translator the module holds: its record and its command procedure.
#pragma once

#include "base/host_image.h"

namespace pngtrans {

// The one record GetXTNDInfo hands out (procedure address at offset 68).
const TranslatorRecord& ModuleTranslatorRecord();

}  // namespace pngtrans

extern "C" {
// The command procedure: a CommandHeader followed by pointer-size arguments per command.
int PT_CDECL TranslatorProc(CommandHeader* header, ...);
}
