#include "plugin/translator.h"

namespace pngtrans {

namespace {

// Display name "PNG ﾌｧｲﾙ" stored as code page 932 bytes (half-width katakana), not UTF-8.
const TranslatorRecord kRecord = {
    {0x50, 0x4E, 0x47, 0x20, 0xCC, 0xA7, 0xB2, 0xD9},
    {'P', 'N', 'G', '\0'},
    &TranslatorProc,
    1,
    1,
    {0x06, 0x00, 0x01, 0x01},
    {},
};

}  // namespace

const TranslatorRecord& ModuleTranslatorRecord() {
  return kRecord;
}

}  // namespace pngtrans
