// bytebuf: growth steps, sticky failure, fixed arrays, little-endian
// appenders and the name encoding at its length limits.
#include "persist/bytebuf.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velta::persist {
namespace {

std::vector<std::uint8_t> bytes_of(const bytebuf& b) { return {b.data, b.data + b.len}; }

TEST(Bytebuf, GrowsFrom4096ByDoubling) {
  bytebuf b{};
  EXPECT_EQ(make_room(&b, 0), 0);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.cap, 0u);
  put_bytes(&b, "x", 1);
  EXPECT_EQ(b.cap, 4096u);
  free_buffer(&b);

  EXPECT_EQ(make_room(&b, 10000), 0);
  EXPECT_EQ(b.cap, 16384u);
  b.len = 16384;
  EXPECT_EQ(make_room(&b, 1), 0);
  EXPECT_EQ(b.cap, 32768u);
  free_buffer(&b);
  EXPECT_EQ(b.data, nullptr);
  EXPECT_EQ(b.len, 0u);
}

TEST(Bytebuf, FailureIsSticky) {
  bytebuf b{};
  put_u32(&b, 7);
  EXPECT_EQ(make_room(&b, (std::uint64_t{1} << 63) + 1), -1);  // past 2^63
  EXPECT_EQ(b.failed, 1);
  EXPECT_EQ(make_room(&b, 1), -1);  // even though one byte would fit
  put_u32(&b, 8);
  put_u64(&b, 9);
  put_name(&b, "abc");
  put_bytes(&b, "zz", 2);
  EXPECT_EQ(b.len, 4u);
  EXPECT_EQ(bytes_of(b), (std::vector<std::uint8_t>{7, 0, 0, 0}));
  free_buffer(&b);

  bytebuf w{};
  w.len = UINT64_MAX - 2;  // len + n wraps
  EXPECT_EQ(make_room(&w, 8), -1);
  EXPECT_EQ(w.failed, 1);
}

TEST(Bytebuf, FixedArrayIsNeverReallocated) {
  std::uint8_t arr[6];
  bytebuf b = fixed_buf(arr, sizeof arr);
  put_u32(&b, 0x04030201u);
  EXPECT_EQ(b.data, arr);
  put_u32(&b, 5);  // does not fit: fails instead of growing a stack array
  EXPECT_EQ(b.failed, 1);
  EXPECT_EQ(b.len, 4u);
  EXPECT_EQ(arr[0], 1);
  EXPECT_EQ(arr[3], 4);
  free_buffer(&b);  // leaves the array alone
}

TEST(Bytebuf, LittleEndianFieldsAndNames) {
  bytebuf b{};
  put_u32(&b, 0xA1B2C3D4u);
  put_u64(&b, 0x0000000200000001ull);
  EXPECT_EQ(bytes_of(b),
            (std::vector<std::uint8_t>{0xD4, 0xC3, 0xB2, 0xA1, 1, 0, 0, 0, 2, 0, 0, 0}));
  free_buffer(&b);

  for (std::size_t len : {0u, 1u, 63u, 64u, 100u}) {
    SCOPED_TRACE(len);
    std::string name(len, 'n');
    bytebuf w{};
    put_name(&w, name.c_str());
    std::size_t kept = std::min<std::size_t>(len, 63);
    ASSERT_EQ(w.len, 1 + kept);
    EXPECT_EQ(w.data[0], kept);
    EXPECT_EQ(std::string(w.data + 1, w.data + w.len), name.substr(0, kept));
    free_buffer(&w);
  }
}

}  // namespace
}  // namespace velta::persist
