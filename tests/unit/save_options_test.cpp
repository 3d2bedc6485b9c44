// The option word and the commands answered in place, through the core library.
#include <gtest/gtest.h>

#include "export/export_driver.h"
#include "ui/save_options_dialog.h"
#include "base/status.h"
#include "plugin/translator.h"
#include "base/zlib_memory.h"
#include "support/dialog_cases.h"
#include "support/files.h"

namespace pngtrans {
namespace {

// A scripted user in place of the dialog: the next result, and what the dialog was shown.
int scriptedResult = 1;
SaveOptionValues shownValues;
int ScriptedDialog(SaveOptionValues* values, HostWindow) {
  shownValues = *values;
  return scriptedResult;
}

class ScriptedDialogTest : public ::testing::Test {
 protected:
  void SetUp() override { previous_ = SetSaveDialogRunnerForTesting(ScriptedDialog); }
  void TearDown() override { SetSaveDialogRunnerForTesting(previous_); }
  SaveDialogRunner previous_ = nullptr;
};

TEST(SaveOptionsWord, DecodesNibblesAndFlagsOnlyWhenExactlyOne) {
  const SaveOptionValues v = DecodeSaveOptions(0x00083011);
  EXPECT_EQ(v.interlace, 1);
  EXPECT_EQ(v.transparency, 1);
  EXPECT_EQ(v.saveMask, 0);
  EXPECT_EQ(v.colorType, 3);
  EXPECT_EQ(v.depth, 8);
  // A nibble of 2 or 15 is not "on".
  const SaveOptionValues w = DecodeSaveOptions(0x0008F2F2);
  EXPECT_EQ(w.interlace, 0);
  EXPECT_EQ(w.transparency, 0);
  EXPECT_EQ(w.saveMask, 0);
  EXPECT_EQ(w.colorType, 15);
}

TEST(SaveOptionsWord, EncodeKeepsReservedBitsAndNormalisesFlags) {
  SaveOptionValues v{1, 0, 255, 6, 8};
  // saveMask 255 (no mask) is stored as 0; bits 20-31 survive.
  EXPECT_EQ(EncodeSaveOptions(0xABC00000, v), 0xABC86001u);
  EXPECT_EQ(EncodeSaveOptions(0xFFFFFFFF, SaveOptionValues{0, 1, 1, 4, 8}), 0xFFF84110u);
}

TEST(SaveOptionsWord, AdjustClearsMaskOnlyForBilevelImages) {
  HostImage image = {};
  image.colorKind = ColorKindBilevel;
  EXPECT_EQ(AdjustOptionsForImage(&image, 0xF0086111), 0xF0086011u);
  image.colorKind = ColorKindFullColor;
  EXPECT_EQ(AdjustOptionsForImage(&image, 0xF0086111), 0xF0086111u);
}

TEST_F(ScriptedDialogTest, ZeroWordCancelledStillNormalisesToDefaults) {
  scriptedResult = 0;
  uint32_t word = 0;
  EXPECT_EQ(EditSaveOptions(nullptr, &word), 0);
  EXPECT_EQ(word, 0x00082000u);
  EXPECT_EQ(shownValues.colorType, 2);
  EXPECT_EQ(shownValues.depth, 8);
}

TEST_F(ScriptedDialogTest, ProcedureReportsDialogFailureAsFailure) {
  scriptedResult = -1;
  uint32_t word = 0x00083011;
  CommandHeader header = {0, 11, 0x7777};
  EXPECT_EQ(TranslatorProc(&header, nullptr, &word), 0);
  EXPECT_EQ(header.result, 0x7777);
  EXPECT_EQ(word, 0x00083011u);
}

#if defined(_WIN32)
// The core library linked into a program has no module instance, so the real dialog finds no
// resource 103 and cannot be created: command 11 fails but encodes the word, and an export
// that asked for the dialog goes on with the options as given.
TEST(RealDialog, DialogThatCannotBeCreated) {
  uint32_t word = 0;
  EXPECT_EQ(EditSaveOptions(nullptr, &word), -1);
  EXPECT_EQ(word, 0x00082000u);
  CommandHeader header = {0, 11, 0x7777};
  word = 0x00086000;
  EXPECT_EQ(TranslatorProc(&header, nullptr, &word), 0);
  EXPECT_EQ(word, 0x00086000u) << "no dialog read the buttons back";

  test::DialogSaveImage source(false);
  const std::string path = test::TempPath("no-dialog.png");
  word = 0x00083011;
  uint16_t result = 0x7777;
  EXPECT_EQ(ExportImage(path.c_str(), "", &source.image, nullptr, &word, nullptr, 1, &result), 1);
  EXPECT_EQ(result, 0x7777);
  EXPECT_EQ(word, 0x00083011u);
  test::Bytes file;
  ASSERT_TRUE(test::ReadFileBytes(path, &file));
  EXPECT_EQ(file[25], 3);
  test::RemoveFile(path);
}
#endif

// Windows has the real dialog (tests/wine); elsewhere the stand-in answers.
#if !defined(_WIN32)
TEST(StandInDialog, OkWithoutChangesKeepsWordAndReducesUnknownColourType) {
  uint32_t word = 0x00083011;
  EXPECT_EQ(EditSaveOptions(nullptr, &word), 1);
  EXPECT_EQ(word, 0x00083011u);
  // Colour type 6 without a mask comes back as 2, as the dialog's OK reads its buttons.
  word = 0x00086000;
  EXPECT_EQ(EditSaveOptions(nullptr, &word), 1);
  EXPECT_EQ(word, 0x00082000u);
}
#endif

TEST(ZlibMemory, AllocatesTheFullProductZeroFilledAndRefusesOverflow) {
  auto* block = static_cast<uint8_t*>(zlibAllocate(nullptr, 0x10001, 2));
  ASSERT_NE(block, nullptr);
  for (size_t i = 0; i < 0x20002; ++i) ASSERT_EQ(block[i], 0) << i;
  block[0x20001] = 1;  // the last byte of the full product is ours (ASan would object otherwise)
  zlibFree(nullptr, block);
  EXPECT_EQ(zlibAllocate(nullptr, 0x10000, 0x10000), nullptr);
  freeIfPresent(nullptr);
}

}  // namespace
}  // namespace pngtrans
