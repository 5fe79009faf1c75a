// Cut, graft and history trimming: worked examples, refusals (which must
// leave no version and no log record), wrapped ranges, and sharing.
#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "engine_testutil.h"
#include "testutil/alloc_fail.h"

namespace velta::testing {
namespace {

class Edits : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(engine_, nullptr); }
  void TearDown() override {
    EXPECT_EQ(audit(e()), 0);
    engine_.reset();
    if (!dir_.empty()) std::filesystem::remove_all(dir_);
  }

  vl_engine* e() { return engine_.get(); }

  // Attaches a log by saving into a scratch directory.
  void attach_log() {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    dir_ = std::string(VELTA_TEST_TMP) + "/edits_" + info->name();
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    ASSERT_EQ(vl_save(e(), (dir_ + "/store").c_str()), 0);
    ASSERT_EQ(vl_wal_active(e()), 1);
  }

  EngineHolder engine_{vl_engine_new()};
  std::string dir_;
};

TEST_F(Edits, CutRemovesTokenAlignedRangeAndKeepsOldVersion) {
  vl_object* o = make(e(), "a", "hello world");
  EXPECT_EQ(vl_cut(e(), o, 5, 1), 0);
  EXPECT_EQ(text_at(e(), o), "helloworld");
  EXPECT_EQ(vl_cut(e(), o, 0, 5), 0);
  EXPECT_EQ(text_at(e(), o), "world");
  EXPECT_EQ(vl_cut(e(), o, 5, 0), 0);  // at the end, nothing located
  EXPECT_EQ(text_at(e(), o), "world");
  ASSERT_EQ(vl_object_versions(o), 4u);
  EXPECT_EQ(text_at(e(), o, 0), "hello world");
  EXPECT_EQ(text_at(e(), o, 1), "helloworld");
}

TEST_F(Edits, CutWholeTextLeavesEmptyRoot) {
  vl_object* o = make(e(), "a", "hello, world");
  ASSERT_EQ(vl_cut(e(), o, 0, 12), 0);
  const vl_version& v = o->current();
  EXPECT_EQ(v.root, nullptr);
  EXPECT_EQ(v.tokens, 0u);
  EXPECT_EQ(v.bytes, 0u);
  char c;
  EXPECT_EQ(vl_read(e(), o, 0, 1, &c), 0u);
  EXPECT_EQ(vl_cut(e(), o, 0, 0), 0);  // empty text, empty range
  EXPECT_EQ(vl_object_versions(o), 3u);
}

TEST_F(Edits, RefusedEditsAddNoVersionAndNoLogRecord) {
  vl_object* o = make(e(), "a", "hello world");
  vl_object* p = make(e(), "b", "other text");
  attach_log();
  const std::uint64_t records = vl_wal_records(e());
  // Ends inside a token.
  EXPECT_EQ(vl_cut(e(), o, 1, 4), -1);
  EXPECT_EQ(vl_cut(e(), o, 0, 3), -1);
  EXPECT_EQ(vl_graft(e(), p, 1, o, 0, 5), -1);
  EXPECT_EQ(vl_graft(e(), p, 0, o, 1, 4), -1);
  EXPECT_EQ(vl_graft(e(), p, 0, o, 0, 4), -1);
  // Out of range.
  EXPECT_EQ(vl_cut(e(), o, 12, 0), -1);
  EXPECT_EQ(vl_cut(e(), o, 6, 6), -1);
  EXPECT_EQ(vl_graft(e(), p, 11, o, 0, 5), -1);
  EXPECT_EQ(vl_graft(e(), p, 0, o, 6, 6), -1);
  // Ranges whose end wraps past 2^64 onto a token boundary.
  EXPECT_EQ(vl_cut(e(), o, 6, UINT64_MAX - 5), -1);  // 6 + len = 0
  EXPECT_EQ(vl_cut(e(), o, UINT64_MAX, 7), -1);      // end 6
  EXPECT_EQ(vl_cut(e(), o, 1, UINT64_MAX), -1);
  EXPECT_EQ(vl_graft(e(), p, 0, o, 6, UINT64_MAX - 5), -1);
  EXPECT_EQ(vl_graft(e(), p, 0, o, UINT64_MAX, 6), -1);
  EXPECT_EQ(vl_graft(e(), p, UINT64_MAX, o, 0, 5), -1);
  // Missing handles.
  EXPECT_EQ(vl_cut(e(), nullptr, 0, 0), -1);
  EXPECT_EQ(vl_graft(e(), nullptr, 0, o, 0, 0), -1);
  EXPECT_EQ(vl_graft(e(), p, 0, nullptr, 0, 0), -1);
  EXPECT_EQ(vl_cut(nullptr, o, 0, 0), -1);

  EXPECT_EQ(vl_object_versions(o), 1u);
  EXPECT_EQ(vl_object_versions(p), 1u);
  EXPECT_EQ(vl_wal_records(e()), records);

  // Accepted edits log one record each.
  EXPECT_EQ(vl_cut(e(), o, 5, 1), 0);
  EXPECT_EQ(vl_graft(e(), p, 0, o, 0, 5), 0);
  EXPECT_EQ(vl_trim_history(e(), p, 1), 1);
  EXPECT_EQ(vl_wal_records(e()), records + 3);
}

