// bytereader: exact-fit and short reads, stickiness, and names at their
// length limits.
#include "persist/bytereader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "persist/bytebuf.h"

namespace velta::persist {
namespace {

TEST(Bytereader, IntegersAndBounds) {
  const std::uint8_t in[] = {1, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB, 0xCC};
  bytereader r{in, 8, 0, 0};
  EXPECT_EQ(read_u64(&r), 0x0000000200000001ull);
  EXPECT_EQ(r.pos, 8u);
  EXPECT_EQ(r.failed, 0);

  bytereader exact{in, 4, 0, 0};
  EXPECT_EQ(read_u32(&exact), 1u);
  EXPECT_EQ(exact.pos, exact.size);
  EXPECT_EQ(exact.failed, 0);

  bytereader shy{in + 8, 3, 0, 0};  // 3 bytes left
  EXPECT_EQ(read_u32(&shy), 0u);
  EXPECT_EQ(shy.failed, 1);
  EXPECT_EQ(shy.pos, 0u);
  EXPECT_EQ(read_u8(&shy), 0u);  // sticky, even though a byte is there
  EXPECT_EQ(read_bytes(&shy, 0), nullptr);
  EXPECT_EQ(shy.pos, 0u);

  // A failed high half reads as 0; the low half is kept.
  bytereader half{in, 6, 0, 0};
  EXPECT_EQ(read_u64(&half), 1u);
  EXPECT_EQ(half.failed, 1);

  bytereader raw{in, sizeof in, 8, 0};
  const std::uint8_t* p = read_bytes(&raw, 3);
  ASSERT_EQ(p, in + 8);
  EXPECT_EQ(read_bytes(&raw, 1), nullptr);
  EXPECT_EQ(raw.pos, sizeof in);
  // A position beyond size (a caller's mistake) fails instead of wrapping.
  bytereader past{in, 4, 9, 0};
  EXPECT_EQ(read_u8(&past), 0u);
  EXPECT_EQ(past.failed, 1);
}

TEST(Bytereader, NamesRoundTripAndRejectBadLengths) {
  for (std::size_t len : {0u, 1u, 63u, 64u, 100u}) {
    SCOPED_TRACE(len);
    std::string name(len, 'q');
    bytebuf b{};
    put_name(&b, name.c_str());
    bytereader r{b.data, b.len, 0, 0};
    char got[velta::kNameBufBytes];
    ASSERT_TRUE(read_name(&r, got));
    EXPECT_EQ(std::string(got), name.substr(0, 63));
    EXPECT_EQ(r.pos, b.len);
    free_buffer(&b);
  }

  const std::uint8_t too_long[] = {64, 'a'};
  bytereader r1{too_long, sizeof too_long, 0, 0};
  char out1[velta::kNameBufBytes];
  EXPECT_FALSE(read_name(&r1, out1));
  EXPECT_EQ(r1.failed, 1);

  const std::uint8_t runs_past[] = {5, 'a', 'b'};
  bytereader r2{runs_past, sizeof runs_past, 0, 0};
  char out2[velta::kNameBufBytes];
  EXPECT_FALSE(read_name(&r2, out2));
  EXPECT_EQ(r2.pos, 1u);  // after the length byte
  EXPECT_EQ(r2.failed, 1);

  bytereader r3{runs_past, 0, 0, 0};
  char out3[velta::kNameBufBytes];
  EXPECT_FALSE(read_name(&r3, out3));
}

}  // namespace
}  // namespace velta::persist
