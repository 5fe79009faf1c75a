// Differential test of the ingest and read fast paths against plain
// implementations written from their definitions: fused learning and
// tokenizing (run ends found 64 bytes at a time), grouped chunk keys,
// whole-token copies in reads (texts, counters and old versions), grouped
// binary chunk keys and byte-token puts. Inputs: random bytes (non-ASCII
// included), real English, runs over 64 bytes and across several 64-byte
// blocks, texts ending on and off block edges, with fresh, pre-learned,
// trained and limit-stopped dictionaries.
#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#include "binary/binary.h"
#include "dict/dict.h"
#include "dict/dict_table.h"
#include "engine_testutil.h"
#include "store/store.h"

namespace {

namespace vd = velta::dict;
using velta::EngineHolder;
using Bytes = std::vector<std::uint8_t>;

std::uint64_t ref_fnv(const std::uint8_t* p, std::size_t n) {
  std::uint64_t h = 0x14650FB0739D0383ull;
  for (std::size_t i = 0; i < n; ++i) h = (h ^ p[i]) * 0x100000001B3ull;
  return h;
}

std::uint64_t ref_key(const std::uint32_t* t, std::size_t n) {
  Bytes b;
  for (std::size_t i = 0; i < n; ++i)
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<std::uint8_t>(t[i] >> (8 * k)));
  const std::uint64_t h = ref_fnv(b.data(), b.size());
  return h != 0 ? h : 1;
}

std::vector<std::uint64_t> run_ends(const std::uint8_t* p, std::uint64_t n) {
  std::vector<std::uint64_t> ends;
  for (std::uint64_t i = 1; i <= n; ++i)
    if (i == n || vd::is_word(p[i]) != vd::is_word(p[i - 1])) ends.push_back(i);
  return ends;
}

// Learning and greedy tokenizing, one run and one span at a time.
std::vector<std::uint32_t> ref_learn_tokenize(vl_dict* d, const Bytes& t, std::uint32_t limit) {
  const std::vector<std::uint64_t> ends = run_ends(t.data(), t.size());
  std::uint32_t added = 0;
  for (std::size_t r = 0, start = 0; r < ends.size() && added < limit; start = ends[r++]) {
    const std::uint64_t len = ends[r] - start;
    if (len <= 64 && vl_dict_lookup(d, t.data() + start, len) == 0)
      added += vd::add(*d, t.data() + start, len) != 0;
  }
  std::vector<std::uint32_t> ids;
  for (std::size_t r = 0, start = 0; r < ends.size();) {
    std::uint32_t id = 0;
    std::size_t j = std::min(ends.size(), r + 13);
    for (; j > r && id == 0; --j)
      if (ends[j - 1] - start <= 64) id = vl_dict_lookup(d, t.data() + start, ends[j - 1] - start);
    if (id != 0) {
      ids.push_back(id);
    } else {
      for (std::uint64_t k = start; k < ends[r]; ++k) ids.push_back(0xFFFFFF00u + t[k]);
      j = r;
    }
    start = ends[j];
    r = j + 1;
  }
  return ids;
}

Bytes random_text(std::mt19937& rng, std::size_t n) {
  static const char kAlpha[] = "ab_9 ,.\n\xC3\xA9\xFF";
  Bytes t(n);
  for (auto& c : t) c = static_cast<std::uint8_t>(kAlpha[rng() % (sizeof kAlpha - 1)]);
  for (std::size_t k = 0; k + 300 < n && k < 3; ++k)  // runs over 64 bytes, some over 3 blocks
    std::fill_n(t.begin() + static_cast<std::ptrdiff_t>(rng() % (n - 300)), 65 + rng() % 230, 'x');
  return t;
}

