// A scripted user for the module's save-options dialog in a real window. The module's modal
// loop runs on the test's main thread (the host's thread); the user acts from a thread of its
// own with window messages, as another program would.
#pragma once

#include <windows.h>

#include <functional>
#include <string>

#include "support/dialog_cases.h"

namespace pngtrans::test {

// The states of the followed buttons, as the case tables write them.
std::string ButtonStates(HWND dialog);

// Clicks a button as the mouse would (BM_CLICK), and waits until the dialog has handled it.
void Click(HWND dialog, int id);

void EndDialogAs(HWND dialog, DialogEnd end);

// Runs call() on this thread while user(dialog) runs on another once the dialog is up (shown
// and initialised). If the user leaves the dialog open, it is cancelled so that call returns.
// Returns call's result. Checks on every dialog: caption, placement, owner and modality.
// An empty user expects no dialog at all.
int CallWithUser(HWND host, const std::function<int()>& call,
                 const std::function<void(HWND dialog)>& user);

// A visible top-level window standing for the host's main window.
HWND CreateHostWindow();

}  // namespace pngtrans::test
