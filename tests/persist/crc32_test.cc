// crc32_update equals zlib's crc32 at every length and alignment, and chains.
#include "persist/crc32.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <random>
#include <vector>

namespace velta::persist {
namespace {

TEST(Crc32, MatchesZlibAndChains) {
  EXPECT_EQ(crc32_update(0, "123456789", 9), 0xCBF43926u);
  EXPECT_EQ(crc32_update(0x1234u, nullptr, 0), 0x1234u);

  std::vector<std::uint8_t> data(4096 + 17);
  std::minstd_rand rng(7);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  // Every length up to 40 at every start up to 8 covers the 8-byte body
  // and the byte tail in all alignments; then some long runs.
  for (std::size_t start = 0; start < 8; ++start) {
    for (std::size_t len = 0; len <= 40; ++len) {
      ASSERT_EQ(crc32_update(0, data.data() + start, len),
                crc32(0, data.data() + start, static_cast<uInt>(len)))
          << start << "+" << len;
    }
  }
  // Runs of 64 bytes and more take the folding path where the processor
  // has one: every length across its 64-byte, 16-byte and tail steps, at
  // every start within a 16-byte lane.
  for (std::size_t start = 0; start < 16; ++start) {
    for (std::size_t len = 41; len <= 300; ++len) {
      ASSERT_EQ(crc32_update(0x5A5A5A5Au, data.data() + start, len),
                crc32(0x5A5A5A5Au, data.data() + start, static_cast<uInt>(len)))
          << start << "+" << len;
    }
  }
  for (std::size_t len : {1000u, 4096u, 4113u}) {
    EXPECT_EQ(crc32_update(0, data.data(), len), crc32(0, data.data(), static_cast<uInt>(len)));
  }
  for (std::size_t cut : {0u, 1u, 7u, 8u, 9u, 2000u, 4113u}) {
    std::uint32_t a = crc32_update(0, data.data(), cut);
    EXPECT_EQ(crc32_update(a, data.data() + cut, data.size() - cut),
              crc32_update(0, data.data(), data.size()));
  }
}

}  // namespace
}  // namespace velta::persist
