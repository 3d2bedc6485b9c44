// The save-options dialog on Windows: dialog 103 of this module, modal to the host's window,
// run on the host's thread. The rules live in save_options_rules; this file only connects them
// to the dialog's buttons.
#include <windows.h>

#include "base/module_handle.h"
#include "ui/help.h"
#include "ui/save_options_dialog.h"
#include "ui/save_options_rules.h"

namespace pngtrans {

namespace {

constexpr int kSaveOptionsDialog = 103;

// The one set of values the open dialog edits: valid between the copy-in and the copy-out of
// RunSaveOptionsDialog, so only one such dialog can be open at a time.
DialogValues dialogValues;

class DialogButtons final : public DialogControls {
 public:
  explicit DialogButtons(HWND dialog) : dialog_(dialog) {}

  bool IsChecked(int id) override {
    return SendMessageA(GetDlgItem(dialog_, id), BM_GETCHECK, 0, 0) == BST_CHECKED;
  }
  void SetChecked(int id, bool checked) override {
    CheckDlgButton(dialog_, id, checked ? BST_CHECKED : BST_UNCHECKED);
  }
  bool IsEnabled(int id) override { return IsWindowEnabled(GetDlgItem(dialog_, id)) != FALSE; }
  void SetEnabled(int id, bool enabled) override {
    EnableWindow(GetDlgItem(dialog_, id), enabled ? TRUE : FALSE);
  }

 private:
  HWND dialog_;
};

void PlaceOnScreen(HWND dialog) {
  RECT frame;
  if (!GetWindowRect(dialog, &frame)) return;
  const DialogPosition position =
      PlaceDialog(GetSystemMetrics(SM_CXSCREEN), GetSystemMetrics(SM_CYSCREEN),
                  frame.right - frame.left, frame.bottom - frame.top);
  SetWindowPos(dialog, nullptr, position.x, position.y, 0, 0, SWP_NOSIZE | SWP_NOZORDER);
}

INT_PTR CALLBACK SaveOptionsDialogProc(HWND dialog, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_INITDIALOG: {
      PlaceOnScreen(dialog);
      DialogButtons buttons(dialog);
      InitialiseDialogControls(buttons, dialogValues);
      return TRUE;
    }
    case WM_COMMAND: {
      DialogButtons buttons(dialog);
      switch (HandleDialogCommand(buttons, LOWORD(wParam), &dialogValues)) {
        case DialogAction::kEndOk:
          EndDialog(dialog, 1);
          return TRUE;
        case DialogAction::kEndCancel:
          EndDialog(dialog, 0);
          return TRUE;
        case DialogAction::kShowHelp:
          ShowHelp(dialog, HELP_CONTEXT, 255);
          return FALSE;
        case DialogAction::kNone:
          return FALSE;
      }
      return FALSE;
    }
    case WM_HELP: {
      const auto* info = reinterpret_cast<const HELPINFO*>(lParam);
      if (info == nullptr) return FALSE;
      ShowContextHelp(dialog, info->hItemHandle);
      return TRUE;
    }
    default:
      return FALSE;
  }
}

}  // namespace

int RunSaveOptionsDialog(uint8_t* interlace, uint8_t* transparency, uint8_t* saveMask,
                         uint8_t* colorType, uint16_t* depth, HostWindow parent) {
  dialogValues = DialogValues{*interlace, *transparency, *saveMask, *colorType, *depth};
  const INT_PTR answer =
      DialogBoxParamA(static_cast<HINSTANCE>(moduleInstance), MAKEINTRESOURCEA(kSaveOptionsDialog),
                      static_cast<HWND>(parent), SaveOptionsDialogProc, 0);
  *interlace = dialogValues.interlace;
  *transparency = dialogValues.transparency;
  *saveMask = dialogValues.saveMask;
  *colorType = dialogValues.colorType;
  *depth = dialogValues.depth;
  return static_cast<int>(answer);
}

}  // namespace pngtrans
