// The dialog's rules without a window system: a model of the buttons stands in for the
// dialog, driven through command 11's EditSaveOptions by the same users that drive the real
// window under Wine.
#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "ui/save_options_dialog.h"
#include "support/dialog_cases.h"
#include "ui/save_options_rules.h"

namespace pngtrans {
namespace {

using test::DialogEnd;

// Buttons as a user sees them: a click on an auto radio button checks it and unchecks the
// others of its group, a click on an auto check box toggles it; then the dialog hears of it.
class ModelDialog final : public DialogControls {
 public:
  bool IsChecked(int id) override { return buttons_[id].checked; }
  void SetChecked(int id, bool checked) override { buttons_[id].checked = checked; }
  bool IsEnabled(int id) override { return buttons_[id].enabled; }
  void SetEnabled(int id, bool enabled) override { buttons_[id].enabled = enabled; }

  DialogAction Click(int id, DialogValues* values) {
    for (const std::vector<int>& group : kRadioGroups) {
      for (int member : group) {
        if (member != id) continue;
        for (int other : group) buttons_[other].checked = other == id;
      }
    }
    if (id == kIdTransparency || id == kIdSaveMask) buttons_[id].checked = !buttons_[id].checked;
    return HandleDialogCommand(*this, id, values);
  }

  std::string States() {
    std::string states;
    for (int id : test::kFollowedButtons) {
      const Button& b = buttons_[id];
      states += b.checked ? (b.enabled ? 'x' : '#') : (b.enabled ? '.' : '-');
    }
    return states;
  }

 private:
  struct Button {
    bool checked = false;
    bool enabled = true;
  };
  const std::vector<std::vector<int>> kRadioGroups = {{kIdGreyScale, kIdColors256, kIdFullColor},
                                                      {kIdInterlaced, kIdNotInterlaced}};
  std::map<int, Button> buttons_;
};

// The user of the running case, in place of the dialog.
const char* userScript = "";

int ModelUser(SaveOptionValues* options, HostWindow) {
  const test::UserScript user = test::ParseUser(userScript);
  DialogValues values{options->interlace, options->transparency, options->saveMask,
                      options->colorType, options->depth};
  ModelDialog dialog;
  InitialiseDialogControls(dialog, values);
  EXPECT_EQ(dialog.States(), user.onEntry) << "on entry";
  for (const test::Step& step : user.steps) {
    EXPECT_EQ(dialog.Click(step.click, &values), DialogAction::kNone);
    EXPECT_EQ(dialog.States(), step.states) << "after clicking " << step.click;
  }
  // Closing the window reaches the dialog as Cancel.
  const int endId = user.end == DialogEnd::kOk             ? kIdOk
                    : user.end == DialogEnd::kCloseCommand ? kIdClose
                                                           : kIdCancel;
  const DialogAction action = HandleDialogCommand(dialog, endId, &values);
  *options = SaveOptionValues{values.interlace, values.transparency, values.saveMask,
                              values.colorType, values.depth};
  return action == DialogAction::kEndOk ? 1 : 0;
}

TEST(DialogRules, OptionsCommandFollowsTheUsersClicks) {
  const SaveDialogRunner previous = SetSaveDialogRunnerForTesting(ModelUser);
  for (const test::OptionsCase& c : test::OptionsCases()) {
    SCOPED_TRACE(c.name);
    userScript = c.user;
    uint32_t word = c.word;
    EXPECT_EQ(EditSaveOptions(nullptr, &word), c.answer);
    EXPECT_EQ(word, c.wordAfter) << std::hex << word;
  }
  SetSaveDialogRunnerForTesting(previous);
}

TEST(DialogRules, HelpAndFormatButtonsLeaveTheOthersAlone) {
  ModelDialog dialog;
  DialogValues values{0, 0, 0, 2, 8};
  InitialiseDialogControls(dialog, values);
  EXPECT_EQ(dialog.Click(kIdHelp, &values), DialogAction::kShowHelp);
  EXPECT_EQ(dialog.Click(kIdInterlaced, &values), DialogAction::kNone);
  EXPECT_EQ(HandleDialogCommand(dialog, 4242, &values), DialogAction::kNone);
  EXPECT_EQ(dialog.States(), "..x..x.");
  EXPECT_EQ(values.interlace, 0) << "only OK reads the buttons";
}

TEST(DialogRules, PlacedCentredAndOneThirdFromTheTop) {
  struct Case {
    int32_t screenW, screenH, dialogW, dialogH, x, y;
  };
  // Signed divisions truncate toward zero, also for a dialog larger than the screen.
  for (const Case& c : {Case{1024, 768, 300, 200, 362, 189}, Case{800, 600, 1001, 601, -100, 0},
                        Case{640, 480, 640, 480, 0, 0}}) {
    const DialogPosition p = PlaceDialog(c.screenW, c.screenH, c.dialogW, c.dialogH);
    EXPECT_EQ(p.x, c.x);
    EXPECT_EQ(p.y, c.y);
  }
}

}  // namespace
}  // namespace pngtrans
