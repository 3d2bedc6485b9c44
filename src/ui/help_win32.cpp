// Help for the save-options dialog through the Windows help engine. The help table file lies
// beside the module and opens in the help engine's secondary window "PROC1".
#include <windows.h>

#include <cstdlib>
#include <cstring>

#include "base/module_handle.h"
#include "ui/help.h"

namespace pngtrans {

namespace {

struct HelpContext {
  int32_t controlId;
  int32_t context;
};

// Searched in this order; the first entry whose control is the one asked about wins.
constexpr HelpContext HelpContextTable[10] = {
    {1, 401},    {2, 400},    {1008, 402}, {1000, 312}, {1001, 312},
    {1003, 312}, {1002, 314}, {1004, 317}, {1005, 313}, {1011, 313},
};

constexpr size_t kPathBytes = 260;
constexpr char kHelpName[] = "DAZ_OZA";
constexpr char kHelpExtension[] = ".TBL";
constexpr char kHelpWindow[] = ">PROC1";

}  // namespace

void ShowHelp(HostWindow window, uint32_t command, uint32_t data) {
  char path[kPathBytes];
  const DWORD length = GetModuleFileNameA(static_cast<HMODULE>(moduleInstance), path, sizeof path);
  // A name that filled the buffer may have been cut short: it names no real directory.
  if (length == 0 || length >= sizeof path) return;

  char drive[kPathBytes];
  char directory[kPathBytes];
  _splitpath(path, drive, directory, nullptr, nullptr);
  // The whole help path, with its window suffix, must fit the 260-byte buffer; a longer one
  // would be cut or overrun, so the help engine is not called at all.
  const size_t needed = std::strlen(drive) + std::strlen(directory) + std::strlen(kHelpName) +
                        std::strlen(kHelpExtension) + std::strlen(kHelpWindow);
  if (needed >= sizeof path) return;
  _makepath(path, drive, directory, kHelpName, kHelpExtension);
  std::strcat(path, kHelpWindow);
  (void)WinHelpA(static_cast<HWND>(window), path, command, data);
}

void ShowContextHelp(HostWindow dialog, HostWindow control) {
  for (const HelpContext& entry : HelpContextTable) {
    if (GetDlgItem(static_cast<HWND>(dialog), entry.controlId) == static_cast<HWND>(control)) {
      ShowHelp(dialog, HELP_CONTEXTPOPUP, static_cast<uint32_t>(entry.context));
      return;
    }
  }
}

}  // namespace pngtrans
