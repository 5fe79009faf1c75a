// Round trips over random engines: random creates, edits, grafts, cuts,
// trims and deletes; then save in each layout, load (the mappable layout
// both copied and through a real mapping) and compare everything the engine
// holds. Saving the loaded engine again must give the same payload.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_loader.h"
#include "snapshot_test_util.h"
#include "velta.h"

namespace velta::snaptest {
namespace {

using namespace velta::persist;

struct Layout {
  const char* name;
  int options;
  bool mapped;  // loaded through a real read-only mapping
};

// Loads `path` the way open does: read into memory, or mapped read-only and
// the mapping handed to the store.
EngineHolder load_file(const std::string& path, bool mapped, std::uint64_t* gen) {
  if (!mapped) {
    const Bytes f = read_file(path);
    return EngineHolder(snap_load_ex(f.data(), f.size(), gen, nullptr));
  }
  const int fd = open(path.c_str(), O_RDONLY);
  if (fd < 0) return nullptr;
  struct stat st;
  fstat(fd, &st);
  const auto len = static_cast<std::size_t>(st.st_size);
  void* map = mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
  close(fd);
  if (map == MAP_FAILED) return nullptr;
  EngineHolder e(snap_load_ex(static_cast<const std::uint8_t*>(map), len, gen, map));
  if (e == nullptr) {
    munmap(map, len);
    return nullptr;
  }
  vl_store__set_map(vl_engine_store(e.get()), map, len, nullptr);
  return e;
}

class SnapshotRoundTrip : public SnapshotDirTest, public ::testing::WithParamInterface<Layout> {
 protected:
  std::mt19937_64 rng_;

  std::uint64_t pick(std::uint64_t n) { return n == 0 ? 0 : rng_() % n; }

  std::string random_text(std::uint64_t max_words) {
    static const char* kWords[] = {"the",  "snapshot", "of",    "a",       "tree",  "is",
                                   "kept", "whole",    "with",  "shared",  "nodes", "once",
                                   "\n",   "  ",       "héllo", "x_y_z_1", "42",    "!?"};
    std::string s;
    const std::uint64_t n = pick(max_words + 1);
    for (std::uint64_t i = 0; i < n; ++i) {
      s += kWords[pick(std::size(kWords))];
      if (pick(3) != 0) s += ' ';
    }
    return s;
  }

  vl_object* random_object(vl_engine* e) {
    const std::uint32_t n = vl_engine_objects(e);
    return n == 0 ? nullptr : vl_engine__obj(e, static_cast<std::uint32_t>(pick(n)));
  }

