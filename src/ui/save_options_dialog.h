// The save-options dialog layer. Windows shows the module's dialog 103; a target without a
// dialog platform uses a stand-in that accepts the values as given.
#pragma once

#include <cstdint>

#include "base/option_word.h"

namespace pngtrans {

// HWND on Windows; an opaque handle elsewhere.
using HostWindow = void*;

// Runs the modal dialog on the five values and copies them back whatever the outcome.
// Returns 1 for OK, 0 for Cancel or close, -1 when the dialog cannot be created.
int RunSaveOptionsDialog(uint8_t* interlace, uint8_t* transparency, uint8_t* saveMask,
                         uint8_t* colorType, uint16_t* depth, HostWindow parent);

// Command 11: decode (0 gives the defaults), run the dialog, encode whatever it returned.
int EditSaveOptions(HostWindow parent, uint32_t* options);

// Runs the dialog layer on the values. Every caller goes through here, so that tests can put
// a scripted user in place of the dialog.
int ShowSaveOptionsDialog(SaveOptionValues* values, HostWindow parent);

using SaveDialogRunner = int (*)(SaveOptionValues* values, HostWindow parent);
// Replaces the dialog (null restores the real one); returns the previous runner.
SaveDialogRunner SetSaveDialogRunnerForTesting(SaveDialogRunner runner);

}  // namespace pngtrans
