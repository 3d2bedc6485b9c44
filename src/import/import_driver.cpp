// The import driver: the order of one import (reader set-up, file, signature, head chunks,
// image rows, tail chunks) and what the host sees when it fails. Once the signature has been
// accepted, every failure is reported as StatusError and the host is asked, exactly once, to
// release the buffers it may have allocated.
#include "import/import_driver.h"

#include "import/png_reader.h"
#include "platform/lowio.h"

namespace pngtrans {

namespace {

// Closes the file and tears the reader down on every exit, whatever the path.
class ImportSession {
 public:
  explicit ImportSession(PngReader& reader) : reader_(reader) {}
  ~ImportSession() {
    if (file_ >= 0) lowio::Close(file_);
    if (!readerDestroyed_ && reader_.Constructed()) reader_.DestroyReader();
  }
  ImportSession(const ImportSession&) = delete;
  ImportSession& operator=(const ImportSession&) = delete;

  void SetFile(int file) { file_ = file; }
  void ReaderDestroyed() { readerDestroyed_ = true; }

 private:
  PngReader& reader_;
  int file_ = -1;
  bool readerDestroyed_ = false;
};

// The host supplies release with every import; a missing one is not called rather than
// jumped through.
void ReleaseHostImage(HostImage* image) {
  if (image->release != nullptr) (void)image->release(image);
}

}  // namespace

Status ImportImage(const char* path, char* title, HostImage* image, ProgressCallback progress,
                   uint32_t* options) {
  PngReader reader;
  ImportSession session(reader);
  uint32_t localOptions = 0;
  if (options == nullptr) options = &localOptions;
  *options = 0;
  if (image == nullptr) return PT_FAIL(StatusError);

  PT_RETURN_IF_ERROR(reader.InitReader());
  if (path == nullptr || !lowio::CanRead(path)) return PT_FAIL(StatusError);
  const int file = lowio::OpenRead(path);
  if (file < 0) return PT_FAIL(StatusError);
  session.SetFile(file);
  reader.SetFile(file);
  PT_RETURN_IF_ERROR(reader.ReadSignature());

  // From here on the host may hold buffers for this image.
  if (reader.ReadHeadChunks(image, options, title) != StatusOk) {
    ReleaseHostImage(image);
    return PT_FAIL(StatusError);
  }
  if (reader.ReadImageAndEnd(image, progress, title) != StatusOk) {
    ReleaseHostImage(image);
    return PT_FAIL(StatusError);
  }
  session.ReaderDestroyed();
  return StatusOk;
}

Status PngReader::ReadImageAndEnd(HostImage* image, ProgressCallback progress, char* title) {
  UpdateInfo();
  PT_RETURN_IF_ERROR(ReadImageIntoHost(image, progress));
  // The image is complete: a damaged or missing end of the file does not fail the import; the
  // tail only adds texts and a title.
  (void)ReadTailChunks(image, title);
  DestroyReader();
  return StatusOk;
}

}  // namespace pngtrans
