#include "support/pe_image.h"

#include <algorithm>
#include <cstring>

namespace pngtrans::test {

namespace {

// Little-endian fields; the caller has checked that they lie in the buffer.
uint16_t Le16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}
uint32_t Le32(const uint8_t* p) {
  return static_cast<uint32_t>(Le16(p)) | static_cast<uint32_t>(Le16(p + 2)) << 16;
}
uint64_t Le64(const uint8_t* p) {
  return static_cast<uint64_t>(Le32(p)) | static_cast<uint64_t>(Le32(p + 4)) << 32;
}

// Caps that keep a damaged count from making the reader walk for long.
constexpr uint32_t kMaxSections = 96;
constexpr uint32_t kMaxNames = 4096;
constexpr uint32_t kMaxString = 512;

}  // namespace

PeImage::PeImage(std::vector<uint8_t> bytes) : bytes_(std::move(bytes)) {
  Parse();
}

bool PeImage::Fail(const std::string& why) {
  if (error_.empty()) error_ = why;
  return false;
}

bool PeImage::Parse() {
  const uint64_t size = bytes_.size();
  if (size < 64 || bytes_[0] != 'M' || bytes_[1] != 'Z') return Fail("no MZ header");
  const uint64_t pe = Le32(&bytes_[0x3C]);
  if (pe + 24 > size) return Fail("the PE header lies outside the file");
  if (std::memcmp(&bytes_[pe], "PE\0\0", 4) != 0) return Fail("no PE signature");
  const uint8_t* coff = &bytes_[pe + 4];
  machine_ = Le16(coff);
  const uint32_t sectionCount = Le16(coff + 2);
  const uint64_t optionalSize = Le16(coff + 16);
  characteristics_ = Le16(coff + 18);
  const uint64_t optional = pe + 24;
  if (optional + optionalSize > size || optionalSize < 2) return Fail("optional header cut off");
  const uint8_t* opt = &bytes_[optional];
  optionalMagic_ = Le16(opt);
  uint64_t directoriesAt = 0;
  uint64_t countAt = 0;
  if (optionalMagic_ == 0x10b) {
    if (optionalSize < 96) return Fail("PE32 optional header too short");
    imageBase_ = Le32(opt + 28);
    countAt = 92;
    directoriesAt = 96;
  } else if (optionalMagic_ == 0x20b) {
    if (optionalSize < 112) return Fail("PE32+ optional header too short");
    imageBase_ = Le64(opt + 24);
    countAt = 108;
    directoriesAt = 112;
  } else {
    return Fail("unknown optional header magic");
  }
  const uint64_t directoryCount = Le32(opt + countAt);
  if (directoryCount > 16 || directoriesAt + directoryCount * 8 > optionalSize)
    return Fail("data directories do not fit the optional header");
  auto directory = [&](uint32_t index, uint32_t* rva, uint32_t* bytes) {
    *rva = *bytes = 0;
    if (index >= directoryCount) return;
    *rva = Le32(opt + directoriesAt + index * 8);
    *bytes = Le32(opt + directoriesAt + index * 8 + 4);
  };

  if (sectionCount == 0 || sectionCount > kMaxSections) return Fail("implausible section count");
  const uint64_t table = optional + optionalSize;
  if (table + uint64_t{sectionCount} * 40 > size) return Fail("section table cut off");
  for (uint32_t i = 0; i < sectionCount; ++i) {
    const uint8_t* s = &bytes_[table + i * 40];
    PeSection section;
    section.name.assign(reinterpret_cast<const char*>(s),
                        strnlen(reinterpret_cast<const char*>(s), 8));
    section.virtualSize = Le32(s + 8);
    section.virtualAddress = Le32(s + 12);
    section.rawSize = Le32(s + 16);
    section.rawOffset = Le32(s + 20);
    section.characteristics = Le32(s + 36);
    if (uint64_t{section.rawOffset} + section.rawSize > size)
      return Fail("section " + section.name + " lies outside the file");
    sections_.push_back(section);
  }

  uint32_t rva = 0;
  uint32_t bytes = 0;
  directory(0, &rva, &bytes);
  if (rva != 0 && !ReadExports(rva)) return false;
  directory(1, &rva, &bytes);
  if (rva != 0 && !ReadImports(rva)) return false;
  directory(2, &resourceRva_, &resourceSize_);
  if (resourceRva_ != 0 && AtRva(resourceRva_, std::max<uint32_t>(resourceSize_, 16)) == nullptr)
    return Fail("resource directory outside the sections");
  return true;
}

