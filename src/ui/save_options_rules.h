// The save-options dialog's behaviour apart from any window system: which buttons the
// initialisation checks and disables, what each command does to the others, what OK reads
// back, and where the dialog is placed. The Windows dialog procedure drives these rules through
// its controls; tests drive them through a model of the controls.
#pragma once

#include <cstdint>

namespace pngtrans {

// Control ids of dialog 103.
enum DialogControlId : int {
  kIdOk = 1,
  kIdCancel = 2,
  kIdClose = 8,
  kIdGreyScale = 1000,
  kIdColors256 = 1001,
  kIdTransparency = 1002,
  kIdFullColor = 1003,
  kIdSaveMask = 1004,
  kIdInterlaced = 1005,
  kIdHelp = 1008,
  kIdFormatGroup = 1009,
  kIdNotInterlaced = 1011,
};

// The values the dialog edits. saveMask 255 on entry means the image has no mask: the save-mask
// box then stays disabled whatever is clicked.
struct DialogValues {
  uint8_t interlace;
  uint8_t transparency;
  uint8_t saveMask;
  uint8_t colorType;
  uint16_t depth;
};

// The check and enable state of the dialog's buttons, by control id.
class DialogControls {
 public:
  virtual bool IsChecked(int id) = 0;
  virtual void SetChecked(int id, bool checked) = 0;
  virtual bool IsEnabled(int id) = 0;
  virtual void SetEnabled(int id, bool enabled) = 0;

 protected:
  ~DialogControls() = default;
};

// Checks and disables the buttons for the values on entry (colour, format, transparency, mask,
// in that order).
void InitialiseDialogControls(DialogControls& controls, const DialogValues& values);

enum class DialogAction {
  kNone,       // the dialog stays open; the command is not reported as handled
  kEndOk,      // end with 1; the values hold what the buttons say
  kEndCancel,  // end with 0; the values are untouched
  kShowHelp,   // open the dialog's help topic; the dialog stays open
};

// Reacts to a command from the control with the given id (the low 16 bits of the command).
// OK writes the buttons back into the values; every other command leaves them alone.
DialogAction HandleDialogCommand(DialogControls& controls, int id, DialogValues* values);

struct DialogPosition {
  int32_t x;
  int32_t y;
};

// Centred horizontally, one third from the top: signed divisions that truncate toward zero,
// so a dialog larger than the screen gets a negative position.
DialogPosition PlaceDialog(int32_t screenWidth, int32_t screenHeight, int32_t dialogWidth,
                           int32_t dialogHeight);

}  // namespace pngtrans
