// PngReader: the decoder object of one import. It owns three zero-filled blocks (the reader
// state, its PngInfo and the 256-entry paletteBuffer) plus bilevelMapping and what tRNS says.
// Operations are grouped by concern and implemented in the file named beside each group.
#pragma once

#include <cstddef>
#include <cstdint>

#include <zlib.h>

#include "format/png_info.h"
#include "format/row_info.h"
#include "base/host_image.h"
#include "base/status.h"

namespace pngtrans {

// ReaderMode bits.
enum ReaderModeBit : uint32_t {
  ModeSawIHDR = 0x01,
  ModeSawPLTE = 0x02,
  ModeSawIDAT = 0x04,
  ModeAfterIDAT = 0x08,  // image data finished
  ModeSawIEND = 0x10,
};

// ReaderFlags bits.
enum ReaderFlagBit : uint32_t {
  FlagZlibFinished = 0x20,  // compressed image stream reported its end
  FlagRowInit = 0x40,       // rows prepared (StartRows ran)
  FlagFreeTrns = 0x2000,    // the tRNS array is owned by the reader
  FlagFreeHist = 0x4000,    // the hIST array is owned by the reader
};

// Transformations bits (read side: only interlace handling).
enum ReaderTransformBit : uint32_t {
  TransformInterlace = 0x02,
};

// bilevelMapping values (1-bit images).
enum BilevelMapping : uint8_t {
  BilevelDirect = 0,    // entry 0 black, entry 1 white
  BilevelInverted = 1,  // entry 0 white, entry 1 black
  BilevelPlain = 2,     // anything else
};

// The C heap behind the reader's own allocations: its three blocks, the tRNS and hIST arrays,
// chunk copies, texts and pCAL strings (not zlib's blocks, not the host's buffers). Tests put
// a failing allocator in its place to reach the out-of-memory paths.
using ReaderAllocator = void* (*)(size_t bytes);
// Installs allocator (null restores the C heap); returns the previous one.
ReaderAllocator SetReaderAllocatorForTesting(ReaderAllocator allocator);
void* ReaderAllocate(size_t bytes);        // uninitialised; null on failure; free() releases it
void* ReaderAllocateZeroed(size_t bytes);  // the same, zero-filled

struct ReaderState {
  // --- file and chunk framing (chunk_io.cpp) ---
  int file;
  uint32_t crc;
  uint8_t chunkType[4];

  uint32_t mode;             // ReaderModeBit
  uint32_t flags;            // ReaderFlagBit
  uint32_t transformations;  // ReaderTransformBit

  // --- decompressor, shared by the image data and zTXt ---
  z_stream zstream;
  uint8_t* inputBuffer;
  uint32_t inputBufferSize;  // 8192
  // The image data is read in pieces of up to imageInputSize (at least inputBufferSize): what
  // the rows' window leaves of their shared allowance (StartRows).
  uint32_t imageInputSize;

  // --- header (chunk_handlers.cpp) ---
  uint32_t width;
  uint32_t height;
  uint8_t bitDepth;
  uint8_t colorType;
  uint8_t interlaced;
  uint8_t channels;
  uint8_t pixelDepth;
  uint32_t rowBytes;  // (width * pixelDepth + 7) / 8

  // --- ancillary values kept by the handlers ---
  uint8_t* palette;  // points at paletteBuffer
  uint8_t* trans;
  uint16_t* hist;
  uint16_t paletteCount;
  uint16_t transCount;
  Color16 transValues;
  Color16 background;
  float gamma;
  SignificantBits sigBit;
  uint32_t pixelsPerUnitX;
  uint32_t pixelsPerUnitY;