const PeSection* PeImage::SectionOf(uint32_t rva) const {
  for (const PeSection& s : sections_) {
    const uint64_t extent = std::max(s.virtualSize, s.rawSize);
    if (rva >= s.virtualAddress && rva < uint64_t{s.virtualAddress} + extent) return &s;
  }
  return nullptr;
}

const uint8_t* PeImage::AtRva(uint32_t rva, uint32_t size) const {
  const PeSection* s = SectionOf(rva);
  if (s == nullptr) return nullptr;
  const uint64_t within = rva - s->virtualAddress;
  if (within + size > s->rawSize) return nullptr;
  const uint64_t offset = s->rawOffset + within;
  if (offset + size > bytes_.size()) return nullptr;
  return bytes_.data() + offset;
}

bool PeImage::StringAt(uint32_t rva, std::string* out) const {
  out->clear();
  for (uint32_t i = 0; i < kMaxString; ++i) {
    if (rva > UINT32_MAX - i) return false;
    const uint8_t* c = AtRva(rva + i, 1);
    if (c == nullptr) return false;
    if (*c == 0) return true;
    out->push_back(static_cast<char>(*c));
  }
  return false;
}

bool PeImage::ReadExports(uint32_t rva) {
  const uint8_t* dir = AtRva(rva, 40);
  if (dir == nullptr) return Fail("export directory outside the sections");
  const uint32_t names = Le32(dir + 24);
  const uint32_t nameTable = Le32(dir + 32);
  if (names > kMaxNames) return Fail("implausible export name count");
  for (uint32_t i = 0; i < names; ++i) {
    const uint8_t* entry = nameTable > UINT32_MAX - i * 4 ? nullptr : AtRva(nameTable + i * 4, 4);
    std::string name;
    if (entry == nullptr || !StringAt(Le32(entry), &name))
      return Fail("export name outside the file");
    exportNames_.push_back(name);
  }
  return true;
}

bool PeImage::ReadImports(uint32_t rva) {
  for (uint32_t i = 0; i < kMaxNames; ++i) {
    const uint8_t* d = rva > UINT32_MAX - i * 20 ? nullptr : AtRva(rva + i * 20, 20);
    if (d == nullptr) return Fail("import descriptor outside the sections");
    static const uint8_t kZero[20] = {};
    if (std::memcmp(d, kZero, 20) == 0) return true;
    std::string name;
    if (!StringAt(Le32(d + 12), &name)) return Fail("import name outside the file");
    importNames_.push_back(name);
  }
  return Fail("import table has no end");
}

// Finds the entry with a numeric id in the resource directory at `directory` (an offset from
// the resource section's start).
bool PeImage::ResourceEntry(uint32_t directory, uint32_t id, uint32_t* entry,
                            bool* isDirectory) const {
  if (directory > UINT32_MAX - resourceRva_) return false;
  const uint8_t* header = AtRva(resourceRva_ + directory, 16);
  if (header == nullptr) return false;
  const uint32_t count = Le16(header + 12) + Le16(header + 14);
  for (uint32_t i = 0; i < count; ++i) {
    const uint64_t at = uint64_t{resourceRva_} + directory + 16 + uint64_t{i} * 8;
    const uint8_t* e = at + 8 > UINT32_MAX ? nullptr : AtRva(static_cast<uint32_t>(at), 8);
    if (e == nullptr) return false;
    if (Le32(e) == id) {
      *entry = Le32(e + 4) & 0x7FFFFFFF;
      *isDirectory = (Le32(e + 4) & 0x80000000u) != 0;
      return true;
    }
  }
  return false;
}

bool PeImage::Resource(uint32_t type, uint32_t name, uint32_t language,
                       std::vector<uint8_t>* data) const {
  if (!ok() || resourceRva_ == 0) return false;
  uint32_t offset = 0;
  bool isDirectory = false;
  if (!ResourceEntry(0, type, &offset, &isDirectory) || !isDirectory) return false;
  if (!ResourceEntry(offset, name, &offset, &isDirectory) || !isDirectory) return false;
  if (!ResourceEntry(offset, language, &offset, &isDirectory) || isDirectory) return false;
  if (offset > UINT32_MAX - resourceRva_) return false;
  const uint8_t* entry = AtRva(resourceRva_ + offset, 16);
  if (entry == nullptr) return false;
  const uint8_t* bytes = AtRva(Le32(entry), Le32(entry + 4));
  if (bytes == nullptr) return false;
  data->assign(bytes, bytes + Le32(entry + 4));
  return true;
}

