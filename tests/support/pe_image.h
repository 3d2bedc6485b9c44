// A reader of Windows PE images of our own, for checking the built DLL as a file on any machine:
// headers, export and import names, resources and the bytes at a virtual address. Every offset,
// size and count in the file is checked before it is used; a damaged image gives an error.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace pngtrans::test {

struct PeSection {
  std::string name;
  uint32_t virtualAddress = 0;
  uint32_t virtualSize = 0;
  uint32_t rawOffset = 0;
  uint32_t rawSize = 0;
  uint32_t characteristics = 0;
};

// A version resource (VS_VERSIONINFO) read back: the fixed file and product versions (four
// 16-bit parts each), every string as "BLOCK/Key" (for example "041103A4/FileVersion", the
// text's ASCII characters) and the language/code page pairs of VarFileInfo's Translation.
struct PeVersion {
  uint16_t file[4] = {};
  uint16_t product[4] = {};
  std::map<std::string, std::string> strings;
  std::vector<uint16_t> translations;
};
// False when the data is not a well-formed version resource; every length is checked first.
bool ParseVersionResource(const std::vector<uint8_t>& data, PeVersion* out);

class PeImage {
 public:
  // Parses the image; ok() tells whether it is a well-formed PE file, error() why not.
  explicit PeImage(std::vector<uint8_t> bytes);

  bool ok() const { return error_.empty(); }
  const std::string& error() const { return error_; }

  uint16_t machine() const { return machine_; }
  uint16_t optionalMagic() const { return optionalMagic_; }  // 0x10b PE32, 0x20b PE32+
  uint16_t characteristics() const { return characteristics_; }
  uint64_t imageBase() const { return imageBase_; }
  const std::vector<PeSection>& sections() const { return sections_; }
  const std::vector<std::string>& exportNames() const { return exportNames_; }
  const std::vector<std::string>& importNames() const { return importNames_; }

  // The data of resource type/name/language, or false with error() left as it was.
  bool Resource(uint32_t type, uint32_t name, uint32_t language, std::vector<uint8_t>* data) const;

  // `size` bytes at a relative virtual address, when they all lie in the file.
  const uint8_t* AtRva(uint32_t rva, uint32_t size) const;
  // The section holding a relative virtual address (null when none).
  const PeSection* SectionOf(uint32_t rva) const;

  // Every offset in the file's sections where `needle` occurs, as relative virtual addresses.
  std::vector<uint32_t> FindInSections(const std::vector<uint8_t>& needle) const;

 private:
  bool Parse();
  bool Fail(const std::string& why);
  bool ReadExports(uint32_t rva);
  bool ReadImports(uint32_t rva);
  bool StringAt(uint32_t rva, std::string* out) const;
  bool ResourceEntry(uint32_t directory, uint32_t id, uint32_t* entry, bool* isDirectory) const;

  std::vector<uint8_t> bytes_;
  std::string error_;
  uint16_t machine_ = 0;
  uint16_t optionalMagic_ = 0;
  uint16_t characteristics_ = 0;
  uint64_t imageBase_ = 0;
  uint32_t resourceRva_ = 0;
  uint32_t resourceSize_ = 0;
  std::vector<PeSection> sections_;
  std::vector<std::string> exportNames_;
  std::vector<std::string> importNames_;
};

}  // namespace pngtrans::test
