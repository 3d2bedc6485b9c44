// Our Adler-32 against zlib's: every length around the 16-byte groups and the 5552-byte
// blocks, unaligned starts, running values carried over, and bytes of 255 that push the sums
// to their largest.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include <zlib.h>

#include "format/adler32.h"

namespace pngtrans {
namespace {

TEST(Adler32, MatchesZlibForEveryShapeOfInput) {
  std::mt19937 rng(3);
  std::vector<uint8_t> random(3 * 5552 + 64), full(3 * 5552 + 64, 0xFF);
  for (auto& b : random) b = static_cast<uint8_t>(rng());
  for (const std::vector<uint8_t>* bytes : {&random, &full}) {
    for (size_t length : {0, 1, 15, 16, 17, 31, 32, 100, 5551, 5552, 5553, 5568, 11104, 16656}) {
      for (size_t offset : {0, 1, 7}) {
        for (uint32_t start : {1u, 0xFFF0FFF0u, 0x12345678u % 65521u}) {
          const uint8_t* data = bytes->data() + offset;
          const uint32_t want =
              static_cast<uint32_t>(adler32(start, data, static_cast<uInt>(length)));
          ASSERT_EQ(Adler32(start, data, length), want)
              << "length " << length << " offset " << offset << " start " << start;
        }
      }
    }
  }
}

// A value carried across pieces is the value of the whole.
TEST(Adler32, PiecesAddUpToTheWhole) {
  std::vector<uint8_t> bytes(20000);
  std::mt19937 rng(4);
  for (auto& b : bytes) b = static_cast<uint8_t>(rng());
  const uint32_t whole = Adler32(1, bytes.data(), bytes.size());
  for (size_t cut : {1, 16, 999, 5552, 12345}) {
    const uint32_t first = Adler32(1, bytes.data(), cut);
    EXPECT_EQ(Adler32(first, bytes.data() + cut, bytes.size() - cut), whole) << cut;
  }
}

}  // namespace
}  // namespace pngtrans
