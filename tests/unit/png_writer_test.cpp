// The writer object and its chunk framing: exact bytes on disk, CRCs, write failures and a
// teardown that is safe in every state.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "export/png_writer.h"
#include "format/chunk_format.h"
#include "platform/lowio.h"
#include "support/files.h"
#include "support/png_build.h"

namespace pngtrans {
namespace {

using test::Bytes;

// A writer with a freshly created output file; Finish closes it and returns its bytes.
class WriterFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(writer_.Constructed());
    path_ = test::TempPath("writer_file.png");
    fd_ = lowio::CreateFile(path_.c_str());
    ASSERT_GE(fd_, 0);
    writer_.SetFile(fd_);
  }
  void TearDown() override {
    if (fd_ >= 0) lowio::Close(fd_);
    test::RemoveFile(path_);
  }
  Bytes Finish() {
    lowio::Close(fd_);
    fd_ = -1;
    Bytes bytes;
    EXPECT_TRUE(test::ReadFileBytes(path_, &bytes));
    return bytes;
  }

  PngWriter writer_;
  std::string path_;
  int fd_ = -1;
};

TEST_F(WriterFileTest, EmptyChunkIsLengthTypeAndCrcOfTypeAlone) {
  ASSERT_EQ(writer_.WriteChunk("IEND", nullptr, 0), StatusOk);
  const Bytes expected = {0x00, 0x00, 0x00, 0x00, 0x49, 0x45, 0x4E, 0x44, 0xAE, 0x42, 0x60, 0x82};
  EXPECT_EQ(Finish(), expected);
}

TEST_F(WriterFileTest, SignatureIsTheEightPngBytes) {
  ASSERT_EQ(writer_.WriteSignature(), StatusOk);
  EXPECT_EQ(Finish(), test::PngSignature());
}

TEST_F(WriterFileTest, ChunkWrittenInPiecesMatchesOneWriteAndAnIndependentBuilder) {
  Bytes data(300);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7 + 3);
  ASSERT_EQ(writer_.WriteChunk("tEXt", data.data(), 300), StatusOk);
  ASSERT_EQ(writer_.BeginChunk("tEXt", 300), StatusOk);
  ASSERT_EQ(writer_.WriteChunkData(data.data(), 1), StatusOk);
  // Empty and null pieces add nothing, neither to the file nor to the CRC.
  ASSERT_EQ(writer_.WriteChunkData(nullptr, 50), StatusOk);
  ASSERT_EQ(writer_.WriteChunkData(data.data() + 1, 0), StatusOk);
  ASSERT_EQ(writer_.WriteChunkData(data.data() + 1, 199), StatusOk);
  ASSERT_EQ(writer_.WriteChunkData(data.data() + 200, 100), StatusOk);
  ASSERT_EQ(writer_.EndChunk(), StatusOk);

  Bytes expected = test::MakeChunk("tEXt", data);
  test::Append(&expected, test::MakeChunk("tEXt", data));
  EXPECT_EQ(Finish(), expected);
}

TEST_F(WriterFileTest, NullPieceLeavesTheRunningCrcAlone) {
  ASSERT_EQ(writer_.BeginChunk("abCD", 0), StatusOk);
  const uint32_t crc = writer_.state().crc;
  const uint8_t byte = 1;
  ASSERT_EQ(writer_.WriteChunkData(nullptr, 4), StatusOk);
  ASSERT_EQ(writer_.WriteChunkData(&byte, 0), StatusOk);
  EXPECT_EQ(writer_.state().crc, crc);
}

TEST_F(WriterFileTest, BlocksAboveSixtyFourKilobytesAreWrittenInFull) {
  Bytes data(200003);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i ^ (i >> 8));
  ASSERT_EQ(writer_.WriteChunk("zzZZ", data.data(), static_cast<uint32_t>(data.size())), StatusOk);
  EXPECT_EQ(Finish(), test::MakeChunk("zzZZ", data));
}

TEST(WriterFailure, WritesToAnUnwritableDescriptorReportWriteError) {
  const std::string path = test::TempPath("writer_readonly.png");
  ASSERT_TRUE(test::WriteFileBytes(path, Bytes{1, 2, 3}));
  const int fd = lowio::OpenRead(path.c_str());
  ASSERT_GE(fd, 0);
  PngWriter writer;
  writer.SetFile(fd);
  const uint8_t data[4] = {1, 2, 3, 4};
  EXPECT_EQ(writer.WriteBytes(data, 4), StatusWriteError);
  EXPECT_EQ(writer.WriteSignature(), StatusWriteError);
  EXPECT_EQ(writer.BeginChunk("IDAT", 4), StatusWriteError);
  EXPECT_EQ(writer.WriteChunk("IEND", nullptr, 0), StatusWriteError);
  // A zero-byte write needs no descriptor at all.
  EXPECT_EQ(writer.WriteBytes(data, 0), StatusOk);
  lowio::Close(fd);
  writer.SetFile(-1);
  EXPECT_EQ(writer.WriteChunkData(data, 4), StatusWriteError);
  test::RemoveFile(path);
}

TEST(WriterLifecycle, TeardownIsSafeBeforeStartAndTwice) {
  PngWriter writer;
  ASSERT_TRUE(writer.Constructed());
  writer.TeardownWriter();
  writer.TeardownWriter();
  ASSERT_EQ(writer.StartWriter(), StatusOk);
  EXPECT_NE(writer.state().outputBuffer, nullptr);
  EXPECT_EQ(writer.state().outputBufferSize, 8192u);
  writer.TeardownWriter();
  EXPECT_EQ(writer.state().outputBuffer, nullptr);
  EXPECT_EQ(writer.state().outputBufferSize, 0u);
}

TEST(WriterLifecycle, ConstructedBlocksStartZeroed) {
  PngWriter writer;
  ASSERT_TRUE(writer.Constructed());
  const auto* state = reinterpret_cast<const uint8_t*>(&writer.state());
  for (size_t i = 0; i < sizeof(WriterState); ++i) ASSERT_EQ(state[i], 0) << i;
  EXPECT_EQ(writer.info().valid, 0u);
  EXPECT_EQ(writer.palette().rgb[255][2], 0);
}

}  // namespace
}  // namespace pngtrans
