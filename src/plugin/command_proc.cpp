// TranslatorProc: unpacks each command's pointer-size arguments, forwards to the probe, the import
// and export drivers or the options dialog, and reports the outcome twice: as the return value
// (1 success, 0 failure) and, for the file commands, as the Status in header->result.
#include <cstdarg>
#include <cstdint>

#include "export/export_driver.h"
#include "import/import_driver.h"
#include "import/probe.h"
#include "ui/save_options_dialog.h"
#include "plugin/translator.h"

namespace pngtrans {

namespace {

enum Command : uint16_t {
  CommandQuery0 = 0,
  CommandQuery1 = 1,
  CommandCapability = 2,
  CommandImport = 3,
  CommandExport = 4,
  CommandPreview = 5,
  CommandAttributes = 9,
  CommandOptions = 11,
  CommandExportWithOptions = 13,
};

// Attribute word of command 9.
constexpr uint32_t kAttributeBase = 0x01010000;
constexpr uint32_t kAttributeGrey8 = 0x00000008;
constexpr uint32_t kAttributeIndexed8 = 0x00000004;
constexpr uint32_t kAttributeColor24 = 0x00000010;
constexpr uint32_t kAttributeTransparent = 0x00040000;
constexpr uint32_t kAttributeAlpha = 0x00020000;

// Every argument after the header is one XtndArg, pointer or integer: on the 32-bit targets
// exactly one 32-bit word, on a 64-bit one a full pointer-size slot. Integers are its low 32
// bits, whatever a 64-bit caller left above them.
class Arguments {
 public:
  explicit Arguments(va_list* list) : list_(list) {}
  uint32_t Word() { return static_cast<uint32_t>(va_arg(*list_, XtndArg)); }
  template <typename T>
  T* Pointer() {
    return reinterpret_cast<T*>(va_arg(*list_, XtndArg));
  }

 private:
  va_list* list_;
};

int IsSupported(uint32_t queried) {
  switch (queried & 0xFFFF) {
    case CommandQuery0:
    case CommandQuery1:
    case CommandCapability:
    case CommandImport:
    case CommandExport:
    case CommandPreview:
    case CommandAttributes:
    case CommandOptions:
    case CommandExportWithOptions:
      return 1;
    default:
      return 0;
  }
}

int Import(CommandHeader* header, Arguments& args) {
  const char* path = args.Pointer<const char>();
  char* title = args.Pointer<char>();
  HostImage* image = args.Pointer<HostImage>();
  uint32_t* options = args.Pointer<uint32_t>();
  args.Word();
  args.Word();
  const auto progress = reinterpret_cast<ProgressCallback>(args.Pointer<void>());
  if (title != nullptr) title[0] = '\0';
  uint32_t localOptions = 0;
  const Status status =
      image == nullptr
          ? StatusError
          : ImportImage(path, title, image, progress, options != nullptr ? options : &localOptions);
  header->result = status;
  return status == StatusOk ? 1 : 0;
}

int Export(CommandHeader* header, Arguments& args) {
  const char* path = args.Pointer<const char>();
  const char* title = args.Pointer<const char>();
  HostImage* image = args.Pointer<HostImage>();
  uint32_t* options = args.Pointer<uint32_t>();
  const int showDialog = static_cast<int>(args.Word());
  HostWindow parent = args.Pointer<void>();
  const auto progress = reinterpret_cast<ProgressCallback>(args.Pointer<void>());
  if (image == nullptr) {
    header->result = StatusError;
    return 0;
  }
  uint32_t localOptions = 0;
  return ExportImage(path, title, image, progress, options != nullptr ? options : &localOptions,
                     parent, showDialog, &header->result);
}

int Preview(CommandHeader* header, Arguments& args) {
  const char* path = args.Pointer<const char>();
  char* title = args.Pointer<char>();
  HostImage* info = args.Pointer<HostImage>();
  HostImage* full = args.Pointer<HostImage>();
  if (title != nullptr) title[0] = '\0';
  int ret = 1;
  if (full != nullptr) {
    // The full import's failure is reported in result only; the return value follows the probe.
    uint32_t localOptions = 0;
    header->result = ImportImage(path, nullptr, full, nullptr, &localOptions);
  }
  if (info != nullptr || title != nullptr) {
    const Status status = ProbeFile(path, title, info, nullptr);
    header->result = status;
    if (status != StatusOk) ret = 0;
  }
  return ret;
}

int Attributes(CommandHeader* header, Arguments& args) {
  const char* path = args.Pointer<const char>();
  uint32_t* attributes = args.Pointer<uint32_t>();
  HostImage image = {};
  uint32_t flags = 0;
  const Status status = ProbeFile(path, nullptr, &image, &flags);
  header->result = status;
  if (status != StatusOk) return 0;
  uint32_t word = kAttributeBase;
  if (image.bitsPerPixel == 8)
    word |= image.colorKind == ColorKindGrey ? kAttributeGrey8 : kAttributeIndexed8;
  if (image.bitsPerPixel == 24) word |= kAttributeColor24;
  if (flags & ProbeFoundTrns) word |= kAttributeTransparent;
  if (flags & ProbeHasAlpha) word |= kAttributeAlpha;
  if (attributes != nullptr) *attributes = word;
  return 1;
}

int Options(Arguments& args) {
  HostWindow parent = args.Pointer<void>();
  uint32_t* options = args.Pointer<uint32_t>();
  if (options == nullptr) return 0;
  // Only OK counts as success; a dialog that could not be created (-1) is a failure too.
  return EditSaveOptions(parent, options) == 1 ? 1 : 0;
}

int ExportWithOptions(CommandHeader* header, Arguments& args) {
  const char* path = args.Pointer<const char>();
  const char* title = args.Pointer<const char>();
  HostImage* image = args.Pointer<HostImage>();
  const uint32_t options = args.Word();
  const auto progress = reinterpret_cast<ProgressCallback>(args.Pointer<void>());
  if (image == nullptr) {
    header->result = StatusError;
    return 0;
  }
  // The driver rewrites this copy with the options it used; the copy is then discarded.
  uint32_t adjusted = AdjustOptionsForImage(image, options);
  return ExportImage(path, title, image, progress, &adjusted, nullptr, 0, &header->result);
}

}  // namespace

}  // namespace pngtrans

extern "C" int PT_CDECL TranslatorProc(CommandHeader* header, ...) {
  using namespace pngtrans;
  if (header == nullptr) return 0;
  va_list list;
  va_start(list, header);
  Arguments args(&list);
  int ret = 1;
  switch (header->command) {
    case CommandCapability:
      ret = IsSupported(args.Word());
      break;
    case CommandImport:
      ret = Import(header, args);
      break;
    case CommandExport:
      ret = Export(header, args);
      break;
    case CommandPreview:
      ret = Preview(header, args);
      break;
    case CommandAttributes:
      ret = Attributes(header, args);
      break;
    case CommandOptions:
      ret = Options(args);
      break;
    case CommandExportWithOptions:
      ret = ExportWithOptions(header, args);
      break;
    default:
      // 0, 1 and every unlisted code: nothing to do.
      break;
  }
  va_end(list);
  return ret;
}