  // --- rows (row_reader.cpp, interlace.cpp) ---
  uint32_t idatRemaining;  // bytes of the current IDAT not yet read into inputBuffer
  uint32_t numRows;
  uint32_t passWidth;
  uint32_t passRowBytes;  // including the filter byte
  uint32_t rowNumber;
  // The rows' window, the reader's own: the inflated rows of a pass, each a filter byte and
  // passRowBytes - 1 bytes, back to back in slots of passRowBytes up to windowEnd. Once empty it
  // is filled again from its second slot in one inflate call (up to 256 KiB of rows: see
  // StartRows), the row above moved to the first. The slot before the next row holds the row
  // above it, unfiltered (a zero row above a pass's first row).
  uint8_t* window;
  uint32_t windowSize;
  uint32_t windowEnd;      // whole slots of the current pass
  uint32_t readAt;         // slot of the next row to unfilter
  uint32_t writeAt;        // where the inflated rows end (the window is empty at readAt)
  uint64_t passBytesLeft;  // bytes of the pass that inflate has yet to produce
  uint8_t* rowBuffer;      // in the window: filter byte + row being (or last) decoded
  uint8_t* previousRow;    // in the window: the unfiltered row above it
  uint8_t pass;            // Adam7 pass of the rows being read

  // --- the image data's zlib wrapper (row_reader.cpp) ---
  // The image data is inflated raw; its two header bytes and its Adler-32 trailer are handled
  // by InflateImageData with the same outcome as zlib's own wrapper handling.
  uint8_t wrapperPhase;  // WrapperPhase
  uint8_t wrapperCount;  // header or trailer bytes gathered so far
  uint8_t wrapperBytes[4];
  bool zstreamReady;    // inflateInit succeeded; inflateEnd is due at teardown
  uint32_t imageAdler;  // Adler-32 of the image data inflated so far
};

// Bytes of the image data as inflated: every row of every pass, each with its filter byte.
uint64_t InflatedImageBytes(const ReaderState& s);

enum WrapperPhase : uint8_t {
  WrapperHeader = 0,
  WrapperData = 1,
  WrapperTrailer = 2,
  WrapperDone = 3,
};

class PngReader {
 public:
  PngReader();
  ~PngReader();
  PngReader(const PngReader&) = delete;
  PngReader& operator=(const PngReader&) = delete;

  // False when one of the three blocks could not be allocated.
  bool Constructed() const {
    return state_ != nullptr && info_ != nullptr && paletteBuffer_ != nullptr;
  }

  ReaderState& state() { return *state_; }
  PngInfo& info() { return *info_; }
  uint8_t* paletteBuffer() { return paletteBuffer_; }
  uint8_t bilevelMapping() const { return bilevelMapping_; }
  // A grey, colour or palette image with a non-empty tRNS chunk: the host gets a mask.
  bool HasTransparency() const { return transparency_; }
  // The transparent colour as a host pixel value: a grey or colour key (masked to the bit
  // depth), or the first palette entry of alpha 0. A palette without one has none: its alpha
  // reaches the host through the mask only.
  bool HasTransparentColor() const { return hasTransparentColor_; }
  uint32_t transparentColor() const { return transparentColor_; }

  // --- reader object (png_reader.cpp) ---
  Status InitReader();
  Status ReadSignature();
  void DestroyReader();  // state teardown, then frees the PngInfo and state blocks
  void SetFile(int fd) { state_->file = fd; }

  // --- chunk input (chunk_io.cpp) ---
  Status ReadBytes(void* destination, uint32_t count);
  void ResetCrc();
  void UpdateCrc(const uint8_t* bytes, uint32_t count);
  Status ReadChunkData(void* destination, uint32_t count);
  int CheckChunkCrc();                       // 1 = mismatch (also when the CRC cannot be read)
  int FinishChunk(uint32_t skip);            // 1 = mismatch
  Status ReadChunkHeader(uint32_t* length);  // length, ResetCrc, type through the CRC
  // Reads the next length data bytes through the CRC into a new buffer of length + 1 bytes
  // whose last byte is 0. The buffer grows with the bytes that actually arrive, so a huge
  // declared length in a short file costs no huge allocation. Caller frees *copy.
  Status ReadChunkCopy(uint32_t length, uint8_t** copy);

