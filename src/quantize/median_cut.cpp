#include "quantize/median_cut.h"

#include <cstdlib>
#include <cstring>

#include "platform/thread_slot.h"

namespace pngtrans {

namespace {

// The quantizer of the export running on this thread; null when none exists.
MedianCutQuantizer* Current() {
  return static_cast<MedianCutQuantizer*>(threadslot::Get());
}

// The shell sort every ordering of the quantizer uses: gaps n/2, n/4, ..., 1, and for each
// element a chain of swaps back while a pair is strictly out of order. It is not stable, and
// the order it leaves equal keys in is part of the result: it decides which of two equally
// large boxes is cut first and so the order of the palette. Keep this exact procedure.
template <typename T, typename OutOfOrder>
void ShellSort(T* items, int32_t n, OutOfOrder outOfOrder) {
  for (int32_t gap = n / 2; gap > 0; gap /= 2) {
    for (int32_t i = gap; i < n; ++i) {
      for (int32_t j = i - gap; j >= 0 && outOfOrder(items[j], items[j + gap]); j -= gap) {
        const T swap = items[j];
        items[j] = items[j + gap];
        items[j + gap] = swap;
      }
    }
  }
}

void ReduceEntry(QuantizerEntry* entry) {
  for (uint8_t& c : entry->c) c = ReduceColor(c);
}

uint32_t EntryHash(const QuantizerEntry& entry) {
  return ColorHash(entry.c[0], entry.c[1], entry.c[2]);
}

bool SameColor(const QuantizerEntry& entry, const uint8_t* c) {
  return entry.c[0] == c[0] && entry.c[1] == c[1] && entry.c[2] == c[2];
}

// Takes entry number usedEntries for a new colour with count 1.
QuantizerEntry* NewEntry(MedianCutQuantizer* q, const uint8_t* c) {
  QuantizerEntry* entry = &q->entries[q->usedEntries];
  entry->c[0] = c[0];
  entry->c[1] = c[1];
  entry->c[2] = c[2];
  entry->paletteIndex = 0;
  entry->count = 1;
  entry->next = nullptr;
  ++q->usedEntries;
  ++q->colorCount;
  return entry;
}

// Called when a 4097th distinct colour arrives. All colours of one bucket share their top four
// bits, so each chain folds into one reduced colour: its head takes the whole chain's count.
void FoldHistogram(MedianCutQuantizer* q) {
  for (QuantizerEntry* head : q->buckets) {
    if (head == nullptr) continue;
    for (QuantizerEntry* later = head->next; later != nullptr; later = later->next) {
      head->count += later->count;
      later->count = 0;
    }
    ReduceEntry(head);
  }
  // Surviving (non-zero) entries first.
  ShellSort(q->entries, kQuantizerEntries,
            [](const QuantizerEntry& a, const QuantizerEntry& b) { return a.count < b.count; });
  std::memset(q->buckets, 0, sizeof q->buckets);
  q->usedEntries = 0;
  q->colorCount = 0;
  for (QuantizerEntry& entry : q->entries) {
    entry.next = nullptr;
    if (entry.count == 0) continue;
    q->buckets[EntryHash(entry)] = &entry;
    ++q->usedEntries;
    ++q->colorCount;
  }
  q->reduced = 1;
  q->lastAdded = nullptr;
  q->lastLookupValid = false;
}

void AddReduced(MedianCutQuantizer* q, const uint8_t* raw) {
  const uint8_t c[3] = {ReduceColor(raw[0]), ReduceColor(raw[1]), ReduceColor(raw[2])};
  QuantizerEntry*& bucket = q->buckets[ColorHash(c[0], c[1], c[2])];
  if (bucket != nullptr) {
    ++bucket->count;
  } else {
    // At most 4096 reduced colours exist, one per bucket: the table cannot overflow here.
    bucket = NewEntry(q, c);
  }
  q->lastAdded = bucket;
}

// Box set-up for entries first..last: total, per-component extent and the cutting axis.
void SetUpBox(MedianCutQuantizer* q, int32_t index, int32_t first, int32_t last) {
  QuantizerBox& box = q->boxes[index];
  box.first = first;
  box.last = last;
  box.total = 0;
  for (int k = 0; k < 3; ++k) {
    box.min[k] = 255;
    box.max[k] = 0;
  }
  for (int32_t i = first; i <= last; ++i) {
    const QuantizerEntry& entry = q->entries[i];
    box.total += entry.count;
    for (int k = 0; k < 3; ++k) {
      if (entry.c[k] < box.min[k]) box.min[k] = entry.c[k];
      if (entry.c[k] > box.max[k]) box.max[k] = entry.c[k];
    }
  }
  const uint8_t r0 = static_cast<uint8_t>(box.max[0] - box.min[0]);
  const uint8_t r1 = static_cast<uint8_t>(box.max[1] - box.min[1]);
  const uint8_t r2 = static_cast<uint8_t>(box.max[2] - box.min[2]);
  // The largest range wins; a tie of 0 and 1 goes to 0, any tie with 2 goes to 2.
  if (r0 < r1) {
    box.axis = r2 < r1 ? 1 : 2;
  } else {
    box.axis = r2 < r0 ? 0 : 2;
  }
}

// Splits box index into itself and a new box at boxCount; false when it cannot be cut.
bool CutBox(MedianCutQuantizer* q, int32_t index) {
  const QuantizerBox box = q->boxes[index];
  if (box.first == box.last) return false;
  const int axis = box.axis;
  ShellSort(
      q->entries + box.first, box.last - box.first + 1,
      [axis](const QuantizerEntry& a, const QuantizerEntry& b) { return a.c[axis] > b.c[axis]; });
  if (box.min[axis] == box.max[axis]) return false;
  // The cut goes just before the last change of axis value seen by the time the running sum
  // reaches half the total, so the run of equal values holding the median goes to the second
  // box. With min != max a change always exists, so the walk always finds a cut.
  const uint32_t half = box.total / 2;
  uint32_t sum = q->entries[box.first].count;
  int32_t cut = -1;
  for (int32_t i = box.first + 1; i <= box.last; ++i) {
    if (q->entries[i].c[axis] != q->entries[i - 1].c[axis]) cut = i;
    sum += q->entries[i].count;
    if (sum >= half && cut >= 0) break;
  }
  if (cut < 0) return false;
  SetUpBox(q, index, box.first, cut - 1);
  SetUpBox(q, q->boxCount, cut, box.last);
  return true;
}

}  // namespace

int CreateQuantizer() {
  if (Current() != nullptr) return 0;
  // One fixed block per export: nothing is allocated per pixel or per box.
  auto* created = static_cast<MedianCutQuantizer*>(std::calloc(1, sizeof(MedianCutQuantizer)));
  if (created == nullptr) return 0;
  if (!threadslot::Set(created)) {
    std::free(created);
    return 0;
  }
  return 1;
}

void DestroyQuantizer() {
  std::free(Current());
  (void)threadslot::Set(nullptr);
}

const MedianCutQuantizer* ActiveQuantizer() {
  return Current();
}

void AddPixel(const uint8_t* bgr) {
  MedianCutQuantizer* q = Current();
  if (q == nullptr) return;
  const uint8_t c[3] = {bgr[2], bgr[1], bgr[0]};
  if (q->reduced == 1) {
    AddReduced(q, c);
    return;
  }
  if (q->lastAdded != nullptr && SameColor(*q->lastAdded, c)) {
    ++q->lastAdded->count;
    return;
  }
  QuantizerEntry*& bucket = q->buckets[ColorHash(c[0], c[1], c[2])];
  for (QuantizerEntry* entry = bucket; entry != nullptr; entry = entry->next) {
    if (SameColor(*entry, c)) {
      ++entry->count;
      q->lastAdded = entry;
      return;
    }
  }
  if (q->usedEntries == kQuantizerEntries) {
    FoldHistogram(q);
    AddReduced(q, c);
    return;
  }
  QuantizerEntry* entry = NewEntry(q, c);
  entry->next = bucket;
  bucket = entry;
  q->lastAdded = entry;
}

void BuildPalette(uint8_t* palette) {
  MedianCutQuantizer* q = Current();
  if (q == nullptr || q->colorCount <= 0) return;
  q->lastAdded = nullptr;
  q->lastLookupValid = false;

  SetUpBox(q, 0, 0, q->colorCount - 1);
  q->boxCount = 1;
  while (q->boxCount < kQuantizerBoxes) {
    bool cut = false;
    for (int32_t b = 0; b < q->boxCount && !cut; ++b) cut = CutBox(q, b);
    if (!cut) break;
    ++q->boxCount;
    ShellSort(q->boxes, q->boxCount,
              [](const QuantizerBox& a, const QuantizerBox& b) { return a.total < b.total; });
  }

  std::memset(palette, 0, 4 * kQuantizerBoxes);
  for (int32_t j = 0; j < q->boxCount; ++j) {
    QuantizerBox& box = q->boxes[j];
    // 64-bit sums: a box of one colour in a large image exceeds 32 bits after weighting.
    uint64_t sums[3] = {0, 0, 0};
    for (int32_t i = box.first; i <= box.last; ++i) {
      QuantizerEntry& entry = q->entries[i];
      for (int k = 0; k < 3; ++k) sums[k] += static_cast<uint64_t>(entry.c[k]) * entry.count;
      entry.paletteIndex = static_cast<uint8_t>(j);
    }
    for (int k = 0; k < 3; ++k) {
      box.mean[k] = box.total == 0 ? 0 : static_cast<uint8_t>(sums[k] / box.total);
    }
    palette[4 * j + 0] = box.mean[2];
    palette[4 * j + 1] = box.mean[1];
    palette[4 * j + 2] = box.mean[0];
    palette[4 * j + 3] = 0;
  }

  // Cutting reordered the entries: the buckets point at the wrong places now. Only the
  // entries in use are linked; the ones past them are leftovers of a fold.
  std::memset(q->buckets, 0, sizeof q->buckets);
  for (int32_t i = 0; i < q->colorCount; ++i) {
    QuantizerEntry& entry = q->entries[i];
    QuantizerEntry*& bucket = q->buckets[EntryHash(entry)];
    entry.next = q->reduced == 1 ? nullptr : bucket;
    bucket = &entry;
  }
}

uint8_t PaletteIndexOf(const uint8_t* bgr) {
  MedianCutQuantizer* q = Current();
  if (q == nullptr) return 0;
  const uint8_t raw[3] = {bgr[2], bgr[1], bgr[0]};
  if (q->lastLookupValid && raw[0] == q->lastLookup[0] && raw[1] == q->lastLookup[1] &&
      raw[2] == q->lastLookup[2]) {
    return q->lastLookupIndex;
  }
  uint8_t index = 0;
  if (q->reduced == 1) {
    const QuantizerEntry* entry =
        q->buckets[ColorHash(ReduceColor(raw[0]), ReduceColor(raw[1]), ReduceColor(raw[2]))];
    if (entry != nullptr) index = entry->paletteIndex;
  } else {
    for (const QuantizerEntry* entry = q->buckets[ColorHash(raw[0], raw[1], raw[2])];
         entry != nullptr; entry = entry->next) {
      if (SameColor(*entry, raw)) {
        index = entry->paletteIndex;
        break;
      }
    }
  }
  q->lastLookupValid = true;
  std::memcpy(q->lastLookup, raw, 3);
  q->lastLookupIndex = index;
  return index;
}

}  // namespace pngtrans