  void random_engine(vl_engine* e, int ops) {
    int next_name = 0;
    for (int i = 0; i < ops; ++i) {
      const std::uint64_t op = pick(100);
      vl_object* o = random_object(e);
      if (o == nullptr || op < 15) {
        const std::string t = random_text(op % 2 == 0 ? 3000 : 40);
        vl_create(e, ("obj" + std::to_string(next_name++)).c_str(), t.data(), t.size());
      } else if (op < 20) {
        std::string bytes(pick(20000), '\0');
        for (char& c : bytes) c = static_cast<char>(pick(256));
        vl_bin_opts opts;
        vl_bin_opts_default(&opts);
        vl_create_binary(e, ("bin" + std::to_string(next_name++)).c_str(), bytes.data(),
                         bytes.size(), &opts);
      } else if (op < 60) {
        const std::uint64_t n = vl_object_bytes(o, 0xFFFFFFFF);
        const std::string t = random_text(8);
        vl_update(e, o, pick(n + 1), pick(30), t.data(), t.size());
      } else if (op < 75) {
        vl_object* src = random_object(e);
        const std::uint64_t sn = vl_object_bytes(src, 0xFFFFFFFF);
        const std::uint64_t sp = pick(sn + 1);
        vl_graft(e, o, pick(vl_object_bytes(o, 0xFFFFFFFF) + 1), src, sp, pick(sn - sp + 1));
      } else if (op < 88) {
        const std::uint64_t n = vl_object_bytes(o, 0xFFFFFFFF);
        const std::uint64_t p = pick(n + 1);
        vl_cut(e, o, p, pick(n - p + 1));
      } else if (op < 95) {
        vl_trim_history(e, o, static_cast<std::uint32_t>(1 + pick(4)));
      } else {
        std::string name = vl_object_name(o);
        vl_delete(e, name.c_str());
      }
    }
  }
};

std::string text_of(vl_engine* e, vl_object* o, std::uint32_t v) {
  std::string s(vl_object_bytes(o, v), '\0');
  s.resize(vl_read_version(e, o, v, 0, s.size(), s.data()));
  return s;
}

// Compares counters first: reads below raise tokens_decoded on both sides.
void expect_same_engine(vl_engine* a, vl_engine* b) {
  vl_stats sa{}, sb{};
  vl_engine__stats_get(a, &sa);
  vl_engine__stats_get(b, &sb);
  EXPECT_EQ(std::memcmp(&sa, &sb, sizeof sa), 0);
  ASSERT_EQ(vl_engine_objects(a), vl_engine_objects(b));
  for (std::uint32_t i = 0; i < vl_engine_objects(a); ++i) {
    vl_object* oa = vl_engine__obj(a, i);
    vl_object* ob = vl_engine__obj(b, i);
    ASSERT_STREQ(vl_object_name(oa), vl_object_name(ob));
    ASSERT_EQ(vl_object_versions(oa), vl_object_versions(ob));
    for (std::uint32_t v = 0; v < vl_object_versions(oa); ++v) {
      EXPECT_EQ(vl_object_tokens(oa, v), vl_object_tokens(ob, v));
      EXPECT_EQ(vl_object_dict_version(oa, v), vl_object_dict_version(ob, v));
      EXPECT_EQ(vl_ext_depth(oa->versions[v].root), vl_ext_depth(ob->versions[v].root));
      ASSERT_EQ(text_of(a, oa, v), text_of(b, ob, v)) << vl_object_name(oa) << " v" << v;
    }
  }
  vl_store* ta = vl_engine_store(a);
  vl_store* tb = vl_engine_store(b);
  ASSERT_EQ(vl_store__count(ta), vl_store__count(tb));
  EXPECT_EQ(vl_store__deduped(ta), vl_store__deduped(tb));
  EXPECT_EQ(vl_store_bytes(ta), vl_store_bytes(tb));
  for (std::uint32_t i = 0; i < vl_store__count(ta); ++i) {
    std::uint32_t na = 0, nb = 0;
    std::uint64_t ka = 0, kb = 0;
    const std::uint32_t* xa = vl_store__at(ta, i, &na, &ka);
    const std::uint32_t* xb = vl_store__at(tb, i, &nb, &kb);
    ASSERT_EQ(ka, kb);
    ASSERT_EQ(na, nb);
    ASSERT_EQ(std::memcmp(xa, xb, 4ull * na), 0);
  }
  EXPECT_EQ(vl_dict_size(vl_engine_dict(a)), vl_dict_size(vl_engine_dict(b)));
}

TEST_P(SnapshotRoundTrip, RandomEnginesSurviveSaveAndLoad) {
  const Layout layout = GetParam();
  const bool mapped = layout.mapped;
  for (std::uint64_t seed = 1; seed <= 6; ++seed) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    rng_.seed(seed);
    EngineHolder e(vl_engine_new());
    random_engine(e.get(), seed == 1 ? 0 : 120);
    const std::string p = path("s" + std::to_string(seed));
    ASSERT_EQ(vl_save_ex(e.get(), p.c_str(), layout.options), 0) << errno;

    std::uint64_t gen = 0;
    EngineHolder loaded = load_file(p, mapped, &gen);
    ASSERT_NE(loaded, nullptr) << errno;
    EXPECT_EQ(gen, 1u);
    EXPECT_EQ(vl_wal_active(loaded.get()), 0);
    EXPECT_EQ(vl_store_is_mapped(loaded.get()), mapped ? 1 : 0);
    if (mapped) {
      EXPECT_EQ(vl_store__mapped_bytes(vl_engine_store(loaded.get())),
                vl_store_bytes(vl_engine_store(e.get())));
    }
    // The loaded engine saves to the same payload: same chunk order, node
    // ids, priorities and counters. Generations differ (the loaded engine
    // has no log), so only the payload is compared.
    const std::string q = path("again" + std::to_string(seed));
    ASSERT_EQ(vl_save_ex(loaded.get(), q.c_str(), layout.options), 0) << errno;
    const Bytes fa = read_file(p);
    const Bytes fb = read_file(q);
    ASSERT_EQ(fa.size(), fb.size());
    EXPECT_TRUE(std::equal(fa.begin() + kSnapHeaderSize, fa.end(), fb.begin() + kSnapHeaderSize));

    expect_same_engine(e.get(), loaded.get());
    std::vector<vl_ext*> roots;
    for (const auto& obj : loaded->objects) {
      for (const vl_version& v : obj->versions) {
        if (v.root != nullptr) roots.push_back(v.root);
      }
    }
    EXPECT_EQ(vl_ext_audit(roots.data(), static_cast<std::uint32_t>(roots.size()), 0), 0);

    // And it keeps working: edits after a load go through the restored
    // dictionary, store and trees.
    if (vl_object* o = random_object(loaded.get())) {
      ASSERT_EQ(vl_update(loaded.get(), o, 0, 3, "new ", 4), 0);
      const std::uint32_t last = vl_object_versions(o) - 1;
      EXPECT_EQ(text_of(loaded.get(), o, last).substr(0, 4), "new ");
    }
  }
}

// The zlib layout, which the writer only picks when zstd does not win, is
// produced here by re-compressing a plain file's body.
class SnapshotZlib : public SnapshotDirTest {};

TEST_F(SnapshotZlib, PayloadLoads) {
  EngineHolder e(vl_engine_new());
  const std::string t = "zlib bodies load the same as plain ones, again and again and again";
  vl_create(e.get(), "z", t.data(), t.size());
  const std::string p = path("plain");
  ASSERT_EQ(vl_save_ex(e.get(), p.c_str(), VL_SAVE_UNCOMPRESSED), 0);
  const Bytes plain = read_file(p);
  const Bytes body(plain.begin() + kSnapHeaderSize, plain.end());
  const Bytes file = make_file(body, kSnapFlagZlib, 9);
  std::uint64_t gen = 0;
  EngineHolder loaded(snap_load_ex(file.data(), file.size(), &gen, nullptr));
  ASSERT_NE(loaded, nullptr) << errno;
  EXPECT_EQ(gen, 9u);
  expect_same_engine(e.get(), loaded.get());
}

// Deleting every object keeps the dictionary, the chunks and the counters.
TEST_F(SnapshotZlib, EngineWithoutObjectsKeepsDictionaryAndChunks) {
  EngineHolder e(vl_engine_new());
  const std::string t = "words that the dictionary learns and chunks that stay in the store";
  vl_create(e.get(), "gone", t.data(), t.size());
  ASSERT_EQ(vl_delete(e.get(), "gone"), 0);
  for (int options : {0, 1, 2}) {
    const std::string p = path("noobj" + std::to_string(options));
    ASSERT_EQ(vl_save_ex(e.get(), p.c_str(), options), 0);
    std::uint64_t gen = 0;
    EngineHolder loaded = load_file(p, false, &gen);
    ASSERT_NE(loaded, nullptr) << errno;
    EXPECT_EQ(vl_engine_objects(loaded.get()), 0u);
    EXPECT_GT(vl_store__count(vl_engine_store(loaded.get())), 0u);
    expect_same_engine(e.get(), loaded.get());
  }
}

// Every hand-made fuzzer seed is a snapshot that loads and survives a save;
// seeds the fuzzer grew ("grown_*") may be refused, but what loads survives.
TEST_F(SnapshotZlib, FuzzSeedsLoad) {
  const std::filesystem::path dir =
      std::filesystem::path(__FILE__).parent_path() / "../../fuzz/corpus/snapshot_load";
  int seen = 0;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    SCOPED_TRACE(entry.path().string());
    std::uint64_t gen = 0;
    EngineHolder e = load_file(entry.path().string(), false, &gen);
    if (e == nullptr && entry.path().filename().string().starts_with("grown_")) continue;
    ASSERT_NE(e, nullptr) << errno;
    const std::string p = path("seed" + std::to_string(seen++));
    ASSERT_EQ(vl_save_ex(e.get(), p.c_str(), VL_SAVE_UNCOMPRESSED), 0);
    EngineHolder again = load_file(p, true, &gen);
    ASSERT_NE(again, nullptr) << errno;
    expect_same_engine(e.get(), again.get());
  }
  EXPECT_GT(seen, 0);
}

