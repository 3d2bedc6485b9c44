// The translator as a host sees it: the module loaded at run time (dlopen on Linux,
// LoadLibrary under Wine), its two exports, the record and the procedure it points to.
#include <gtest/gtest.h>

#include <cstring>

#include "support/module_loader.h"

namespace pngtrans::test {
namespace {

class TranslatorModule : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(module_.ok()) << module_.error(); }
  int Call(CommandHeader* header, XtndArg a = 0, XtndArg b = 0) {
    return module_.Procedure()(header, a, b);
  }
  LoadedModule module_;
};

TEST_F(TranslatorModule, CountsOneTranslator) {
  EXPECT_EQ(module_.countXTND(), 1);
  EXPECT_EQ(module_.countXTND(), 1);
}

// The record's bytes at the offsets the public header pins for this pointer size (on the
// 32-bit targets the shipped layout: procedure at 68, words at 72); nothing past its end.
TEST_F(TranslatorModule, RecordBytesAreExact) {
  uint8_t record[PNGTRANS_RECORD_SIZE + 16];
  std::memset(record, 0xEE, sizeof record);
  module_.getXTNDInfo(0, record);
  const uint8_t name[8] = {0x50, 0x4E, 0x47, 0x20, 0xCC, 0xA7, 0xB2, 0xD9};
  EXPECT_EQ(std::memcmp(record, name, 8), 0);
  for (int i = 8; i < 64; ++i) EXPECT_EQ(record[i], 0) << "name padding at " << i;
  EXPECT_EQ(std::memcmp(record + 64, "PNG\0", 4), 0);
  uintptr_t procedure = 0;
  std::memcpy(&procedure, record + PNGTRANS_RECORD_PROCEDURE, sizeof procedure);
  EXPECT_NE(procedure, 0u);
  // The address is the procedure inside the loaded module: calling it answers command 2.
  CommandHeader header = {0, 2, 0};
  auto proc = reinterpret_cast<TranslatorProcFn>(procedure);
  EXPECT_EQ(proc(&header, XtndArg{13}), 1);
  const uint8_t words[12] = {1, 0, 0, 0, 1, 0, 0, 0, 0x06, 0x00, 0x01, 0x01};
  const int after = PNGTRANS_RECORD_AFTER_PROCEDURE;
  EXPECT_EQ(std::memcmp(record + after, words, 12), 0);
  for (int i = after + 12; i < PNGTRANS_RECORD_SIZE; ++i)
    EXPECT_EQ(record[i], 0) << "reserved byte " << i;
  for (size_t i = PNGTRANS_RECORD_SIZE; i < sizeof record; ++i)
    EXPECT_EQ(record[i], 0xEE) << "written past the record at " << i;
}

TEST_F(TranslatorModule, OtherIndexLeavesDestinationUntouched) {
  uint8_t record[256];
  std::memset(record, 0xEE, sizeof record);
  module_.getXTNDInfo(1, record);
  module_.getXTNDInfo(-1, record);
  for (uint8_t b : record) ASSERT_EQ(b, 0xEE);
}

TEST_F(TranslatorModule, CapabilityQueryUsesLow16BitsOfTheCode) {
  CommandHeader header = {0x12345678, 2, 0x5555};
  for (uint32_t code : {0u, 1u, 2u, 3u, 4u, 5u, 9u, 11u, 13u, 0x00010003u}) {
    EXPECT_EQ(Call(&header, code), 1) << code;
  }
  for (uint32_t code : {6u, 7u, 8u, 10u, 12u, 14u, 0xFFFFu})
    EXPECT_EQ(Call(&header, code), 0) << code;
  EXPECT_EQ(header.result, 0x5555);
  EXPECT_EQ(header.hostData, 0x12345678u);
}

TEST_F(TranslatorModule, QueriesAndUnlistedCommandsSucceedWithoutTouchingResult) {
  for (uint16_t command : {0, 1, 6, 7, 8, 10, 12, 14, 200, 0xFFFF}) {
    CommandHeader header = {0, command, 0x4242};
    EXPECT_EQ(Call(&header), 1) << command;
    EXPECT_EQ(header.result, 0x4242) << command;
  }
}

// The DLL opens its real dialog here; the Windows dialog tests drive it with a user.
#if !defined(_WIN32)
TEST_F(TranslatorModule, OptionsCommandNormalisesAndKeepsWords) {
  // Without a user at the dialog, OK without changes: the zero word gets the defaults.
  CommandHeader header = {0, 11, 0x4242};
  uint32_t word = 0;
  EXPECT_EQ(module_.Procedure()(&header, nullptr, &word), 1);
  EXPECT_EQ(word, 0x00082000u);
  word = 0x00083011;
  EXPECT_EQ(module_.Procedure()(&header, nullptr, &word), 1);
  EXPECT_EQ(word, 0x00083011u);
  word = 0xFED83011;  // reserved bits kept
  EXPECT_EQ(module_.Procedure()(&header, nullptr, &word), 1);
  EXPECT_EQ(word, 0xFED83011u);
  EXPECT_EQ(header.result, 0x4242);
}
#endif

}  // namespace
}  // namespace pngtrans::test
