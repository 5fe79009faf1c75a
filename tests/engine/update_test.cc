// Splice update: worked examples, range limits (including values near
// 2^64), the one-chunk window, and that token boundaries outside the window
// never move.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_testutil.h"
#include "velta.h"

namespace {

std::string text_of(vl_engine* e, vl_object* o, std::uint32_t version) {
  const vl_version& v = o->versions.at(version);
  std::string s(v.bytes, '\0');
  s.resize(vl_read_version(e, o, version, 0, s.size(), s.data()));
  return s;
}

std::string current_text(vl_engine* e, vl_object* o) { return text_of(e, o, o->n_versions() - 1); }

// Token ids of a version in text order.
std::vector<std::uint32_t> ids_of(vl_engine* e, const vl_version& v) {
  struct Ctx {
    vl_engine* e;
    std::vector<std::uint32_t> ids;
  } ctx{e, {}};
  vl_ext_walk(
      v.root,
      [](void* c, const vl_leaf* leaf, std::uint64_t) -> int {
        auto* x = static_cast<Ctx*>(c);
        std::uint64_t n = 0;
        const std::uint32_t* t = vl_store_get(x->e->store, leaf->key, &n);
        x->ids.insert(x->ids.end(), t + leaf->off, t + leaf->off + leaf->count);
        return 0;
      },
      &ctx);
  return ctx.ids;
}

class UpdateTest : public ::testing::Test {
 protected:
  void SetUp() override { e_ = vl_engine_new(); }
  void TearDown() override {
    EXPECT_EQ(velta::testing::audit(e_), 0);
    vl_engine_free(e_);
  }
  vl_object* make(const std::string& text) {
    vl_object* o = vl_create(e_, "doc", text.data(), text.size());
    EXPECT_NE(o, nullptr);
    return o;
  }
  vl_engine* e_ = nullptr;
};

TEST_F(UpdateTest, WorkedExamples) {
  const std::string base = "The quick brown fox jumps over the lazy dog.";
  struct Case {
    const char* what;
    std::uint64_t pos, del;
    std::string ins;
  };
  const std::vector<Case> cases = {
      {"append at end", base.size(), 0, " Again"},
      {"prepend", 0, 0, ">> "},
      {"insert inside a token", 6, 0, "XX"},
      {"delete inside one token", 11, 2, ""},
      {"replace across tokens", 7, 10, "-"},
      {"delete to end, clipped", 9, 1000, ""},
      {"delete near 2^64 is clipped", 9, UINT64_MAX, "!"},
      {"delete everything", 0, base.size(), ""},
      {"no change", 5, 0, ""},
      {"replace whole", 0, UINT64_MAX, "new"},
      {"insert at end of a token", 3, 0, "se"},
      {"delete the last byte", base.size() - 1, 1, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::string want = base;
    want.replace(c.pos, c.del, c.ins);  // std::string clips del the same way
    vl_object* o = make(base);
    ASSERT_EQ(vl_update(e_, o, c.pos, c.del, c.ins.data(), c.ins.size()), 0);
    ASSERT_EQ(o->n_versions(), 2u);
    EXPECT_EQ(current_text(e_, o), want);
    EXPECT_EQ(text_of(e_, o, 0), base);  // the old version is untouched
    const vl_version& v = o->current();
    EXPECT_EQ(v.bytes, want.size());
    EXPECT_EQ(v.tokens, vl_ext_tokens(v.root));
    if (want.empty()) {
      EXPECT_EQ(v.root, nullptr);
    }
    ASSERT_EQ(vl_delete(e_, "doc"), 0);
  }
}

TEST_F(UpdateTest, RefusesPositionsPastTheEnd) {
  vl_object* o = make("abc def");
  for (const std::uint64_t pos : {std::uint64_t{8}, std::uint64_t{1} << 40, UINT64_MAX}) {
    EXPECT_EQ(vl_update(e_, o, pos, 0, "x", 1), -1);
    EXPECT_EQ(vl_update(e_, o, pos, UINT64_MAX, "x", 1), -1);
  }
  EXPECT_EQ(o->n_versions(), 1u);
  EXPECT_EQ(vl_update(nullptr, o, 0, 0, "x", 1), -1);
  EXPECT_EQ(vl_update(e_, nullptr, 0, 0, "x", 1), -1);
  // NULL text is a pure deletion whatever its length says.
  ASSERT_EQ(vl_update(e_, o, 0, 4, nullptr, 99), 0);
  EXPECT_EQ(current_text(e_, o), "def");
}

TEST_F(UpdateTest, AppendAddsOneLeafAndSharesTheRest) {
  std::string base;
  for (int i = 0; i < 3000; ++i) base += "word" + std::to_string(i % 50) + " ";
  vl_object* o = make(base);
  const vl_version v0 = o->current();
  const std::uint32_t leaves0 = vl_ext_leaves(v0.root);
  ASSERT_EQ(vl_update(e_, o, v0.bytes, 0, "tail", 4), 0);
  const vl_version& v1 = o->current();
  EXPECT_EQ(vl_ext_leaves(v1.root), leaves0 + 1);
  const std::vector<std::uint32_t> a = ids_of(e_, v0), b = ids_of(e_, v1);
  ASSERT_GT(b.size(), a.size());
  EXPECT_TRUE(std::equal(a.begin(), a.end(), b.begin()));
  EXPECT_EQ(current_text(e_, o), base + "tail");
}

TEST_F(UpdateTest, WindowBecomesOneChunkWhateverItsSize) {
  vl_object* o = make("start ");
  // Runs over 64 bytes are never learned: 5,000 byte tokens.
  const std::string big(5000, 'q');
  const std::uint32_t chunks = vl_store_chunks(e_->store);
  ASSERT_EQ(vl_update(e_, o, 6, 0, big.data(), big.size()), 0);
  EXPECT_EQ(vl_store_chunks(e_->store), chunks + 1);
  vl_leaf leaf{};
  std::uint64_t tok = 0, byte = 0;
  ASSERT_EQ(vl_ext_locate_byte(o->current().root, 6, &leaf, &tok, &byte), 1);
  EXPECT_EQ(leaf.count, 5000u);
  EXPECT_EQ(byte, 6u);
  vl_stats st{};
  vl_engine_stats(e_, &st);
  EXPECT_EQ(st.store_bytes, vl_store_bytes(e_->store));
}

// Only the start token, the end token and what lies between are replaced;
// every token before and after keeps its id.
TEST_F(UpdateTest, TokenBoundariesOutsideTheWindowStay) {
  std::string base;
  for (int i = 0; i < 400; ++i) base += "lorem ipsum dolor_" + std::to_string(i) + ", ";
  vl_object* o = make(base);
  struct Edit {
    std::uint64_t pos, del;
    std::string ins;
  };
  for (const Edit& ed :
       {Edit{1234, 0, "zz"}, Edit{2000, 37, "ipsumlorem"}, Edit{17, 3, ""}, Edit{0, 5, "x"}}) {
    const vl_version before = o->current();
    const velta::engine::TokPos s = velta::engine::locate(e_, before, ed.pos);
    const velta::engine::TokPos t = velta::engine::locate(e_, before, ed.pos + ed.del);
    const std::uint64_t after_first = t.index + (t.off > 0 ? 1 : 0);
    ASSERT_EQ(vl_update(e_, o, ed.pos, ed.del, ed.ins.data(), ed.ins.size()), 0);
    const std::vector<std::uint32_t> a = ids_of(e_, before), b = ids_of(e_, o->current());
    const std::uint64_t tail = a.size() - after_first;
    ASSERT_GE(b.size(), s.index + tail);
    EXPECT_TRUE(std::equal(a.begin(), a.begin() + s.index, b.begin()));
    EXPECT_TRUE(std::equal(a.end() - tail, a.end(), b.end() - tail));
    base.replace(ed.pos, ed.del, ed.ins);
    EXPECT_EQ(current_text(e_, o), base);
  }
}

TEST_F(UpdateTest, EmptyObjectGrowsAndEmptiesAgain) {
  vl_object* o = make("");
  EXPECT_EQ(vl_update(e_, o, 1, 0, "x", 1), -1);
  ASSERT_EQ(vl_update(e_, o, 0, 0, "hello", 5), 0);
  ASSERT_EQ(vl_update(e_, o, 0, 0, nullptr, 0), 0);
  EXPECT_EQ(o->n_versions(), 3u);
  EXPECT_EQ(text_of(e_, o, 1), text_of(e_, o, 2));
  ASSERT_EQ(vl_update(e_, o, 0, 5, nullptr, 0), 0);
  EXPECT_EQ(o->current().root, nullptr);
  EXPECT_EQ(o->current().tokens, 0u);
  EXPECT_EQ(text_of(e_, o, 0), "");
  EXPECT_EQ(text_of(e_, o, 1), "hello");
}

}  // namespace
