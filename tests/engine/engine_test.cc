// Engine: creation, chunking, deduplication, names, deletion, reads with
// extreme ranges, rebuilding from leaves, attaching and the statistics.
#include "engine/engine.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "engine_testutil.h"
#include "velta.h"

namespace {

std::string current_text(vl_engine* e, vl_object* o) {
  std::string s(o->current().bytes, '\0');
  s.resize(vl_read(e, o, 0, s.size(), s.data()));
  return s;
}

// Prose-like text of about n bytes with many distinct words.
std::string prose(std::size_t n, std::uint32_t seed = 1) {
  static const char* const kWords[] = {"alpha", "beta",  "gamma", "delta", "epsilon", "zeta",
                                       "eta",   "theta", "iota",  "kappa", "lambda",  "mu"};
  std::string s;
  std::uint32_t x = seed;
  while (s.size() < n) {
    x = x * 1103515245u + 12345u;
    s += kWords[(x >> 16) % 12];
    s += std::to_string((x >> 8) % 977);
    s += (x % 7 == 0) ? ".\n" : " ";
  }
  s.resize(n);
  return s;
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override { e_ = vl_engine_new(); }
  void TearDown() override {
    // Every root of every version is counted correctly at the end.
    EXPECT_EQ(velta::testing::audit(e_), 0);
    vl_engine_free(e_);
  }
  vl_engine* e_ = nullptr;
};

TEST_F(EngineTest, EmptyTextHasNullRoot) {
  vl_object* o = vl_create(e_, "empty", "", 0);
  ASSERT_NE(o, nullptr);
  ASSERT_EQ(o->n_versions(), 1u);
  EXPECT_EQ(o->current().root, nullptr);
  EXPECT_EQ(o->current().tokens, 0u);
  EXPECT_EQ(o->current().bytes, 0u);
  char buf[4];
  EXPECT_EQ(vl_read(e_, o, 0, sizeof buf, buf), 0u);
  EXPECT_EQ(vl_create(e_, "bad", nullptr, 3), nullptr);  // bytes promised, none given
}

TEST_F(EngineTest, CreateCutsChunksOf1024AndReadsBack) {
  const std::string text = prose(200000);
  vl_object* o = vl_create(e_, "doc", text.data(), text.size());
  ASSERT_NE(o, nullptr);
  const vl_version& v = o->current();
  EXPECT_EQ(v.bytes, text.size());
  EXPECT_EQ(v.tokens, vl_ext_tokens(v.root));
  EXPECT_EQ(v.dict_version, vl_dict_version(e_->dict));
  const std::uint64_t chunks = (v.tokens + 1023) / 1024;
  EXPECT_EQ(vl_ext_leaves(v.root), chunks);
  EXPECT_EQ(vl_store_chunks(e_->store), chunks);
  // Every chunk but the last holds 1024 ids.
  vl_leaf last{};
  std::uint64_t first_tok = 0, first_byte = 0;
  ASSERT_EQ(vl_ext_locate_byte(v.root, text.size() - 1, &last, &first_tok, &first_byte), 1);
  EXPECT_EQ(first_tok, (chunks - 1) * 1024);
  EXPECT_EQ(last.count, v.tokens - first_tok);
  EXPECT_EQ(current_text(e_, o), text);

  vl_stats st{};
  vl_engine_stats(e_, &st);
  EXPECT_EQ(st.chunks_put, chunks);
  EXPECT_EQ(st.bytes_ingested, text.size());
  EXPECT_EQ(st.store_bytes, 4 * v.tokens);
  EXPECT_GE(st.tokens_decoded, v.tokens);
}

TEST_F(EngineTest, SecondCreateOfSameTextDeduplicates) {
  const std::string text = prose(5000);
  vl_object* a = vl_create(e_, "a", text.data(), text.size());
  ASSERT_NE(a, nullptr);
  vl_stats before{};
  vl_engine_stats(e_, &before);
  const std::uint64_t chunks = vl_ext_leaves(a->current().root);
  ASSERT_NE(vl_create(e_, "b", text.data(), text.size()), nullptr);
  vl_stats after{};
  vl_engine_stats(e_, &after);
  EXPECT_EQ(after.chunks_put, before.chunks_put + chunks);
  EXPECT_EQ(after.chunks_deduped, before.chunks_deduped + chunks);
  EXPECT_EQ(after.store_bytes, before.store_bytes);
  EXPECT_EQ(after.bytes_ingested, 2 * text.size());
}

TEST_F(EngineTest, NamesAreCutAndLookupIsExact) {
  const std::string long_name(70, 'n');
  vl_object* o = vl_create(e_, long_name.c_str(), "x", 1);
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(std::string(o->name), long_name.substr(0, 63));
  EXPECT_EQ(vl_object_open(e_, long_name.c_str()), nullptr);
  EXPECT_EQ(vl_object_open(e_, long_name.substr(0, 63).c_str()), o);
  // Duplicate names: both kept, lookups find the first.
  vl_object* d1 = vl_create(e_, "dup", "1", 1);
  vl_object* d2 = vl_create(e_, "dup", "2", 1);
  EXPECT_NE(d1, d2);
  EXPECT_EQ(vl_object_open(e_, "dup"), d1);
  EXPECT_EQ(vl_object_open(e_, "du"), nullptr);
  EXPECT_EQ(vl_object_open(e_, nullptr), nullptr);
}

TEST_F(EngineTest, DeleteSwapsLastIntoTheGap) {
  vl_object* first = vl_create(e_, "first", "1", 1);
  vl_create(e_, "second", "2", 1);
  vl_object* third = vl_create(e_, "third", "3", 1);
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(vl_delete(e_, "first"), 0);
  EXPECT_EQ(vl_engine_objects(e_), 2u);
  EXPECT_EQ(vl_engine_object(e_, 0), third);
  EXPECT_EQ(vl_engine__obj(e_, 2), nullptr);
  EXPECT_EQ(vl_engine_object(e_, -1), nullptr);
  EXPECT_EQ(vl_delete(e_, "first"), -1);
  EXPECT_EQ(vl_delete(e_, nullptr), -1);
  EXPECT_EQ(vl_delete(e_, "third"), 0);
  EXPECT_EQ(vl_delete(e_, "second"), 0);
  EXPECT_EQ(vl_engine_objects(e_), 0u);
}

// Reads clip to the text; lengths and starts near 2^64 must not wrap.
TEST_F(EngineTest, ReadRangesClipWithoutWrapping) {
  const std::string text = "hello, wonderful world of words";
  vl_object* o = vl_create(e_, "t", text.data(), text.size());
  ASSERT_NE(o, nullptr);
  struct Case {
    std::uint64_t start, len;
    std::string want;
  };
  const std::vector<Case> cases = {
      {0, text.size(), text},
      {0, 5, "hello"},
      {8, 5, "onder"},  // starts inside a multi-byte token
      {26, 100, "words"},
      {26, UINT64_MAX, "words"},
      {1, UINT64_MAX - 0, text.substr(1)},
      {text.size() - 1, UINT64_MAX, "s"},
      {text.size(), 1, ""},
      {UINT64_MAX, 1, ""},
      {UINT64_MAX, UINT64_MAX, ""},
      {3, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "start " << c.start << " len " << c.len);
    std::string buf(text.size() + 8, '#');
    const std::uint64_t got = vl_read(e_, o, c.start, c.len, buf.data());
    EXPECT_EQ(buf.substr(0, got), c.want);
    EXPECT_EQ(buf.substr(got), std::string(buf.size() - got, '#'));  // nothing past it
  }
  char b[4];
  EXPECT_EQ(vl_read_version(e_, o, 1, 0, 4, b), 0u);  // index == n_versions
  EXPECT_EQ(vl_read_version(e_, o, 0, 0, 4, b), 4u);
}

TEST_F(EngineTest, RebuildFromLeavesSharesChunks) {
  const std::string text = prose(3000);
  vl_object* o = vl_create(e_, "src", text.data(), text.size());
  ASSERT_NE(o, nullptr);
  std::uint32_t n = 0;
  std::uint64_t key = 0;
  ASSERT_NE(vl_store__at(e_->store, 0, &n, &key), nullptr);
  // Two leaves over the one chunk, reordered: second half, then first.
  const std::uint32_t h = n / 2;
  const vl_leaf leaves[2] = {{key, h, n - h}, {key, 0, h}};
  const std::uint32_t chunks = vl_store_chunks(e_->store);
  vl_object* r = vl_net__rebuild(e_, "re", leaves, 2);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(vl_store_chunks(e_->store), chunks);
  EXPECT_EQ(r->current().tokens, n);
  const vl_leaf whole{key, 0, n};
  std::vector<vl_leaf> one = {whole};
  vl_object* same = vl_net__rebuild(e_, "same", one.data(), 1);
  ASSERT_NE(same, nullptr);
  EXPECT_EQ(current_text(e_, same), current_text(e_, o).substr(0, same->current().bytes));
  // The reordered object reads as the chunk's second half, then its first.
  const std::string all = current_text(e_, same);
  const std::uint64_t first_len = velta::engine::ext_bytes(e_->dict, e_->store, leaves[1]);
  EXPECT_EQ(current_text(e_, r), all.substr(first_len) + all.substr(0, first_len));
  vl_object* empty = vl_net__rebuild(e_, "none", nullptr, 0);
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->current().root, nullptr);
}

