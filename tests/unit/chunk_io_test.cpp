// The reader object and chunk input: set-up, signature, exact reads, CRC, skipping and the
// end of a chunk, on real files.
#include <gtest/gtest.h>

#include "format/chunk_format.h"
#include "import/png_reader.h"
#include "support/reader_harness.h"

namespace pngtrans::test {
namespace {

Bytes Sequence(uint32_t count, uint8_t seed) {
  Bytes bytes(count);
  for (uint32_t i = 0; i < count; ++i) bytes[i] = static_cast<uint8_t>(seed + i * 7 + (i >> 9));
  return bytes;
}

TEST(ReaderObject, ConstructionGivesNoTransparencyAndDirectMapping) {
  PngReader reader;
  ASSERT_TRUE(reader.Constructed());
  EXPECT_FALSE(reader.HasTransparency());
  EXPECT_FALSE(reader.HasTransparentColor());
  EXPECT_EQ(reader.bilevelMapping(), BilevelDirect);
  for (int i = 0; i < 768; ++i) ASSERT_EQ(reader.paletteBuffer()[i], 0) << i;
}

TEST(ReaderObject, InitReaderPreparesBufferAndDecompressor) {
  PngReader reader;
  ASSERT_EQ(reader.InitReader(), StatusOk);
  EXPECT_EQ(reader.state().inputBufferSize, 8192u);
  EXPECT_NE(reader.state().inputBuffer, nullptr);
  EXPECT_TRUE(reader.state().zstreamReady);
  EXPECT_EQ(reader.state().zstream.opaque, &reader.state());
  // Set-up twice must not leak the first buffer or stream (ASan would report it).
  ASSERT_EQ(reader.InitReader(), StatusOk);
  reader.DestroyReader();
  EXPECT_FALSE(reader.Constructed());
  EXPECT_NE(reader.paletteBuffer(), nullptr);
}

TEST(ReaderObject, MissingBlockOrInputBufferIsNoMemory) {
  // The first three allocations are the blocks, the fourth the input buffer.
  for (int failAt = 1; failAt <= 4; ++failAt) {
    ScopedReaderAllocator allocator(failAt);
    PngReader reader;
    EXPECT_EQ(reader.Constructed(), failAt == 4) << failAt;
    EXPECT_EQ(reader.InitReader(), StatusNoMemory) << failAt;
    reader.DestroyReader();
  }
}

TEST(ReaderObject, DestructorReleasesWhatTheStateOwnsWithoutDestroyReader) {
  // The flags decide ownership: with them set the teardown frees the arrays (a leak would show
  // under LeakSanitizer), without them the arrays are left to their owner.
  uint8_t borrowed[4];
  {
    PngReader reader;
    ASSERT_EQ(reader.InitReader(), StatusOk);
    reader.state().trans = static_cast<uint8_t*>(std::malloc(16));
    reader.state().hist = static_cast<uint16_t*>(std::malloc(16));
    reader.state().window = static_cast<uint8_t*>(std::malloc(16));
    reader.state().flags |= FlagFreeTrns | FlagFreeHist;
  }
  {
    PngReader reader;
    ASSERT_EQ(reader.InitReader(), StatusOk);
    reader.state().trans = borrowed;
    reader.state().hist = reinterpret_cast<uint16_t*>(borrowed);
    reader.DestroyReader();
  }
  SUCCEED();
}

TEST(ReaderObject, SignatureChecks) {
  {
    ReaderOnFile file(PngSignature());
    EXPECT_EQ(file.signatureStatus(), StatusOk);
    EXPECT_EQ(std::memcmp(file->info().signature, kPngSignature, 8), 0);
  }
  {
    Bytes wrong = PngSignature();
    wrong[7] = 0x0B;
    ReaderOnFile file(wrong);
    EXPECT_EQ(file.signatureStatus(), StatusBadFormat);
  }
  {
    const Bytes gif = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0};
    ReaderOnFile file(gif);
    EXPECT_EQ(file.signatureStatus(), StatusBadFormat);
  }
  {
    Bytes shortFile = PngSignature();
    shortFile.pop_back();
    ReaderOnFile file(shortFile);
    EXPECT_EQ(file.signatureStatus(), StatusError);
  }
}

TEST(ChunkInput, ReadsExactCountsAndFailsShort) {
  const Bytes data = Sequence(70000, 3);
  ReaderOnFile file(data, false);
  Bytes got(70000);
  ASSERT_EQ(file->ReadBytes(got.data(), 70000), StatusOk);
  EXPECT_EQ(got, data);
  // The CRC is not touched by plain reads.
  EXPECT_EQ(file->state().crc, 0u);
  uint8_t more;
  EXPECT_EQ(file->ReadBytes(&more, 1), StatusError);
}

TEST(ChunkInput, EmptyChunkChecksOnlyTheTypeCrc) {
  const Bytes iend = MakeChunk("IEND", {});
  ASSERT_EQ(Bytes(iend.end() - 4, iend.end()), Bytes({0xAE, 0x42, 0x60, 0x82}));
  Bytes bytes = iend;
  Append(&bytes, Text("next"));
  ReaderOnFile file(bytes, false);
  uint32_t length = 99;
  ASSERT_EQ(file->ReadChunkHeader(&length), StatusOk);
  EXPECT_EQ(length, 0u);
  EXPECT_TRUE(ChunkTypeIs(file->state().chunkType, "IEND"));
  EXPECT_EQ(file->FinishChunk(0), 0);
  EXPECT_EQ(file.Rest(), Text("next"));
}

// Skipping goes through the 8192-byte buffer in pieces; every size must land exactly on the
// next chunk with the CRC over all of the data.
TEST(ChunkInput, SkippingAnyLengthKeepsCrcAndPosition) {
  for (uint32_t size : {1u, 8191u, 8192u, 8193u, 16384u, 20000u}) {
    Bytes bytes = MakeChunk("abCd", Sequence(size, static_cast<uint8_t>(size)));
    Append(&bytes, Text("tail"));
    ReaderOnFile file(bytes, false);
    uint32_t length = 0;
    ASSERT_EQ(file->ReadChunkHeader(&length), StatusOk);
    ASSERT_EQ(length, size);
    EXPECT_EQ(file->FinishChunk(length), 0) << size;
    EXPECT_EQ(file.Rest(), Text("tail")) << size;
  }
}

TEST(ChunkInput, PiecewiseDataGivesTheSameCrcAsOneRead) {
  const Bytes data = Sequence(1000, 9);
  const Bytes chunk = MakeChunk("tEXt", data);
  ReaderOnFile file(chunk, false);
  uint32_t length = 0;
  ASSERT_EQ(file->ReadChunkHeader(&length), StatusOk);
  Bytes got(1000);
  ASSERT_EQ(file->ReadChunkData(got.data(), 1), StatusOk);
  ASSERT_EQ(file->ReadChunkData(got.data() + 1, 500), StatusOk);
  EXPECT_EQ(file->FinishChunk(499), 0);
  EXPECT_EQ(Bytes(got.begin(), got.begin() + 501), Bytes(data.begin(), data.begin() + 501));
}

TEST(ChunkInput, WrongStoredCrcIsAMismatch) {
  ReaderOnFile file(MakeChunkBadCrc("gAMA", Be32(45455)), false);
  uint32_t length = 0;
  ASSERT_EQ(file->ReadChunkHeader(&length), StatusOk);
  EXPECT_EQ(file->FinishChunk(length), 1);
}

TEST(ChunkInput, MissingCrcBytesAreAMismatch) {
  Bytes chunk = MakeChunk("gAMA", Be32(45455));
  chunk.resize(chunk.size() - 2);
  ReaderOnFile file(chunk, false);
  uint32_t length = 0;
  ASSERT_EQ(file->ReadChunkHeader(&length), StatusOk);
  uint8_t data[4];
  ASSERT_EQ(file->ReadChunkData(data, 4), StatusOk);
  EXPECT_EQ(file->CheckChunkCrc(), 1);
}

TEST(ChunkInput, SkippingPastTheEndStopsAndReportsMismatch) {
  // A declared length of almost 2 GiB in a file of a few bytes: the skip ends at the end of the
  // file at once instead of issuing a quarter of a million empty reads.
  Bytes bytes = Be32(0x7FFFFFFF);
  Append(&bytes, Text("zzZz"));
  Append(&bytes, Text("only this"));
  ReaderOnFile file(bytes, false);
  uint32_t length = 0;
  ASSERT_EQ(file->ReadChunkHeader(&length), StatusOk);
  EXPECT_EQ(file->FinishChunk(length), 1);
}

TEST(ChunkInput, HeaderCutShortOrLengthBeyondPngLimitFails) {
  const Bytes chunk = MakeChunk("IHDR", IhdrData(1, 1, 8, 0));
  for (size_t cut = 0; cut < 8; ++cut) {
    ReaderOnFile file(Bytes(chunk.begin(), chunk.begin() + cut), false);
    uint32_t length = 0;
    EXPECT_EQ(file->ReadChunkHeader(&length), StatusError) << cut;
  }
  Bytes huge = Be32(0x80000000u);
  Append(&huge, Text("tEXt"));
  ReaderOnFile file(huge, false);
  uint32_t length = 0;
  EXPECT_EQ(file->ReadChunkHeader(&length), StatusError);
}

TEST(ChunkInput, ChunkCopyIsTerminatedAndGrowsOnlyWithArrivingData) {
  {
    const Bytes data = Sequence(200000, 1);
    ReaderOnFile file(MakeChunk("tEXt", data), false);
    uint32_t length = 0;
    ASSERT_EQ(file->ReadChunkHeader(&length), StatusOk);
    uint8_t* copy = nullptr;
    ASSERT_EQ(file->ReadChunkCopy(length, &copy), StatusOk);
    EXPECT_EQ(std::memcmp(copy, data.data(), data.size()), 0);
    EXPECT_EQ(copy[200000], 0);
    std::free(copy);
    EXPECT_EQ(file->FinishChunk(0), 0);
  }
  {
    // 2 GiB declared, 100 bytes present: a failure, and no allocation beyond the first piece.
    Bytes bytes = Be32(0x7FFFFFFF);
    Append(&bytes, Text("tEXt"));
    Append(&bytes, Sequence(100, 2));
    ReaderOnFile file(bytes, false);
    uint32_t length = 0;
    ASSERT_EQ(file->ReadChunkHeader(&length), StatusOk);
    ScopedReaderAllocator allocator;
    uint8_t* copy = nullptr;
    EXPECT_EQ(file->ReadChunkCopy(length, &copy), StatusError);
    EXPECT_EQ(copy, nullptr);
    EXPECT_LE(allocator.largest(), 64u * 1024);
  }
}

TEST(ChunkInput, ChunkCopyOutOfMemoryIsNoMemory) {
  for (int failAt = 1; failAt <= 3; ++failAt) {
    ReaderOnFile file(MakeChunk("tEXt", Sequence(150000, 4)), false);
    uint32_t length = 0;
    ASSERT_EQ(file->ReadChunkHeader(&length), StatusOk);
    ScopedReaderAllocator allocator(failAt);
    uint8_t* copy = nullptr;
    EXPECT_EQ(file->ReadChunkCopy(length, &copy), StatusNoMemory) << failAt;
    EXPECT_EQ(copy, nullptr);
  }
}

TEST(ChunkFormat, BigEndianDecoding) {
  const uint8_t bytes[4] = {0xFF, 0xFF, 0xFF, 0xFE};
  EXPECT_EQ(ReadUInt32(bytes), 4294967294u);
  EXPECT_EQ(ReadInt32(bytes), -2);
  EXPECT_EQ(ReadUInt16(bytes + 2), 0xFFFE);
}

}  // namespace
}  // namespace pngtrans::test
