#include "support/hostile_png.h"

#include <zlib.h>

#include "support/import_host.h"
#include "support/png_build.h"

namespace pngtrans::test {

namespace {

Bytes Text(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// bKGD holds one value per colour channel: grey or red, green, blue.
uint32_t ColourChannels(uint8_t type) {
  return type == 2 || type == 6 ? 3 : 1;
}

Bytes HeadChunksBeforePalette(const PngFormat& f) {
  Bytes out;
  Append(&out, MakeChunk("gAMA", Be32(45455)));
  Bytes chrm;
  for (uint32_t v : {31270u, 32900u, 64000u, 33000u, 30000u, 60000u, 15000u, 6000u}) {
    Append(&chrm, Be32(v));
  }
  Append(&out, MakeChunk("cHRM", chrm));
  const uint32_t bits = f.type == 3 ? 8 : f.depth;
  Append(&out,
         MakeChunk("sBIT", Bytes(static_cast<size_t>(ChannelsOf(f.type) + (f.type == 3 ? 2 : 0)),
                                 static_cast<uint8_t>(bits))));
  return out;
}

std::vector<Bytes> HeadChunksAfterPalette(const PngFormat& f, uint32_t entries) {
  std::vector<Bytes> chunks;
  if (f.type == 3) {
    chunks.push_back(MakeChunk("bKGD", Bytes{1}));
    Bytes hist;
    for (uint32_t i = 0; i < entries; ++i) Append(&hist, Be16(static_cast<uint16_t>(i * 3)));
    chunks.push_back(MakeChunk("hIST", hist));
  } else {
    Bytes background;
    for (uint32_t c = 0; c < ColourChannels(f.type); ++c) Append(&background, Be16(1));
    chunks.push_back(MakeChunk("bKGD", background));
  }
  Bytes phys = Be32(2835);
  Append(&phys, Be32(2834));
  phys.push_back(1);
  chunks.push_back(MakeChunk("pHYs", phys));
  Bytes offs = Be32(7);
  Append(&offs, Be32(0xFFFFFFF0u));
  offs.push_back(0);
  chunks.push_back(MakeChunk("oFFs", offs));
  Bytes pcal = Text("Height");
  pcal.push_back(0);
  Append(&pcal, Be32(0));
  Append(&pcal, Be32(1000));
  pcal.push_back(0);  // linear
  pcal.push_back(2);  // two parameters
  Append(&pcal, Text("m"));
  pcal.push_back(0);
  Append(&pcal, Text("0.5"));
  pcal.push_back(0);
  Append(&pcal, Text("2e1"));
  chunks.push_back(MakeChunk("pCAL", pcal));
  chunks.push_back(MakeChunk("tIME", Bytes{0x07, 0xEA, 12, 8, 22, 55, 38}));
  chunks.push_back(TextChunk("Author", "pngtrans tests"));
  Bytes ztxt = Text("Comment");
  ztxt.push_back(0);
  ztxt.push_back(0);
  Append(&ztxt, ZlibCompress(Text(std::string(300, 'z') + " compressed text")));
  chunks.push_back(MakeChunk("zTXt", ztxt));
  chunks.push_back(MakeChunk("prVt", Bytes{1, 2, 3}));  // an unknown private chunk
  return chunks;
}

// The byte offset and data length of every chunk after the signature (as far as they fit).
struct Span {
  size_t start;
  uint32_t length;
};

std::vector<Span> ChunkSpans(const Bytes& file) {
  std::vector<Span> spans;
  size_t at = 8;
  while (at + 12 <= file.size()) {
    const uint32_t length = static_cast<uint32_t>(file[at]) << 24 | file[at + 1] << 16 |
                            file[at + 2] << 8 | file[at + 3];
    if (length > file.size() - at - 12) break;
    spans.push_back(Span{at, length});
    at += 12 + static_cast<size_t>(length);
  }
  return spans;
}

uint32_t Next(uint32_t* state) {
  *state = *state * 1103515245u + 12345u;
  return *state >> 7;
}

void PutBe32(Bytes* file, size_t at, uint32_t value) {
  for (int i = 0; i < 4; ++i) (*file)[at + i] = static_cast<uint8_t>(value >> (24 - 8 * i));
}

// The CRC of the chunk at span, written over its stored CRC.
void RepairCrc(Bytes* file, const Span& span) {
  uLong crc = crc32(0, file->data() + span.start + 4, 4 + span.length);
  PutBe32(file, span.start + 8 + span.length, static_cast<uint32_t>(crc));
}

Bytes FlipBits(const Bytes& file, uint32_t seed) {
  Bytes out = file;
  uint32_t state = seed;
  const uint32_t flips = 1 + Next(&state) % 4;
  for (uint32_t i = 0; i < flips && out.size() > 8; ++i) {
    const size_t at = 8 + Next(&state) % (out.size() - 8);
    out[at] ^= static_cast<uint8_t>(1u << (Next(&state) % 8));
  }
  return out;
}

// The chunk-level mutations below see a file with at least one whole chunk, its chunk spans
// and the seed's random sequence; OnChunks leaves every other file as it is.
using ChunkEdit = Bytes (*)(const Bytes& file, const std::vector<Span>& spans, uint32_t* state);

template <ChunkEdit Edit>
Bytes OnChunks(const Bytes& file, uint32_t seed) {
  uint32_t state = seed;
  const std::vector<Span> spans = ChunkSpans(file);
  return spans.empty() ? file : Edit(file, spans, &state);
}

const Span& PickChunk(const std::vector<Span>& spans, uint32_t* state) {
  return spans[Next(state) % spans.size()];
}

// A data byte of one chunk set to a random or boundary value, the CRC made right again: the
// change reaches the chunk's handler (or the inflater, for IDAT and zTXt).
Bytes EditDataRepairCrc(const Bytes& file, const std::vector<Span>& spans, uint32_t* state) {
  const Span& s = PickChunk(spans, state);
  if (s.length == 0) return file;
  static const uint8_t kValues[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 15, 16, 0x7F, 0x80, 0xFE, 0xFF};
  const uint32_t pick = Next(state);
  Bytes out = file;
  out[s.start + 8 + Next(state) % s.length] =
      pick % 2 == 0 ? kValues[pick / 2 % sizeof kValues] : static_cast<uint8_t>(pick >> 3);
  RepairCrc(&out, s);
  return out;
}

// The declared length of one chunk changed: a little, to a boundary or to something huge;
// half of the time a correct CRC is written where the new length puts it.
Bytes EditLength(const Bytes& file, const std::vector<Span>& spans, uint32_t* state) {
  const Span& s = PickChunk(spans, state);
  static const uint32_t kLengths[] = {0,          1,          0x7FFFFFFF, 0x80000000,
                                      0xFFFFFFFF, 0xFFFFFFF4, 0x10000,    8192};
  const uint32_t pick = Next(state);
  uint32_t length = kLengths[pick % (sizeof kLengths / sizeof kLengths[0])];
  if (pick % 3 != 0) length = s.length + (Next(state) % 17) - 8;
  Bytes out = file;
  PutBe32(&out, s.start, length);
  if (Next(state) % 2 == 0 && length <= out.size() - s.start - 12) {
    RepairCrc(&out, Span{s.start, length});
  }
  return out;
}

Bytes BreakCrc(const Bytes& file, const std::vector<Span>& spans, uint32_t* state) {
  const Span& s = PickChunk(spans, state);
  Bytes out = file;
  out[s.start + 8 + s.length + Next(state) % 4] ^= static_cast<uint8_t>(1 + Next(state) % 255);
  return out;
}

// The file with its chunks in the given order (indices into spans); what follows the last
// whole chunk stays at the end.
Bytes Rebuild(const Bytes& file, const std::vector<Span>& spans, const std::vector<size_t>& order) {
  Bytes out(file.begin(), file.begin() + 8);
  for (size_t i : order) {
    const Span& s = spans[i];
    out.insert(out.end(), file.begin() + s.start, file.begin() + s.start + 12 + s.length);
  }
  const size_t end = spans.back().start + 12 + spans.back().length;
  out.insert(out.end(), file.begin() + end, file.end());
  return out;
}

std::vector<size_t> EveryChunk(const std::vector<Span>& spans) {
  std::vector<size_t> order(spans.size());
  for (size_t i = 0; i < order.size(); ++i) order[i] = i;
  return order;
}

Bytes SwapChunks(const Bytes& file, const std::vector<Span>& spans, uint32_t* state) {
  if (spans.size() < 2) return file;
  std::vector<size_t> order = EveryChunk(spans);
  std::swap(order[Next(state) % order.size()], order[Next(state) % order.size()]);
  return Rebuild(file, spans, order);
}

Bytes DuplicateChunk(const Bytes& file, const std::vector<Span>& spans, uint32_t* state) {
  std::vector<size_t> order = EveryChunk(spans);
  const size_t copy = Next(state) % spans.size();
  order.insert(order.begin() + static_cast<std::ptrdiff_t>(Next(state) % (order.size() + 1)), copy);
  return Rebuild(file, spans, order);
}

Bytes DropChunk(const Bytes& file, const std::vector<Span>& spans, uint32_t* state) {
  std::vector<size_t> order = EveryChunk(spans);
  order.erase(order.begin() + static_cast<std::ptrdiff_t>(Next(state) % spans.size()));
  return Rebuild(file, spans, order);
}

// A header field set to a hostile value with a correct CRC: sizes 0 or near 2^31, depths and
// colour types outside the table, unknown methods.
Bytes HostileHeader(const Bytes& file, const std::vector<Span>& spans, uint32_t* state) {
  if (spans[0].length != 13) return file;
  Bytes out = file;
  const size_t data = spans[0].start + 8;
  static const uint32_t kSizes[] = {0, 1, 0x7FFFFFFF, 0x80000000, 0xFFFFFFFF, 65535, 65536, 524273};
  static const uint8_t kBytes[] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 16, 32, 255};
  const uint32_t field = Next(state) % 7;
  if (field < 2) {
    PutBe32(&out, data + 4 * field, kSizes[Next(state) % (sizeof kSizes / sizeof kSizes[0])]);
  } else {
    out[data + 6 + field] = kBytes[Next(state) % sizeof kBytes];
  }
  RepairCrc(&out, spans[0]);
  return out;
}

}  // namespace

std::vector<SeedFile> SeedPngFiles() {
  std::vector<SeedFile> files;
  uint32_t seed = 1;
  for (const PngFormat& f : kPngFormats) {
    for (bool interlace : {false, true}) {
      const uint32_t entries = f.type == 3 ? (1u << f.depth) : 0;
      const RawImage raw = RandomImage(6, 5, f.depth, f.type, ++seed, entries == 0 ? 256 : entries);
      EncodeOptions o;
      o.interlace = interlace;
      o.idatSizes = {23, 5};
      o.zeroLengthIdats = seed % 2 == 0;
      if (f.type == 3) o.palette = TestPalette(entries);
      if (f.type == 3) o.trns = Bytes{0, 77};
      if (f.type == 0) o.trns = Be16(1);
      if (f.type == 2) o.trns = Bytes{0, 1, 0, 2, 0, 3};
      o.chunksBeforeIdat = HeadChunksAfterPalette(f, entries);
      o.chunksAfterIdat = {TextChunk("Title", "hostile " + std::to_string(seed)),
                           MakeChunk("tIME", Bytes{0x07, 0xEA, 12, 9, 1, 2, 3})};
      Bytes file = EncodePng(raw, o);
      // gAMA, cHRM and sBIT belong before the palette: right after the header.
      const Bytes early = HeadChunksBeforePalette(f);
      file.insert(file.begin() + 33, early.begin(), early.end());
      files.push_back(SeedFile{"type " + std::to_string(f.type) + " depth " +
                                   std::to_string(f.depth) + (interlace ? " adam7" : " plain"),
                               file});
    }
  }
  return files;
}

const std::vector<MutationKind>& MutationKinds() {
  static const std::vector<MutationKind> kinds = {
      {"bit flips", FlipBits},
      {"chunk data edited, CRC repaired", OnChunks<EditDataRepairCrc>},
      {"chunk length edited", OnChunks<EditLength>},
      {"chunk CRC broken", OnChunks<BreakCrc>},
      {"two chunks swapped", OnChunks<SwapChunks>},
      {"chunk duplicated", OnChunks<DuplicateChunk>},
      {"chunk dropped", OnChunks<DropChunk>},
      {"header field hostile, CRC repaired", OnChunks<HostileHeader>},
  };
  return kinds;
}

bool IsKnownStatus(uint16_t status) {
  return status == 0 || status == 1 || status == 2 || status == 4 || status == 6;
}

std::string ImportOutcomeFaults(int ret, uint16_t result, int releaseCalls) {
  std::string faults;
  if (ret != 0 && ret != 1) faults += "return value " + std::to_string(ret) + "; ";
  if ((ret == 1) != (result == 0)) {
    faults += "return " + std::to_string(ret) + " with result " + std::to_string(result) + "; ";
  }
  if (!IsKnownStatus(result)) faults += "unknown status " + std::to_string(result) + "; ";
  if (releaseCalls > 1) faults += std::to_string(releaseCalls) + " release calls; ";
  if (releaseCalls != 0 && (ret == 1 || result != 1)) {
    faults += "release called with result " + std::to_string(result) + "; ";
  }
  return faults;
}

std::string ProbeOutcomeFaults(int ret, uint16_t result) {
  std::string faults;
  if (ret != 0 && ret != 1) faults += "return value " + std::to_string(ret) + "; ";
  if ((ret == 1) != (result == 0)) {
    faults += "return " + std::to_string(ret) + " with result " + std::to_string(result) + "; ";
  }
  if (!IsKnownStatus(result)) faults += "unknown status " + std::to_string(result) + "; ";
  return faults;
}

}  // namespace pngtrans::test
