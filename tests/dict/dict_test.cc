// Dictionary core: learning, lookups, id decoding and table growth.
#include "dict/dict.h"

#include <gtest/gtest.h>

#include <string>

#include "dict_test_util.h"

namespace velta::dict::test {
namespace {

TEST(Dict, LearnsRunsOfHelloWorld) {
  DictPtr d = new_dict();
  ASSERT_TRUE(d);
  const std::string text = "hello, world";
  EXPECT_EQ(vl_dict_learn(d.get(), text.data(), text.size(), 3), 3u);
  EXPECT_EQ(vl_dict_size(d.get()), 3u);
  EXPECT_EQ(vl_dict_version(d.get()), 3u);
  EXPECT_EQ(bytes_of(d.get(), 1), "hello");
  EXPECT_EQ(bytes_of(d.get(), 2), ", ");
  EXPECT_EQ(bytes_of(d.get(), 3), "world");
  EXPECT_EQ(lookup(d.get(), "world"), 3u);
  EXPECT_EQ(vl_dict_learn(d.get(), text.data(), text.size(), 3), 0u);

  DictPtr one = new_dict();
  EXPECT_EQ(vl_dict_learn(one.get(), text.data(), text.size(), 1), 1u);
  EXPECT_EQ(vl_dict_size(one.get()), 1u);
  EXPECT_EQ(bytes_of(one.get(), 1), "hello");
  EXPECT_EQ(vl_dict_learn(one.get(), text.data(), text.size(), 0), 0u);
  EXPECT_TRUE(check_invariants(*d, false));
}

TEST(Dict, LearnsRunsUpTo64BytesOnly) {
  DictPtr d = new_dict();
  const std::string r64(64, 'x'), r65(65, 'y');
  const std::string text = r64 + " " + r65 + ".\n" + std::string(200, '-') + "z";
  EXPECT_EQ(vl_dict_learn(d.get(), text.data(), text.size(), 100), 3u);  // r64, " ", "z"
  EXPECT_EQ(lookup(d.get(), r64), 1u);
  EXPECT_EQ(lookup(d.get(), r65), 0u);
  EXPECT_EQ(lookup(d.get(), "z"), 3u);
}

TEST(Dict, LookupRejectsEmptyAndLongerThanAnyEntry) {
  DictPtr d = new_dict();
  EXPECT_EQ(vl_dict_lookup(d.get(), "", 0), 0u);
  EXPECT_EQ(lookup(d.get(), "a"), 0u);
  vl_dict_learn(d.get(), "abc", 3, 10);
  EXPECT_EQ(lookup(d.get(), "abc"), 1u);
  EXPECT_EQ(vl_dict_lookup(d.get(), "abc", 0), 0u);
  EXPECT_EQ(lookup(d.get(), "abcd"), 0u);
  EXPECT_EQ(lookup(d.get(), "ab"), 0u);
  EXPECT_EQ(vl_dict_lookup(nullptr, "abc", 3), 0u);
}

TEST(Dict, DecodesSpecialIds) {
  DictPtr d = new_dict();
  vl_dict_learn(d.get(), "hello, world", 12, 10);
  for (std::uint32_t id : {0u, 4u, 0xFFFFFEFFu}) {
    std::uint64_t n = 99;
    EXPECT_EQ(vl_dict_text(d.get(), id, &n), nullptr) << id;
    EXPECT_EQ(n, 0u);
  }
  for (unsigned b = 0; b < 256; ++b) {
    std::uint64_t n = 0;
    const std::uint8_t* p = vl_dict_text(d.get(), 0xFFFFFF00u + b, &n);
    ASSERT_EQ(p, &VL_BYTE_TABLE[b]);
    EXPECT_EQ(*p, b);
    EXPECT_EQ(n, 1u);
  }
}

// Adds the distinct entries "e<i>" through the internal add.
void add_entries(vl_dict& d, std::uint32_t n) {
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::string s = "e" + std::to_string(i);
    ASSERT_EQ(add(d, reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), i + 1);
  }
}

TEST(Dict, TableDoublesAtThe45876thEntry) {
  DictPtr d = new_dict();
  EXPECT_EQ(d->nslots, 65536u);
  add_entries(*d, 45875);
  EXPECT_EQ(d->nslots, 65536u);
  const std::string s = "last";
  EXPECT_EQ(add(*d, reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), 45876u);
  EXPECT_EQ(d->nslots, 131072u);
  EXPECT_TRUE(check_invariants(*d, false));
  for (std::uint32_t i = 0; i < 45875; i += 997)
    EXPECT_EQ(lookup(d.get(), "e" + std::to_string(i)), i + 1);
  // Ids, offsets and text all outgrew their initial room.
  EXPECT_GT(d->cap, kInitCap);
}

TEST(Dict, AddReturnsExistingIdAndRejectsBadLengths) {
  DictPtr d = new_dict();
  const std::string q70(70, 'q');
  const auto* p = reinterpret_cast<const std::uint8_t*>(q70.data());
  EXPECT_EQ(add(*d, p, 0), 0u);
  EXPECT_EQ(add(*d, p, 65), 0u);
  EXPECT_EQ(add(*d, p, 64), 1u);
  EXPECT_EQ(add(*d, p, 64), 1u);
  EXPECT_EQ(d->size, 1u);
}

TEST(Dict, TextGrowsBeyondItsFirstMegabyte) {
  DictPtr d = new_dict();
  // 20000 entries of 60 bytes: more than 1 MiB of text.
  std::string s(60, 'a');
  for (int i = 0; i < 20000; ++i) {
    std::string t = std::to_string(i);
    std::copy(t.begin(), t.end(), s.begin());
    ASSERT_NE(add(*d, reinterpret_cast<const std::uint8_t*>(s.data()), s.size()), 0u);
  }
  EXPECT_GT(d->text_cap, kInitTextCap);
  EXPECT_EQ(d->text_used, 20000u * 60);
  EXPECT_TRUE(check_invariants(*d, false));
}

// A dictionary whose text is just short of its first 1 MiB, built so that
// its own blob holds runs it does not know yet ("q7p8" where the entries
// are "q7" and "p8"): learning or training from that blob must grow text.
DictPtr nearly_full_dict() {
  DictPtr d = new_dict();
  for (std::uint32_t i = 0; d->text_used < kInitTextCap - 20000; ++i) {
    std::string sep;
    for (std::uint32_t v = i, k = 0; k < 10; ++k, v >>= 2) sep += "!#$%"[v & 3];
    const std::string s = "p" + std::to_string(i) + sep + "q" + std::to_string(i);
    vl_dict_learn(d.get(), s.data(), s.size(), 10);
  }
  return d;
}

// The blob handed back by vl_dict__texts is valid when the call starts;
// the additions must not leave the call reading the freed old buffer.
TEST(Dict, LearnsAndTrainsFromItsOwnTextAcrossGrowth) {
  for (const bool train_it : {false, true}) {
    DictPtr d = nearly_full_dict(), twin = nearly_full_dict();
    std::uint64_t used = 0;
    const std::uint8_t* blob = vl_dict__texts(d.get(), &used);
    const std::string copy(reinterpret_cast<const char*>(blob), used);
    if (train_it) {
      EXPECT_EQ(vl_dict_train(d.get(), blob, used, 2, 100, 2),
                vl_dict_train(twin.get(), copy.data(), copy.size(), 2, 100, 2));
    } else {
      EXPECT_EQ(vl_dict_learn(d.get(), blob, used, kLearnLimit),
                vl_dict_learn(twin.get(), copy.data(), copy.size(), kLearnLimit));
    }
    EXPECT_GT(d->text_cap, kInitTextCap);
    ASSERT_EQ(vl_dict_size(d.get()), vl_dict_size(twin.get()));
    for (std::uint32_t id = 1; id <= vl_dict_size(d.get()); id += 97)
      ASSERT_EQ(bytes_of(d.get(), id), bytes_of(twin.get(), id)) << id;
    EXPECT_TRUE(check_invariants(*d, false));
  }
}

}  // namespace
}  // namespace velta::dict::test