TEST_F(Edits, GraftAtEndAppendsAndSharesChunks) {
  vl_object* dst = make(e(), "dst", "alpha beta");
  vl_object* src = make(e(), "src", "one two three");
  const std::uint32_t chunks = vl_store_chunks(vl_engine_store(e()));
  ASSERT_EQ(vl_graft(e(), dst, 10, src, 3, 4), 0);
  EXPECT_EQ(text_at(e(), dst), "alpha beta two");
  ASSERT_EQ(vl_graft(e(), dst, 6, src, 0, 13), 0);
  EXPECT_EQ(text_at(e(), dst), "alpha one two threebeta two");
  EXPECT_EQ(text_at(e(), dst, 0), "alpha beta");
  EXPECT_EQ(text_at(e(), src), "one two three");
  EXPECT_EQ(vl_object_versions(src), 1u);
  EXPECT_EQ(vl_store_chunks(vl_engine_store(e())), chunks);
}

TEST_F(Edits, GraftOfNothingAddsUnchangedVersion) {
  vl_object* dst = make(e(), "dst", "alpha beta");
  vl_object* src = make(e(), "src", "one");
  ASSERT_EQ(vl_graft(e(), dst, 5, src, 3, 0), 0);
  ASSERT_EQ(vl_object_versions(dst), 2u);
  EXPECT_EQ(text_at(e(), dst), "alpha beta");
  // Into an empty destination, and from an empty source.
  vl_object* empty = make(e(), "empty", "");
  ASSERT_EQ(vl_graft(e(), empty, 0, src, 0, 3), 0);
  EXPECT_EQ(text_at(e(), empty), "one");
  vl_object* none = make(e(), "none", "");
  ASSERT_EQ(vl_graft(e(), dst, 0, none, 0, 0), 0);
  EXPECT_EQ(text_at(e(), dst), "alpha beta");
}

TEST_F(Edits, GraftIntoSameObject) {
  vl_object* o = make(e(), "a", "red green blue");
  ASSERT_EQ(vl_graft(e(), o, 0, o, 4, 6), 0);
  EXPECT_EQ(text_at(e(), o), "green red green blue");
  EXPECT_EQ(vl_object_versions(o), 2u);
  // The source range is read from the version current before the call.
  ASSERT_EQ(vl_graft(e(), o, 20, o, 0, 20), 0);
  EXPECT_EQ(text_at(e(), o), "green red green bluegreen red green blue");
}

TEST_F(Edits, GraftRangeInsideOneLeafSplitsLeavesNotChunks) {
  // Many tokens in one chunk: positions fall inside leaves, so the splits
  // cut leaves, measured through the dictionary.
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "w" + std::to_string(i % 97) + " ";
  vl_object* src = make(e(), "src", text);
  vl_object* dst = make(e(), "dst", "[x]");
  const std::uint32_t chunks = vl_store_chunks(vl_engine_store(e()));
  const auto starts = token_starts(e(), src);
  const std::uint64_t a = starts[1001], b = starts[2500];
  ASSERT_EQ(vl_graft(e(), dst, 1, src, a, b - a), 0);
  EXPECT_EQ(text_at(e(), dst), "[" + text.substr(a, b - a) + "x]");
  ASSERT_EQ(vl_cut(e(), src, a, b - a), 0);
  EXPECT_EQ(text_at(e(), src), text.substr(0, a) + text.substr(b));
  EXPECT_EQ(vl_store_chunks(vl_engine_store(e())), chunks);
}

