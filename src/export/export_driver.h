// The export driver: a HostImage into a PNG file.
#pragma once

#include <cstdint>

#include "plugin/host_image.h"
#include "plugin/status.h"
#include "ui/save_options_dialog.h"

namespace pngtrans {

// Returns non-zero for success, 0 for cancel or failure. result is the header's result code,
// written only when the dialog is cancelled (0) or the file cannot be created (2).
int ExportImage(const char* path, const char* title, HostImage* image, ProgressCallback progress,
                uint32_t* options, HostWindow parent, int showDialog, uint16_t* result);

}  // namespace pngtrans