// A long history over a large text exercises what only large stores
// reach in the loader (a huge-page node table, offsets of cut leaves over
// many chunks, roots fetched ahead): a mapped and a copied load build the
// same trees, with as many nodes, and save back the same payload.
class SnapshotLongHistory : public SnapshotDirTest {};

TEST_F(SnapshotLongHistory, MappedAndCopiedLoadsAgree) {
  std::mt19937_64 rng(11);
  static const char* kWords[] = {"alpha", "beta", "gamma", "delta", "tree", "node", "x", "\n"};
  std::string text;
  while (text.size() < 1600000) text += std::string(kWords[rng() % 8]) + ' ';
  EngineHolder e(vl_engine_new());
  vl_object* o = vl_create(e.get(), "doc", text.data(), text.size());
  ASSERT_NE(o, nullptr);
  for (int i = 0; i < 3000; ++i) {
    const std::uint64_t n = vl_object_bytes(o, 0xFFFFFFFF);
    ASSERT_EQ(vl_update(e.get(), o, rng() % (n + 1), rng() % 8, "ab cd", 5), 0);
  }
  const std::string p = path("long");
  ASSERT_EQ(vl_save_ex(e.get(), p.c_str(), VL_SAVE_MAPPABLE), 0) << errno;
  const Bytes saved = read_file(p);
  std::uint64_t built[2] = {0, 0};
  for (const bool mapped : {false, true}) {
    SCOPED_TRACE(mapped ? "mapped" : "copied");
    const std::uint64_t live = vl_ext_nodes_alloced();
    std::uint64_t gen = 0;
    EngineHolder loaded = load_file(p, mapped, &gen);
    ASSERT_NE(loaded, nullptr) << errno;
    built[mapped] = vl_ext_nodes_alloced() - live;
    const std::string q = path(mapped ? "again_mapped" : "again_copied");
    ASSERT_EQ(vl_save_ex(loaded.get(), q.c_str(), VL_SAVE_MAPPABLE), 0) << errno;
    const Bytes again = read_file(q);
    ASSERT_EQ(saved.size(), again.size());
    EXPECT_TRUE(
        std::equal(saved.begin() + kSnapHeaderSize, saved.end(), again.begin() + kSnapHeaderSize));
    vl_object* lo = vl_object_open(loaded.get(), "doc");
    const std::uint32_t versions = vl_object_versions(o);
    ASSERT_EQ(vl_object_versions(lo), versions);
    for (std::uint32_t v = 0; v < versions; v += 251) {
      ASSERT_EQ(text_of(loaded.get(), lo, v), text_of(e.get(), o, v)) << "v" << v;
    }
    EXPECT_EQ(text_of(loaded.get(), lo, versions - 1), text_of(e.get(), o, versions - 1));
  }
  EXPECT_EQ(built[0], built[1]);
  // Enough nodes for the loader's node table (10 bytes a node) to take the
  // huge-page path from half a megabyte on.
  EXPECT_GT(built[1], 60000u);
}

INSTANTIATE_TEST_SUITE_P(Layouts, SnapshotRoundTrip,
                         ::testing::Values(Layout{"Compressed", 0, false},
                                           Layout{"Plain", VL_SAVE_UNCOMPRESSED, false},
                                           Layout{"MappableCopied", VL_SAVE_MAPPABLE, false},
                                           Layout{"MappableMapped", VL_SAVE_MAPPABLE, true}),
                         [](const ::testing::TestParamInfo<Layout>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
}  // namespace velta::snaptest
