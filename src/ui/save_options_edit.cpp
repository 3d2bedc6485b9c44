// The dialog layer as the codec and the command procedure use it: a replaceable runner over
// the platform's dialog, and the options command's decode, run and encode.
#include "ui/save_options_dialog.h"

namespace pngtrans {

namespace {

int RunRealDialog(SaveOptionValues* values, HostWindow parent) {
  return RunSaveOptionsDialog(&values->interlace, &values->transparency, &values->saveMask,
                              &values->colorType, &values->depth, parent);
}

SaveDialogRunner dialogRunner = RunRealDialog;

}  // namespace

int EditSaveOptions(HostWindow parent, uint32_t* options) {
  SaveOptionValues values = *options == 0 ? DefaultEditOptions() : DecodeSaveOptions(*options);
  const int result = ShowSaveOptionsDialog(&values, parent);
  *options = EncodeSaveOptions(*options, values);
  return result;
}

int ShowSaveOptionsDialog(SaveOptionValues* values, HostWindow parent) {
  return dialogRunner(values, parent);
}

SaveDialogRunner SetSaveDialogRunnerForTesting(SaveDialogRunner runner) {
  const SaveDialogRunner previous = dialogRunner;
  dialogRunner = runner != nullptr ? runner : RunRealDialog;
  return previous;
}

}  // namespace pngtrans
