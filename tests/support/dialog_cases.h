// The save-options dialog's behaviour as tables of users: the option word or image on entry,
// the buttons' states on entry, the clicks with the states after each, how the dialog ends and
// what the host gets back. One table serves the dialog's rules natively and the real dialog
// under Wine.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/host_image.h"

namespace pngtrans::test {

// How the user ends the dialog: OK, Cancel, closing the window, or the close command (id 8).
enum class DialogEnd { kOk, kCancel, kCloseWindow, kCloseCommand };

// Button states as one character each, in this order: grey scale, 256 colours, full colour,
// transparency, save mask, interlaced, not interlaced. '.' unchecked, 'x' checked, '-' unchecked
// and disabled, '#' checked and disabled.
inline constexpr int kFollowedButtons[7] = {1000, 1001, 1003, 1002, 1004, 1005, 1011};

struct Step {
  int click;           // button id
  std::string states;  // the states afterwards
};

// A user, written as the states on entry, then "id:states" for each click with the states after
// it, then how the dialog ends: "ok", "cancel", "close" (the window) or "id8".
struct UserScript {
  std::string onEntry;
  std::vector<Step> steps;
  DialogEnd end = DialogEnd::kCancel;
};
UserScript ParseUser(const char* script);

// Command 11 on an option word.
struct OptionsCase {
  const char* name;
  uint32_t word;
  const char* user;
  int answer;
  uint32_t wordAfter;
};

// Command 4 with the show-dialog flag on a 16 x 8 full-colour image; the header's result is
// 0x7777 before the call.
struct SaveCase {
  const char* name;
  bool withMask;
  uint32_t word;
  const char* user;
  int answer;
  uint16_t result;
  uint32_t wordAfter;
  int fileColorType;  // IHDR colour type; -1: no file
  int fileInterlace;
};

// The image the save cases export: 16 x 8 full colour, with or without an 8-bit mask.
struct DialogSaveImage {
  explicit DialogSaveImage(bool withMask);
  std::vector<uint8_t> pixels;
  std::vector<uint8_t> mask;
  HostImage image = {};
};

const std::vector<OptionsCase>& OptionsCases();
const std::vector<SaveCase>& SaveCases();

}  // namespace pngtrans::test
