// Help for the save-options dialog.
#pragma once

#include <cstdint>

#include "ui/save_options_dialog.h"

namespace pngtrans {

// Opens the help table beside the module with the given help command and data.
void ShowHelp(HostWindow window, uint32_t command, uint32_t data);

// Shows the pop-up help topic of a dialog control.
void ShowContextHelp(HostWindow dialog, HostWindow control);

}  // namespace pngtrans
