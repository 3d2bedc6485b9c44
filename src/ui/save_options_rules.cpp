#include "ui/save_options_rules.h"

namespace pngtrans {

namespace {

constexpr uint8_t kMaskUnavailable = 255;

bool MaskUnavailable(const DialogValues& values) {
  return values.saveMask == kMaskUnavailable;
}

void UncheckAndDisable(DialogControls& controls, int id) {
  controls.SetChecked(id, false);
  controls.SetEnabled(id, false);
}

// Grey scale and full colour both allow a mask. Transparency and the mask exclude each other:
// whichever is checked keeps the other off; with neither checked both become available again.
void ColourAllowingMask(DialogControls& controls, const DialogValues& values) {
  if (controls.IsChecked(kIdTransparency)) {
    if (controls.IsEnabled(kIdSaveMask)) UncheckAndDisable(controls, kIdSaveMask);
  } else if (controls.IsChecked(kIdSaveMask)) {
    if (controls.IsEnabled(kIdTransparency)) UncheckAndDisable(controls, kIdTransparency);
  } else {
    if (!MaskUnavailable(values)) controls.SetEnabled(kIdSaveMask, true);
    controls.SetEnabled(kIdTransparency, true);
  }
}

}  // namespace

void InitialiseDialogControls(DialogControls& controls, const DialogValues& values) {
  switch (values.colorType) {
    case 0:
    case 4:
      controls.SetChecked(kIdGreyScale, true);
      break;
    case 3:
      controls.SetChecked(kIdColors256, true);
      controls.SetEnabled(kIdSaveMask, false);
      break;
    case 2:
    case 6:
      controls.SetChecked(kIdFullColor, true);
      break;
    default:
      break;
  }
  controls.SetChecked(values.interlace == 1 ? kIdInterlaced : kIdNotInterlaced, true);
  if (values.transparency == 1) {
    controls.SetChecked(kIdTransparency, true);
    controls.SetEnabled(kIdSaveMask, false);
  }
  if (MaskUnavailable(values)) {
    controls.SetEnabled(kIdSaveMask, false);
  } else if (values.saveMask == 1) {
    controls.SetChecked(kIdSaveMask, true);
    controls.SetEnabled(kIdTransparency, false);
  }
}

DialogAction HandleDialogCommand(DialogControls& controls, int id, DialogValues* values) {
  switch (id) {
    case kIdOk: {
      values->interlace = controls.IsChecked(kIdInterlaced) ? 1 : 0;
      values->transparency = controls.IsChecked(kIdTransparency) ? 1 : 0;
      values->saveMask = controls.IsChecked(kIdSaveMask) ? 1 : 0;
      const uint8_t alpha = values->saveMask == 1 ? 4 : 0;
      if (controls.IsChecked(kIdGreyScale)) {
        values->colorType = alpha;
      } else if (controls.IsChecked(kIdColors256)) {
        values->colorType = 3;
      } else {
        values->colorType = static_cast<uint8_t>(2 + alpha);
      }
      return DialogAction::kEndOk;
    }
    case kIdCancel:
    case kIdClose:
      return DialogAction::kEndCancel;
    case kIdGreyScale:
    case kIdFullColor:
      ColourAllowingMask(controls, *values);
      return DialogAction::kNone;
    case kIdColors256:
      // A palette image has no alpha channel.
      controls.SetChecked(kIdSaveMask, false);
      if (!MaskUnavailable(*values)) controls.SetEnabled(kIdSaveMask, false);
      controls.SetEnabled(kIdTransparency, true);
      return DialogAction::kNone;
    case kIdTransparency:
      if (controls.IsChecked(kIdTransparency)) {
        if (!MaskUnavailable(*values)) UncheckAndDisable(controls, kIdSaveMask);
      } else if (!controls.IsChecked(kIdColors256) && !MaskUnavailable(*values)) {
        controls.SetEnabled(kIdSaveMask, true);
      }
      return DialogAction::kNone;
    case kIdSaveMask:
      if (controls.IsChecked(kIdSaveMask)) {
        UncheckAndDisable(controls, kIdTransparency);
      } else {
        controls.SetEnabled(kIdTransparency, true);
      }
      return DialogAction::kNone;
    case kIdHelp:
      return DialogAction::kShowHelp;
    default:
      return DialogAction::kNone;
  }
}

DialogPosition PlaceDialog(int32_t screenWidth, int32_t screenHeight, int32_t dialogWidth,
                           int32_t dialogHeight) {
  return DialogPosition{(screenWidth - dialogWidth) / 2, (screenHeight - dialogHeight) / 3};
}

}  // namespace pngtrans
