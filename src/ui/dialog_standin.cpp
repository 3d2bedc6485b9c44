// Stand-in dialog layer for a target without a dialog platform: it behaves as if the user
// pressed OK without changing anything, and help does nothing.
#include "ui/help.h"
#include "ui/save_options_dialog.h"

namespace pngtrans {

int RunSaveOptionsDialog(uint8_t* interlace, uint8_t* transparency, uint8_t* saveMask,
                         uint8_t* colorType, uint16_t* /*depth*/, HostWindow /*parent*/) {
  // What OK reads back from the controls the initialisation set: each check box is checked
  // exactly when its value was 1 (a mask value of 255 leaves the box unchecked), and the
  // colour type follows the checked colour button and the mask box.
  const bool maskChecked = *saveMask == 1;
  *interlace = *interlace == 1 ? 1 : 0;
  *transparency = *transparency == 1 ? 1 : 0;
  *saveMask = maskChecked ? 1 : 0;
  switch (*colorType) {
    case 0:
    case 4:
      *colorType = maskChecked ? 4 : 0;
      break;
    case 3:
      break;
    default:
      *colorType = maskChecked ? 6 : 2;
      break;
  }
  return 1;
}

void ShowHelp(HostWindow, uint32_t, uint32_t) {}

void ShowContextHelp(HostWindow, HostWindow) {}

}  // namespace pngtrans