Bytes english() {
  std::ifstream in("/usr/share/common-licenses/GPL-3", std::ios::binary);
  Bytes t((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (t.empty()) t.assign(4000, 'q');
  return t;
}

TEST(FastPaths, LearnTokenizeMatchesReference) {
  std::mt19937 rng(5);
  const Bytes eng = english();
  for (int dict_kind = 0; dict_kind < 3; ++dict_kind) {  // fresh, pre-learned, trained
    for (const std::uint32_t limit : {0x100000u, 7u, 0u}) {
      for (int round = 0; round < 4; ++round) {
        // Lengths anywhere, on a 64-byte edge, and shorter than a block.
        const std::size_t len[] = {0, 1 + rng() % 5000, 64 * (1 + rng() % 8), 1 + rng() % 70};
        const Bytes t = round == 0 ? eng : random_text(rng, len[round]);
        std::unique_ptr<vl_dict> fast = vd::make(), ref = vd::make();
        for (vl_dict* d : {fast.get(), ref.get()}) {
          if (dict_kind == 1) vd::learn(*d, eng.data(), eng.size() / 2, 0x100000);
          if (dict_kind == 2) vl_dict_train(d, eng.data(), eng.size(), 2, 200, 2);
        }
        std::vector<std::uint32_t> ids(t.size() + 1);
        ids.resize(vd::learn_tokenize(*fast, t.data(), t.size(), limit, ids.data(), ids.size()));
        EXPECT_EQ(ids, ref_learn_tokenize(ref.get(), t, limit)) << dict_kind << " " << limit;
        ASSERT_EQ(vl_dict_size(fast.get()), vl_dict_size(ref.get()));
        for (std::uint32_t id = 1; id <= vl_dict_size(ref.get()); ++id) {
          std::uint64_t a = 0, b = 0;
          const std::uint8_t* pa = vl_dict_text(fast.get(), id, &a);
          const std::uint8_t* pb = vl_dict_text(ref.get(), id, &b);
          ASSERT_EQ(Bytes(pa, pa + a), Bytes(pb, pb + b)) << id;
        }
      }
    }
  }
}

// The table's slot keys and hashes as the fast path makes them (8-byte
// loads, span hashes grown run by run) against the plain ones, on texts of
// every length an entry can have, with zero and high bytes.
TEST(FastPaths, SlotKeysAndHashesAgree) {
  std::mt19937 rng(3);
  for (int round = 0; round < 2000; ++round) {
    const std::uint64_t n = 1 + rng() % 64;
    Bytes t(n + 8);  // room for an 8-byte load past a short text
    for (auto& c : t) c = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0 : rng());
    const std::uint64_t key = vd::slot_key(t.data(), n);
    EXPECT_EQ(key, vd::slot_key_wide(t.data(), n)) << n;
    EXPECT_EQ(key >> 56, n);
    Bytes u(t.begin(), t.begin() + static_cast<std::ptrdiff_t>(n));
    u[std::min<std::uint64_t>(n, 7) - 1] ^= 1;  // a key byte differs
    EXPECT_NE(key, vd::slot_key(u.data(), n));
    EXPECT_EQ(vd::hash_bytes(t.data(), n), vd::span_hash(ref_fnv(t.data(), n), t.data(), n));
  }
}

TEST(FastPaths, ChunkKeysMatchReference) {
  std::mt19937 rng(9);
  for (int round = 0; round < 20; ++round) {
    const std::size_t m = rng() % 20;
    std::vector<std::vector<std::uint32_t>> arrays(m);
    std::vector<const std::uint32_t*> toks;
    std::vector<std::uint64_t> ns, keys(m);
    for (auto& a : arrays) {
      a.resize(rng() % 3 == 0 ? rng() % 3 : rng() % 2000);
      for (auto& v : a) v = rng();
      toks.push_back(a.data());
      ns.push_back(a.size());
    }
    velta::store::chunk_keys(toks.data(), ns.data(), m, keys.data());
    for (std::size_t i = 0; i < m; ++i)
      EXPECT_EQ(keys[i], ref_key(arrays[i].data(), arrays[i].size()));
  }
}

// A read by its definition: the leaves overlapping the range, each from
// the start the tree gives it, one token at a time until `len` bytes are
// had; returns the bytes and the number of tokens fetched.
std::pair<std::string, std::uint64_t> ref_read(vl_engine* e, const vl_version& v,
                                               std::uint64_t start, std::uint64_t len) {
  struct Ctx {
    vl_engine* e;
    std::uint64_t start, len, fetched;
    std::string out;
  } ctx{e, start, std::min(len, v.bytes - std::min(start, v.bytes)), 0, {}};
  vl_ext_walk_range(
      v.root, start, ctx.len,
      [](void* c, const vl_leaf* leaf, std::uint64_t, std::uint64_t leaf_start) -> int {
        auto* x = static_cast<Ctx*>(c);
        std::uint64_t n = 0;
        const std::uint32_t* t = vl_store_get(vl_engine_store(x->e), leaf->key, &n);
        std::uint64_t p = leaf_start;
        for (std::uint32_t i = 0; i < leaf->count && x->out.size() < x->len; ++i) {
          std::uint64_t l = 0;
          const auto* b = reinterpret_cast<const char*>(
              vl_dict_text(vl_engine_dict(x->e), t[leaf->off + i], &l));
          ++x->fetched;
          for (std::uint64_t k = 0; k < l && x->out.size() < x->len; ++k)
            if (p + k >= x->start) x->out.push_back(b[k]);
          p += l;
        }
        return 0;
      },
      &ctx);
  return {ctx.out, ctx.fetched};
}

TEST(FastPaths, ReadsMatchReference) {
  std::mt19937 rng(13);
  EngineHolder e(vl_engine_new());
  const Bytes eng = english();
  vl_object* o = vl_create(e.get(), "doc", eng.data(), eng.size());
  for (int k = 0; k < 300; ++k) {  // keystroke edits: many small leaves
    const char c = "ab \xC3"[rng() % 4];
    vl_update(e.get(), o, rng() % (o->current().bytes + 1), rng() % 2, &c, 1);
  }
  for (int round = 0; round < 300; ++round) {
    if (round == 150) {  // re-pointed ids must read their new bytes
      for (std::uint32_t id = 1; id <= 40; ++id)
        vl_net__install_entry(vl_engine_dict(e.get()), id, "re-pointed entry text", id % 22);
    }
    const std::uint32_t vi = rng() % o->n_versions();
    const vl_version& v = o->versions[vi];
    const std::uint64_t start = rng() % (v.bytes + 1);
    const std::uint64_t len = rng() % 3 == 0 ? v.bytes : rng() % 200;
    const auto [want, fetched] = ref_read(e.get(), v, start, len);
    std::string got(len, '\0');
    const std::uint64_t before = e->stats.tokens_decoded;
    got.resize(vl_read_version(e.get(), o, vi, start, len, got.data()));
    EXPECT_EQ(got, want) << vi << " " << start << " " << len;
    if (start < v.bytes) {
      EXPECT_EQ(e->stats.tokens_decoded - before, fetched);
    }
  }
}

// The end of the chunk from `start` by the definition: the gear hash one
// byte at a time from start + min_size. `o` is normalised.
std::uint64_t ref_chunk_end(const Bytes& d, std::uint64_t start, const vl_bin_opts& o) {
  if (o.fixed_size != 0) return std::min<std::uint64_t>(start + o.target_size, d.size());
  if (d.size() - start <= o.min_size) return d.size();
  const std::uint64_t limit = std::min<std::uint64_t>(start + o.max_size, d.size());
  std::uint64_t mask = 1;
  while (mask < o.target_size - 1) mask = mask * 2 + 1;
  std::uint64_t h = 0;
  for (std::uint64_t i = start + o.min_size; i < limit; ++i) {
    h = (h << 1) + velta::binary::g_gear[d[i]];
    if ((h & mask) == 0) return i + 1;
  }
  return limit;
}

TEST(FastPaths, BinaryChunkKeysMatchReference) {
  std::mt19937 rng(17);
  Bytes data(300000);
  for (auto& b : data) b = static_cast<std::uint8_t>(rng());
  // A repeat, so most of its chunks are found stored (compared as bytes).
  std::copy_n(data.begin(), 100000, data.begin() + 150000);
  for (const vl_bin_opts opts :
       {vl_bin_opts{4096, 1024, 16384, 0}, vl_bin_opts{100, 0, 0, 0}, vl_bin_opts{1000, 0, 0, 1},
        vl_bin_opts{64, 16, 300, 0}, vl_bin_opts{1u << 16, 0, 0, 0}}) {
    const vl_bin_opts norm = velta::binary::normalise(&opts);
    EngineHolder e(vl_engine_new());
    vl_object* o = vl_create_binary(e.get(), "bin", data.data(), data.size(), &opts);
    ASSERT_NE(o, nullptr);
    std::vector<vl_leaf> leaves;
    vl_ext_walk(
        o->current().root,
        [](void* c, const vl_leaf* l, std::uint64_t) -> int {
          static_cast<std::vector<vl_leaf>*>(c)->push_back(*l);
          return 0;
        },
        &leaves);
    std::uint64_t at = 0;
    for (const vl_leaf& l : leaves) {
      std::vector<std::uint32_t> toks;
      for (std::uint32_t i = 0; i < l.count; ++i) toks.push_back(0xFFFFFF00u + data[at + i]);
      EXPECT_EQ(l.key, ref_key(toks.data(), toks.size()));
      EXPECT_EQ(at + l.count, ref_chunk_end(data, at, norm)) << at;
      at += l.count;
    }
    EXPECT_EQ(at, data.size());
    Bytes back(data.size());
    ASSERT_EQ(vl_read(e.get(), o, 0, back.size(), back.data()), data.size());
    EXPECT_EQ(back, data);
  }
}

// put_byte_tokens against put_keyed of the widened tokens. Natural keys
// come from three values, so equal and different contents meet under one
// key (dedupes and collision chains); sizes include an empty chunk and one
// too large to share a slab.
TEST(FastPaths, BytePutsMatchTokenPuts) {
  namespace vs = velta::store;
  std::mt19937 rng(21);
  std::unique_ptr<vl_store, void (*)(vl_store*)> fast(vl_store_new(), vl_store_free),
      ref(vl_store_new(), vl_store_free);
  std::vector<Bytes> contents;
  for (const std::size_t n : {0, 1, 5, 4096, 4096, 700000}) {
    Bytes b(n);
    for (auto& c : b) c = static_cast<std::uint8_t>(rng());
    contents.push_back(b);
  }
  contents[4][100] ^= 1;  // same length as [3], one byte apart
  for (int i = 0; i < 120; ++i) {
    const Bytes& b = contents[rng() % contents.size()];
    const std::uint64_t key = rng() % 3;
    std::vector<std::uint32_t> toks(b.size());
    for (std::size_t k = 0; k < b.size(); ++k) toks[k] = 0xFFFFFF00u + b[k];
    ASSERT_EQ(vs::put_byte_tokens(fast.get(), key, b.data(), b.size()),
              vs::put_keyed(ref.get(), key, toks.data(), toks.size()))
        << i;
  }
  ASSERT_EQ(vl_store__count(fast.get()), vl_store__count(ref.get()));
  EXPECT_EQ(vl_store__deduped(fast.get()), vl_store__deduped(ref.get()));
  for (std::uint32_t r = 0; r < vl_store__count(ref.get()); ++r) {
    std::uint32_t na = 0, nb = 0;
    std::uint64_t ka = 0, kb = 0;
    const std::uint32_t* a = vl_store__at(fast.get(), r, &na, &ka);
    const std::uint32_t* b = vl_store__at(ref.get(), r, &nb, &kb);
    EXPECT_EQ(ka, kb);
    ASSERT_EQ(std::vector<std::uint32_t>(a, a + na), std::vector<std::uint32_t>(b, b + nb)) << r;
  }
  EXPECT_TRUE(vs::check_invariants(fast.get(), true));
}

}  // namespace
