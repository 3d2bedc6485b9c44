#include "support/dialog_cases.h"

#include <sstream>

namespace pngtrans::test {

DialogSaveImage::DialogSaveImage(bool withMask) : pixels(16 * 3 * 8), mask(16 * 8) {
  for (size_t i = 0; i < pixels.size(); ++i) pixels[i] = static_cast<uint8_t>(i * 7);
  for (size_t i = 0; i < mask.size(); ++i) mask[i] = static_cast<uint8_t>(i * 2);
  image.width = 16;
  image.height = 8;
  image.resolutionX = image.resolutionY = 72;
  image.colorKind = ColorKindFullColor;
  image.bitsPerPixel = 24;
  image.rowBytes = 16 * 3;
  image.pixels = pixels.data();
  if (withMask) {
    image.maskKind = MaskEightBit;
    image.maskBits = 8;
    image.maskRowBytes = 16;
    image.mask = mask.data();
  }
}

UserScript ParseUser(const char* script) {
  UserScript user;
  std::istringstream words(script);
  std::string word;
  words >> user.onEntry;
  while (words >> word) {
    const size_t colon = word.find(':');
    if (colon != std::string::npos) {
      user.steps.push_back({std::stoi(word.substr(0, colon)), word.substr(colon + 1)});
    } else {
      user.end = word == "ok"      ? DialogEnd::kOk
                 : word == "close" ? DialogEnd::kCloseWindow
                 : word == "id8"   ? DialogEnd::kCloseCommand
                                   : DialogEnd::kCancel;
    }
  }
  return user;
}

const std::vector<OptionsCase>& OptionsCases() {
  static const std::vector<OptionsCase> cases = {
      {"zero word, cancel", 0, "..x...x cancel", 0, 0x00082000},
      {"palette, interlaced, transparent", 0x00083011, ".x.x-x. ok", 1, 0x00083011},
      {"grey with mask", 0x00084100, "x..-x.x ok", 1, 0x00084100},
      {"grey with mask, through 256 colours", 0x00084100,
       "x..-x.x 1001:.x..-.x 1000:x.....x 1002:x..x-.x ok", 1, 0x00080010},
      {"palette, then full colour and mask", 0x00083000, ".x..-.x 1003:..x...x 1004:..x-x.x ok", 1,
       0x00086100},
      {"transparency back and forth, window closed", 0xABC82010,
       "..xx-.x 1002:..x...x 1001:.x..-.x 1002:.x.x-.x 1000:x..x-.x 1005:x..x-x. 1002:x....x. "
       "close",
       0, 0xABC82010},
      {"full colour with the mask unchecked", 0x00086100, "..x-x.x 1004:..x...x ok", 1, 0x00082000},
      {"unknown colour type, close command", 0x00081000, "......x id8", 0, 0x00081000},
      {"unknown colour type, ok gives full colour", 0x00087000, "......x ok", 1, 0x00082000},
  };
  return cases;
}

const std::vector<SaveCase>& SaveCases() {
  static const std::vector<SaveCase> cases = {
      {"no mask: the mask box stays disabled", false, 0x00086100,
       "..x.-.x 1000:x...-.x 1002:x..x-.x 1002:x...-.x 1001:.x..-.x 1003:..x.-.x ok", 1, 0x7777,
       0x00082000, 2, 0},
      {"mask and interlace kept", true, 0x00086101, "..x-xx. ok", 1, 0x7777, 0x00086101, 6, 1},
      {"grey chosen in the dialog", true, 0, "..x...x 1000:x.....x 1005:x....x. ok", 1, 0x7777,
       0x00080001, 0, 1},
      {"cancel writes nothing", true, 0x00086100, "..x-x.x cancel", 0, 0, 0x00086100, -1, 0},
  };
  return cases;
}

}  // namespace pngtrans::test