// Leaves that would make later reads index outside a chunk are refused and
// nothing changes.
TEST_F(EngineTest, RebuildRefusesBadLeaves) {
  vl_object* o = vl_create(e_, "src", "some words here", 15);
  ASSERT_NE(o, nullptr);
  std::uint32_t n = 0;
  std::uint64_t key = 0;
  ASSERT_NE(vl_store__at(e_->store, 0, &n, &key), nullptr);
  const std::vector<vl_leaf> bad = {
      {key ^ 0x5555, 0, 1},   // unknown chunk
      {key, 0, n + 1},        // past the end
      {key, n, 1},            // starts at the end
      {key, 0xFFFFFFFFu, 2},  // off + count wraps a u32
      {key, 1, 0xFFFFFFFFu},  // likewise
  };
  for (const vl_leaf& b : bad) {
    const vl_leaf pair[2] = {{key, 0, n}, b};
    EXPECT_EQ(vl_net__rebuild(e_, "bad", pair, 2), nullptr);
  }
  EXPECT_EQ(vl_engine_objects(e_), 1u);
  EXPECT_EQ(vl_object_open(e_, "bad"), nullptr);
  EXPECT_EQ(vl_net__rebuild(e_, "bad", nullptr, 1), nullptr);
}

// Attach keeps the table's invariant: an object without a version is
// refused and stays the caller's.
TEST_F(EngineTest, AttachRefusesObjectsWithoutVersions) {
  std::unique_ptr<vl_object> obj = velta::engine::make_object("built");
  EXPECT_EQ(vl_engine__attach(e_, obj.get()), -1);
  velta::engine::push_version(e_, obj.get(), nullptr);
  ASSERT_EQ(vl_engine__attach(e_, obj.get()), 0);
  vl_object* raw = obj.release();  // the table owns it now
  EXPECT_EQ(vl_object_open(e_, "built"), raw);
}