  // --- chunk loop and handlers (chunk_handlers.cpp) ---
  Status ReadHeadChunks(HostImage* image, uint32_t* options, char* title);
  Status ReadTailChunks(HostImage* image, char* title);
  Status HandleIHDR(uint32_t length, HostImage* image);
  Status HandlePLTE(uint32_t length);
  Status HandleIEND(uint32_t length);
  Status HandlegAMA(uint32_t length);
  Status HandlesBIT(uint32_t length);
  Status HandlecHRM(uint32_t length);
  Status HandletRNS(uint32_t length);
  Status HandlebKGD(uint32_t length);
  Status HandlehIST(uint32_t length);
  Status HandlepHYs(uint32_t length);
  Status HandleoFFs(uint32_t length);
  Status HandlepCAL(uint32_t length);
  Status HandletIME(uint32_t length);
  Status HandletEXt(uint32_t length, char* title);
  Status HandlezTXt(uint32_t length);
  Status HandleUnknown(uint32_t length);
  void CopyPaletteToHost(HostImage* image);
  // Describes the host image (a mask for alpha channels and for tRNS transparency, the
  // resolution, the background colour) and asks the host to allocate it; called at the first
  // IDAT chunk, so that a file failing before it leaves the descriptor as the host set it.
  Status MapHeaderToHost(HostImage* image);
  // False when the bytes left in the file cannot inflate to the image's data: deflate turns
  // one byte into 1032 at most.
  bool ImageDataCanFill() const;
  // backgroundColor: the transparent colour, else bKGD, else preset (the host's own value).
  uint32_t HostBackground(uint32_t preset) const;

  // --- image data and unfiltering (row_reader.cpp) ---
  Status StartRows();
  void UpdateInfo();
  Status RefillImageData();
  // The window made ready for the current pass: its slot size and the zero row above.
  void BeginPassWindow();
  // Refills the empty window: the row above to its first slot, then as many rows as the
  // window and the pass hold, in one inflate call.
  Status FillWindow();
  // Inflates exactly count bytes of the image data to out.
  Status InflateRows(uint8_t* out, uint32_t count);
  // One step of the image data's decompression, as zlib's inflate with Z_PARTIAL_FLUSH on the
  // zlib stream would take it: the same results, the same bytes out and the same input used.
  int InflateImageData();
  Status ReadRow(uint8_t* row);
  // ReadRow without the copy: *view points at the unfiltered row inside the reader, valid until
  // the next row is read (null when no row was decoded). With interlace handling on, rows need
  // a caller's row to merge into, except in the last pass, whose rows are whole image rows:
  // refused (StatusError) before it.
  Status ReadRowView(const uint8_t** view);
  Status FinishRow();
  static Status UnfilterRow(const RowInfo& row, uint8_t* current, const uint8_t* previous,
                            int filterType);

  // --- interlacing (interlace.cpp) ---
  int InterlacePassCount();
  static void ExpandPassRow(RowInfo* row, uint8_t* data, int pass);
  void CombineRow(uint8_t* row, uint8_t mask);
  // Each pixel of the pass row in the row buffer goes straight to its column of row (for
  // depths below 8, into its own bits), which is what widening and merging under the pass's
  // mask leave there. The row buffer is left as it is.
  void PlacePassPixels(uint8_t* row) const;
  void SetPassGeometry();  // passWidth and passRowBytes of the current pass
  // After the last row of a pass: zero previousRow, move to the next pass and set its
  // geometry. False once the seventh pass has ended.
  bool AdvancePass();

  // --- rows into the host image (host_rows.cpp) ---
  Status ReadImageIntoHost(HostImage* image, ProgressCallback progress);
  int BuildGreyRamp(int bitDepth, ColorValue* palette);
  int ClassifyBilevelPalette(const HostImage* image);

  // --- after the head chunks (import_driver.cpp) ---
  Status ReadImageAndEnd(HostImage* image, ProgressCallback progress, char* title);

 private:
  void TeardownState();
  Status ReadRowOrView(uint8_t* row, const uint8_t** view);
  // The placement rule the ancillary chunks before the image share: IHDR met, no IDAT yet,
  // and no chunk of this kind (validBit) stored already.
  bool FirstBeforeImageData(uint32_t validBit) const;

  ReaderState* state_;
  PngInfo* info_;
  uint8_t* paletteBuffer_;  // 256 RGB entries
  uint8_t bilevelMapping_ = BilevelDirect;
  bool transparency_ = false;
  bool hasTransparentColor_ = false;
  uint32_t transparentColor_ = 0;

  friend class PngReaderTestAccess;
};

}  // namespace pngtrans