TEST_F(Edits, TrimKeepsNewestVersions) {
  vl_object* o = make(e(), "a", "v0");
  for (int i = 1; i < 5; ++i) {
    const std::string t = "v" + std::to_string(i);
    ASSERT_EQ(vl_update(e(), o, 0, 2, t.data(), t.size()), 0);
  }
  attach_log();
  const std::uint64_t records = vl_wal_records(e());
  EXPECT_EQ(vl_trim_history(e(), o, 5), 0);
  EXPECT_EQ(vl_trim_history(e(), o, 9), 0);
  EXPECT_EQ(vl_wal_records(e()), records);
  EXPECT_EQ(vl_trim_history(e(), o, 3), 2);
  ASSERT_EQ(vl_object_versions(o), 3u);
  EXPECT_EQ(text_at(e(), o, 0), "v2");
  EXPECT_EQ(text_at(e(), o, 2), "v4");
  EXPECT_EQ(vl_trim_history(e(), o, 0), 2);
  ASSERT_EQ(vl_object_versions(o), 1u);
  EXPECT_EQ(text_at(e(), o), "v4");
  EXPECT_EQ(vl_trim_history(e(), o, 0), 0);
  EXPECT_EQ(vl_wal_records(e()), records + 2);
  EXPECT_EQ(vl_trim_history(e(), nullptr, 0), 0);

  vl_object* p = make(e(), "b", "x");
  for (int i = 0; i < 4; ++i) ASSERT_EQ(vl_cut(e(), p, 0, 0), 0);
  EXPECT_EQ(vl_trim_history(e(), p, 0), 4);  // keep 0 counts as 1
  EXPECT_EQ(vl_object_versions(p), 1u);
  EXPECT_EQ(text_at(e(), p), "x");
}

TEST_F(Edits, TrimReleasesOnlyUnsharedNodes) {
  std::string text;
  for (int i = 0; i < 5000; ++i) text += "t" + std::to_string(i) + " ";
  vl_object* o = make(e(), "a", text);
  ASSERT_EQ(vl_cut(e(), o, 0, 3), 0);  // "t0 "
  const std::uint64_t live = vl_ext_nodes_alloced();
  ASSERT_EQ(vl_trim_history(e(), o, 1), 1);
  // The untouched subtrees survive through the new version's references.
  EXPECT_LT(live - vl_ext_nodes_alloced(), 40u);
  EXPECT_EQ(text_at(e(), o), text.substr(3));
}

// With the arena out of blocks at every point of the tree work, a cut or a
// graft either completes or is refused with nothing logged or changed.
TEST_F(Edits, NodeAllocationFailureChangesNothing) {
  std::string text;
  for (int i = 0; i < 3000; ++i) text += "n" + std::to_string(i % 89) + " ";
  vl_object* a = make(e(), "a", text);
  vl_object* b = make(e(), "b", "left right");
  attach_log();
  const auto starts = token_starts(e(), a);
  for (int op = 0; op < 2; ++op) {
    for (std::uint64_t slots = 0;; ++slots) {
      SCOPED_TRACE("op " + std::to_string(op) + " slots " + std::to_string(slots));
      ASSERT_LT(slots, 500u);
      const std::uint64_t records = vl_wal_records(e());
      const std::uint32_t na = vl_object_versions(a), nb = vl_object_versions(b);
      int rc;
      {
        testutil::NodeBlockFailure fail(slots);
        rc = op == 0 ? vl_cut(e(), a, starts[700], starts[2100] - starts[700])
                     : vl_graft(e(), b, 4, a, starts[5], starts[600] - starts[5]);
      }
      if (rc == 0) break;
      ASSERT_EQ(rc, -1);
      EXPECT_EQ(vl_wal_records(e()), records);
      EXPECT_EQ(vl_object_versions(a), na);
      EXPECT_EQ(vl_object_versions(b), nb);
      ASSERT_EQ(audit(e()), 0);
    }
  }
  EXPECT_EQ(text_at(e(), a), text.substr(0, starts[700]) + text.substr(starts[2100]));
  EXPECT_EQ(text_at(e(), b), "left" + text.substr(starts[5], starts[600] - starts[5]) + " right");
}

}  // namespace
}  // namespace velta::testing
