// Dialog 103 as it was designed, and the check of a DIALOGEX template's bytes against it, field
// by field. Used on the resource the DLL loads under Wine and on the one read from the file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace pngtrans::test {

// GoogleTest expectations on every field of the template, its items and its length.
void ExpectDialog103Template(const uint8_t* data, size_t size);

}  // namespace pngtrans::test
