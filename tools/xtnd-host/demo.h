// The main job on a built-in sample: save it in every mode a user can choose, open each file
// again, compare, print one table and write a contact sheet of every result.
#pragma once

#include <string>

#include "host_module.h"

namespace xtnd {

int RunDemo(const HostModule& module, const std::string& outDir);

}  // namespace xtnd
