// The median-cut colour quantizer: reduces a full-colour image to at most 256 palette colours
// on export. Every pixel goes into a histogram of up to 4096 exact colours (folded to 4 bits
// per component once a 4097th distinct colour arrives), the colour space is cut into at most
// 256 boxes, and each box gives one palette entry, its count-weighted mean.
//
// There is one quantizer in the module at a time, reached through a module-wide pointer: the
// export creates it, feeds it, builds the palette, looks colours up while converting rows and
// destroys it at the end of every export.
#pragma once

#include <cstdint>

namespace pngtrans {

inline constexpr int kQuantizerBuckets = 4096;
inline constexpr int kQuantizerEntries = 4096;
inline constexpr int kQuantizerBoxes = 256;

// One histogram colour. c0, c1, c2 are red, green, blue (a host pixel's bytes 2, 1, 0).
struct QuantizerEntry {
  uint8_t c[3];
  uint8_t paletteIndex;  // the box it ended in, set by BuildPalette
  uint32_t count;        // pixels of this colour
  QuantizerEntry* next;  // next entry of the same bucket
};

// An inclusive range of entries and what the cutting needs to know about it.
struct QuantizerBox {
  int32_t first;
  int32_t last;
  uint32_t total;  // sum of the entries' counts
  uint8_t min[3];
  uint8_t max[3];
  uint8_t axis;  // component the box is cut along: the one with the largest range
  uint8_t mean[3];
};

struct MedianCutQuantizer {
  QuantizerEntry* buckets[kQuantizerBuckets];
  QuantizerEntry entries[kQuantizerEntries];
  int32_t usedEntries;
  int32_t colorCount;  // always equal to usedEntries
  int32_t reduced;     // 1 once the histogram was folded to 4 bits per component
  QuantizerBox boxes[kQuantizerBoxes];
  int32_t boxCount;

  // Look-up shortcuts for runs of equal pixels. They never change what is counted or found,
  // only how fast: consecutive pixels of one colour are the common case in real images.
  QuantizerEntry* lastAdded;
  bool lastLookupValid;
  uint8_t lastLookup[3];
  uint8_t lastLookupIndex;
};

// 12-bit bucket number from the top four bits of each component.
inline uint32_t ColorHash(uint8_t c0, uint8_t c1, uint8_t c2) {
  return static_cast<uint32_t>(c0 >> 4) * 256 + static_cast<uint32_t>(c1 >> 4) * 16 +
         static_cast<uint32_t>(c2 >> 4);
}

// One component folded to one of the 16 levels 0, 17, ..., 255. A reduced colour keeps its
// ColorHash, and different reduced colours have different hashes.
inline uint8_t ReduceColor(uint8_t c) {
  return static_cast<uint8_t>((c >> 4) * 17);
}

// 1 on success; 0 when a quantizer exists already or memory is short.
int CreateQuantizer();

// Counts one pixel given as three bytes blue, green, red. Does nothing without a quantizer.
void AddPixel(const uint8_t* bgr);

// Builds at most 256 entries of four bytes (blue, green, red, 0) into the 1024-byte buffer
// and gives every histogram colour its index. An empty histogram leaves the buffer untouched.
void BuildPalette(uint8_t* palette);

// The palette index of a pixel (blue, green, red) after BuildPalette; 0 for a colour that was
// never added, or when there is no quantizer.
uint8_t PaletteIndexOf(const uint8_t* bgr);

// Frees the quantizer, if any, and clears the calling thread's pointer.
void DestroyQuantizer();

// The live quantizer (null when none exists), for inspection.
const MedianCutQuantizer* ActiveQuantizer();

}  // namespace pngtrans