// locate agrees with the text: every byte maps to the token that holds
// it, token indexes advance one at a time, and the token texts it gives
// concatenate back to the text.
TEST_F(EngineTest, LocateCoversTheText) {
  const std::string text = prose(5000, 7) + "\xc3\xa9t\xc3\xa9 \xe2\x82\xac";
  vl_object* o = vl_create(e_, "t", text.data(), text.size());
  ASSERT_NE(o, nullptr);
  const vl_version& v = o->current();
  std::string joined;
  std::uint64_t index = 0;
  for (std::uint64_t b = 0; b < text.size(); ++b) {
    const velta::engine::TokPos p = velta::engine::locate(e_, v, b);
    ASSERT_NE(p.text, nullptr);
    ASSERT_LT(p.off, p.text_len);
    ASSERT_EQ(p.start + p.off, b);
    ASSERT_EQ(static_cast<char>(p.text[p.off]), text[b]);
    if (p.off == 0) {
      ASSERT_EQ(p.index, b == 0 ? 0 : index + 1);
      index = p.index;
      joined.append(reinterpret_cast<const char*>(p.text), p.text_len);
    }
    ASSERT_EQ(p.index, index);
  }
  EXPECT_EQ(joined, text);
  EXPECT_EQ(index + 1, v.tokens);
  const velta::engine::TokPos end = velta::engine::locate(e_, v, v.bytes);
  EXPECT_EQ(end.index, v.tokens);
  EXPECT_EQ(end.off, 0u);
}

}  // namespace
