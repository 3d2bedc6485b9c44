// Writes test images through the module's PngWriter exactly as an export does (head chunks,
// rows pass by pass, optional text, file end). Header-only on purpose: the test support library
// is linked after the core library, so its code must not call into the core; these inline
// functions are compiled into the tests that use them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "export/png_writer.h"
#include "base/status.h"
#include "platform/lowio.h"
#include "support/png_parts.h"
#include "support/png_build.h"

namespace pngtrans::test {

struct WriterDriverOptions {
  bool interlace = false;
  Bytes palette;  // PLTE entries (RGB triples); written when not empty
  Bytes trns;     // palette images: alpha table; written when not empty
  // Grey / RGB images: a tRNS colour (grey, or red, green, blue) written when set.
  bool transparentColor = false;
  uint16_t transparent[3] = {0, 0, 0};
  bool background = false;
  uint16_t backgroundSamples[3] = {0, 0, 0};  // grey or index, or red, green, blue
  bool physical = false;
  uint32_t pixelsPerUnitX = 0;
  uint32_t pixelsPerUnitY = 0;
  // Sub-byte one-channel images: supply one sample per byte and let the writer pack them.
  bool packFromBytes = false;
  std::string title;  // written as a "Title" text when not empty
  // Rows handed over per pass; fewer than the image height leaves the image unfinished.
  int64_t rowsPerPass = -1;
  // When not 0, replaces the filter set the header chose (to force one filter).
  uint8_t filterMask = 0;
};

namespace detail {

inline Status RunWriter(PngWriter& writer, const RawImage& image, const WriterDriverOptions& o) {
  PT_RETURN_IF_ERROR(writer.StartWriter());
  PngInfo& info = writer.info();
  info.width = image.width;
  info.height = image.height;
  info.bitDepth = image.bitDepth;
  info.colorType = image.colorType;
  info.interlaceMethod = o.interlace ? 1 : 0;
  Bytes palette = o.palette;
  Bytes trns = o.trns;
  if (!palette.empty()) {
    info.palette = palette.data();
    info.paletteCount = static_cast<uint16_t>(palette.size() / 3);
    info.valid |= ValidPLTE;
  }
  if (!trns.empty()) {
    info.trans = trns.data();
    info.transCount = static_cast<uint16_t>(trns.size());
    info.valid |= ValidtRNS;
  }
  if (o.transparentColor) {
    info.transValues.gray = o.transparent[0];
    info.transValues.red = o.transparent[0];
    info.transValues.green = o.transparent[1];
    info.transValues.blue = o.transparent[2];
    info.valid |= ValidtRNS;
  }
  if (o.background) {
    info.background.index = static_cast<uint8_t>(o.backgroundSamples[0]);
    info.background.gray = o.backgroundSamples[0];
    info.background.red = o.backgroundSamples[0];
    info.background.green = o.backgroundSamples[1];
    info.background.blue = o.backgroundSamples[2];
    info.valid |= ValidbKGD;
  }
  if (o.physical) {
    info.pixelsPerUnitX = o.pixelsPerUnitX;
    info.pixelsPerUnitY = o.pixelsPerUnitY;
    info.physUnit = 0;
    info.valid |= ValidpHYs;
  }
  PT_RETURN_IF_ERROR(writer.WriteFileHead());
  if (o.filterMask != 0) writer.state().filterMask = o.filterMask;

  std::vector<Bytes> rows = image.rows;
  if (o.packFromBytes) {
    writer.state().usrBitDepth = 8;
    writer.state().transformations |= WriterTransformPack;
    for (Bytes& row : rows) row = UnpackRow(row, image.width, image.bitDepth);
  }
  const size_t rowSize = rows.empty() ? 0 : rows[0].size();
  GuardedRow guarded(rowSize);
  const int passes = writer.InterlacePassCount();
  const uint32_t rowsPerPass =
      o.rowsPerPass < 0 ? image.height : static_cast<uint32_t>(o.rowsPerPass);
  for (int pass = 0; pass < passes; ++pass) {
    for (uint32_t y = 0; y < rowsPerPass && y < rows.size(); ++y) {
      writer.WriteRow(guarded.Fill(rows[y]));
    }
  }
  if (!o.title.empty()) {
    PT_RETURN_IF_ERROR(
        writer.WritetEXt("Title", o.title.data(), static_cast<uint32_t>(o.title.size())));
  }
  return writer.WriteFileEnd();
}

}  // namespace detail

// Writes image to path through PngWriter. Returns the first failure of the head, the text or
// the file end (the row pipeline reports through the file end).
inline Status WriteWithPngWriter(const RawImage& image, const std::string& path,
                                 const WriterDriverOptions& options = WriterDriverOptions()) {
  PngWriter writer;
  if (!writer.Constructed()) return StatusNoMemory;
  const int fd = lowio::CreateFile(path.c_str());
  if (fd < 0) return StatusWriteError;
  writer.SetFile(fd);
  const Status status = detail::RunWriter(writer, image, options);
  lowio::Close(fd);
  writer.TeardownWriter();
  return status;
}

// A PngWriter writing to a fresh temporary file; Finish closes the file and returns its bytes.
class WriterOnFile {
 public:
  explicit WriterOnFile(const std::string& name) : path_(TempPath(name)) {
    fd_ = lowio::CreateFile(path_.c_str());
    if (writer_.Constructed()) writer_.SetFile(fd_);
  }
  ~WriterOnFile() {
    if (fd_ >= 0) lowio::Close(fd_);
    RemoveFile(path_);
  }
  WriterOnFile(const WriterOnFile&) = delete;
  WriterOnFile& operator=(const WriterOnFile&) = delete;

  bool ok() const { return fd_ >= 0 && writer_.Constructed(); }
  PngWriter& writer() { return writer_; }
  const std::string& path() const { return path_; }
  Bytes Finish() {
    if (fd_ >= 0) lowio::Close(fd_);
    fd_ = -1;
    Bytes bytes;
    ReadFileBytes(path_, &bytes);
    return bytes;
  }

 private:
  PngWriter writer_;
  std::string path_;
  int fd_ = -1;
};

}  // namespace pngtrans::test