std::vector<uint32_t> PeImage::FindInSections(const std::vector<uint8_t>& needle) const {
  std::vector<uint32_t> found;
  if (needle.empty()) return found;
  for (const PeSection& s : sections_) {
    const uint8_t* begin = bytes_.data() + s.rawOffset;
    const uint8_t* end = begin + s.rawSize;
    for (const uint8_t* p = begin; (p = std::search(p, end, needle.begin(), needle.end())) != end;
         ++p)
      found.push_back(s.virtualAddress + static_cast<uint32_t>(p - begin));
  }
  return found;
}

}  // namespace pngtrans::test

namespace pngtrans::test {
namespace {

// One node of the version tree: wLength, wValueLength, wType, a NUL-terminated UTF-16 key,
// the value and the children, each 32-bit aligned from the start of the resource.
struct VersionNode {
  size_t end = 0;
  std::string key;
  size_t value = 0;
  size_t valueBytes = 0;
  size_t children = 0;
};

bool ReadNode(const std::vector<uint8_t>& d, size_t at, size_t limit, VersionNode* node) {
  auto align = [](size_t v) { return (v + 3) & ~static_cast<size_t>(3); };
  if (at + 6 > limit) return false;
  const size_t length = Le16(&d[at]);
  const size_t valueLength = Le16(&d[at + 2]);
  const bool text = Le16(&d[at + 4]) == 1;
  if (length < 6 || at + length > limit) return false;
  node->end = at + length;
  node->key.clear();
  size_t p = at + 6;
  for (;; p += 2) {
    if (p + 2 > node->end || node->key.size() > kMaxString) return false;
    const uint16_t c = Le16(&d[p]);
    if (c == 0) break;
    node->key += c < 0x80 ? static_cast<char>(c) : '?';
  }
  node->value = align(p + 2);
  node->valueBytes = text ? valueLength * 2 : valueLength;
  if (node->value + node->valueBytes > node->end) return false;
  node->children = align(node->value + node->valueBytes);
  return true;
}

}  // namespace

bool ParseVersionResource(const std::vector<uint8_t>& d, PeVersion* out) {
  VersionNode root;
  if (!ReadNode(d, 0, d.size(), &root) || root.key != "VS_VERSION_INFO" || root.valueBytes < 52 ||
      Le32(&d[root.value]) != 0xFEEF04BDu) {
    return false;
  }
  const uint8_t* fixed = &d[root.value];
  const uint32_t parts[4] = {Le32(fixed + 8), Le32(fixed + 12), Le32(fixed + 16), Le32(fixed + 20)};
  for (int i = 0; i < 2; ++i) {
    out->file[2 * i] = static_cast<uint16_t>(parts[i] >> 16);
    out->file[2 * i + 1] = static_cast<uint16_t>(parts[i]);
    out->product[2 * i] = static_cast<uint16_t>(parts[2 + i] >> 16);
    out->product[2 * i + 1] = static_cast<uint16_t>(parts[2 + i]);
  }
  // Two levels below StringFileInfo (tables, then strings), one below VarFileInfo.
  for (size_t at = root.children; at < root.end;) {
    VersionNode info;
    if (!ReadNode(d, at, root.end, &info)) return false;
    for (size_t t = info.children; t < info.end;) {
      VersionNode table;
      if (!ReadNode(d, t, info.end, &table)) return false;
      if (info.key == "VarFileInfo" && table.key == "Translation") {
        for (size_t v = 0; v + 2 <= table.valueBytes; v += 2)
          out->translations.push_back(Le16(&d[table.value + v]));
      }
      for (size_t e = table.children; info.key == "StringFileInfo" && e < table.end;) {
        VersionNode entry;
        if (!ReadNode(d, e, table.end, &entry)) return false;
        std::string text;
        for (size_t v = 0; v + 2 <= entry.valueBytes && Le16(&d[entry.value + v]) != 0; v += 2) {
          const uint16_t c = Le16(&d[entry.value + v]);
          text += c < 0x80 ? static_cast<char>(c) : '?';
        }
        out->strings[table.key + "/" + entry.key] = text;
        e = (entry.end + 3) & ~static_cast<size_t>(3);
      }
      t = (table.end + 3) & ~static_cast<size_t>(3);
    }
    at = (info.end + 3) & ~static_cast<size_t>(3);
  }
  return true;
}

}  // namespace pngtrans::test
