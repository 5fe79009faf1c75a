// Loader tests over hand-made files: what a valid file builds, and how each
// kind of damage or lie is refused with no engine and no leaked node.
#include "persist/snapshot_loader.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "persist/snapshot_format.h"
#include "snapshot_test_util.h"
#include "velta.h"

namespace velta::snaptest {
namespace {

using velta::persist::kSnapHeaderSize;
using velta::persist::kSnapNoNode;

constexpr std::uint32_t kA = 0xFFFFFF41;  // byte token 'A'
constexpr std::uint32_t kB = 0xFFFFFF42;  // byte token 'B'
const std::vector<std::uint32_t> kAB = {kA, kB};

// Dictionary section with no entries, then one chunk "AB".
Builder head_with_chunk_ab() {
  Builder b;
  b.u32(0).u64(0);  // dictionary
  b.u32(1).u64(5);  // one chunk, dedup 5
  b.u64(chunk_key(kAB)).u32(2).u32(kA).u32(kB);
  return b;
}

struct Loaded {
  EngineHolder engine;
  int err = 0;
  std::uint64_t gen = 0;
};

Loaded load(const Bytes& file, const void* mapping = nullptr) {
  Loaded l;
  l.gen = 12345;
  errno = 0;
  l.engine.reset(snap_load_ex(file.data(), file.size(), &l.gen, mapping));
  l.err = errno;
  return l;
}

// Loads and checks that a refusal left no node behind.
int refusal(const Bytes& file) {
  const std::uint64_t live = vl_ext_nodes_alloced();
  Loaded l = load(file);
  EXPECT_EQ(l.engine, nullptr);
  EXPECT_EQ(l.gen, 12345u) << "generation written on failure";
  EXPECT_EQ(vl_ext_nodes_alloced(), live) << "nodes leaked by a failed load";
  return l.engine ? 0 : l.err;
}

std::string text_of(vl_engine* e, vl_object* o, std::uint32_t v) {
  std::string s(vl_object_bytes(o, v), '\0');
  s.resize(vl_read_version(e, o, v, 0, s.size(), s.data()));
  return s;
}

TEST(SnapshotLoader, BuildsObjectsSharedTreesAndCounters) {
  // Leaf "AB", leaf "B", inner over both, an unreached leaf; object "x" with
  // an empty version, a leaf version and the inner version.
  Builder b = head_with_chunk_ab();
  b.u32(4);
  b.leaf(chunk_key(kAB), 0, 2, 2, 10).leaf(chunk_key(kAB), 1, 1, 1, 11);
  b.inner(0, 1, 20).leaf(chunk_key(kAB), 0, 1, 1, 12);
  b.u32(1).name("x").u32(3).version(kSnapNoNode, 0, 0, 1).version(0, 2, 2, 2).version(2, 3, 3, 3);
  b.stats(100);
  const std::uint64_t live = vl_ext_nodes_alloced();
  Loaded l = load(make_file(b.v, 0, 42));
  ASSERT_NE(l.engine, nullptr) << l.err;
  EXPECT_EQ(l.gen, 42u);
  EXPECT_EQ(vl_ext_nodes_alloced(), live + 3) << "the unreached leaf is freed";
  vl_object* o = vl_object_open(l.engine.get(), "x");
  ASSERT_NE(o, nullptr);
  EXPECT_EQ(text_of(l.engine.get(), o, 0), "");
  EXPECT_EQ(text_of(l.engine.get(), o, 1), "AB");
  EXPECT_EQ(text_of(l.engine.get(), o, 2), "ABB");
  EXPECT_EQ(vl_object_dict_version(o, 2), 3u);
  vl_stats st{};
  vl_engine__stats_get(l.engine.get(), &st);
  EXPECT_EQ(st.chunks_put, 100u);
  EXPECT_EQ(st.store_bytes, 105u);
  EXPECT_EQ(vl_store__deduped(vl_engine_store(l.engine.get())), 5u);
  // Every count is parents + versions: leaf 0 is version 1's root and the
  // inner node's left child.
  std::vector<vl_ext*> roots;
  for (const vl_version& v : o->versions) {
    if (v.root != nullptr) roots.push_back(v.root);
  }
  EXPECT_EQ(vl_ext_audit(roots.data(), static_cast<std::uint32_t>(roots.size()), 0), 0);
  l.engine.reset();
  EXPECT_EQ(vl_ext_nodes_alloced(), live);
}

TEST(SnapshotLoader, FreesUnreachedInnerNodesButKeepsWhatVersionsShare) {
  // Leaves 0 and 1, inner 2 over both, inner 3 over 2 and 1; only leaf 0 is
  // a root. Nodes 1 to 3 are reached only through the unreached node 3.
  Builder b = head_with_chunk_ab();
  b.u32(4);
  b.leaf(chunk_key(kAB), 0, 2, 2, 10).leaf(chunk_key(kAB), 1, 1, 1, 11);
  b.inner(0, 1, 20).inner(2, 1, 30);
  b.u32(1).name("x").u32(1).version(0, 2, 2, 1);
  b.stats();
  const std::uint64_t live = vl_ext_nodes_alloced();
  const std::uint64_t freed = vl_ext_nodes_freed();
  Loaded l = load(make_file(b.v, 0, 1));
  ASSERT_NE(l.engine, nullptr) << l.err;
  EXPECT_EQ(vl_ext_nodes_alloced(), live + 1);
  EXPECT_EQ(vl_ext_nodes_freed(), freed + 3);
  vl_object* o = vl_object_open(l.engine.get(), "x");
  ASSERT_NE(o, nullptr);
  vl_ext* root = o->versions[0].root;
  EXPECT_EQ(vl_ext_audit(&root, 1, 0), 0);
  EXPECT_EQ(text_of(l.engine.get(), o, 0), "AB");
}

TEST(SnapshotLoader, ManyEmptyNamedObjectsAndTrailingBytes) {
  Builder b;
  b.u32(0).u64(0).u32(0).u64(0).u32(0);  // no entries, chunks or nodes
  const std::uint32_t n = 300;
  b.u32(n);
  for (std::uint32_t i = 0; i < n; ++i) b.name("").u32(1).version(kSnapNoNode, 0, 0);
  b.stats();
  b.u32(0xDEADBEEF);  // bytes between the statistics and the end of the body
  Bytes file = make_file(b.v);
  file.push_back(0x55);  // and after the payload
  Loaded l = load(file);
  ASSERT_NE(l.engine, nullptr) << l.err;
  EXPECT_EQ(vl_engine_objects(l.engine.get()), n);
}

TEST(SnapshotLoader, HeaderDamageAndTruncation) {
  Builder b = head_with_chunk_ab();
  b.u32(1).leaf(chunk_key(kAB), 0, 2, 2, 1);
  b.u32(1).name("x").u32(1).version(0, 2, 2);
  b.stats();
  for (std::uint32_t flags : {0u, 1u, 2u}) {
    const Bytes good = make_file(b.v, flags);
    ASSERT_NE(load(good).engine, nullptr);
    // Every header byte but the reserved four is covered by the header CRC.
    for (std::size_t i = 0; i < kSnapHeaderSize; ++i) {
      Bytes bad = good;
      bad[i] ^= 0x01;
      if (i >= velta::persist::kSnapOffReserved) {
        EXPECT_NE(load(bad).engine, nullptr) << "reserved byte " << i;
      } else {
        EXPECT_EQ(refusal(bad), EINVAL) << "header byte " << i;
      }
    }
    // Any single changed payload bit: body CRC, or the decompressor. A zstd
    // frame has bits its decoder ignores; flipping one changes nothing.
    for (std::size_t i = kSnapHeaderSize; i < good.size(); ++i) {
      Bytes bad = good;
      bad[i] ^= 0x10;
      Loaded l = load(bad);
      if (l.engine != nullptr && flags == 2) {
        EXPECT_EQ(text_of(l.engine.get(), vl_object_open(l.engine.get(), "x"), 0), "AB");
        continue;
      }
      l.engine.reset();
      EXPECT_EQ(refusal(bad), EINVAL) << "payload byte " << i << " flags " << flags;
    }
    for (std::size_t n = 0; n < good.size(); ++n) {
      const Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(n));
      EXPECT_EQ(refusal(cut), EINVAL) << "cut at " << n;
    }
  }
}

TEST(SnapshotLoader, LengthFieldsMustAgree) {
  Builder b;
  b.u32(0).u64(0).u32(0).u64(0).u32(0).u32(0).stats();
  const Bytes good = make_file(b.v);
  struct Case {
    std::size_t off;
    std::uint64_t value;
  };
  using namespace velta::persist;
  for (const Case& c : {Case{kSnapOffTotalLen, 79}, Case{kSnapOffTotalLen, 81},
                        Case{kSnapOffBodyLen, 81}, Case{kSnapOffStoredLen, 81}}) {
    Bytes bad = good;
    put64_at(bad, c.off, c.value);
    reseal_header(bad);
    EXPECT_EQ(refusal(bad), EINVAL) << c.off << " = " << c.value;
  }
  // A compressed payload that claims an impossible expansion is refused
  // before anything is allocated for it.
  for (std::uint32_t flags : {1u, 2u}) {
    Bytes bomb = make_file(b.v, 1);
    put32_at(bomb, kSnapOffFlags, flags);
    put64_at(bomb, kSnapOffTotalLen, 1ull << 60);
    put64_at(bomb, kSnapOffBodyLen, 80);
    reseal_header(bomb);
    EXPECT_EQ(refusal(bomb), EINVAL);
  }
}

// total_len 0 makes the payload bytes themselves the body, whatever the
// flags: a compressed payload that expands to nothing must not send the
// body reads into the (empty) decompression buffer.
TEST(SnapshotLoader, ZeroTotalLengthMakesThePayloadTheBody) {
  using namespace velta::persist;
  Builder b;
  b.u32(0).u64(0).u32(0).u64(0).u32(0).u32(0).stats(3);
  Bytes plain = make_file(b.v);
  put64_at(plain, kSnapOffTotalLen, 0);
  put64_at(plain, kSnapOffBodyLen, 0);
  reseal_header(plain);
  Loaded l = load(plain);
  ASSERT_NE(l.engine, nullptr) << l.err;
  vl_stats st{};
  vl_engine_stats(l.engine.get(), &st);
  EXPECT_EQ(st.tokens_scanned, 5u);

  for (std::uint32_t flags : {kSnapFlagZlib, kSnapFlagZstd}) {
    Bytes f = make_file(Bytes{}, flags);  // a frame of nothing: total_len 0
    ASSERT_EQ(get64(f, kSnapOffTotalLen), 0u);
    ASSERT_GT(f.size(), kSnapHeaderSize);
    // The body CRC matches the payload, so the loader goes on to parse it.
    put32_at(f, kSnapOffBodyCrc, crc(f.data() + kSnapHeaderSize, f.size() - kSnapHeaderSize));
    reseal_header(f);
    EXPECT_EQ(refusal(f), EINVAL) << flags;
  }
}

// Files whose every field is well-formed but whose content lies.
TEST(SnapshotLoader, RefusesInconsistentTrees) {
  const std::uint64_t key = chunk_key(kAB);
  struct Case {
    const char* what;
    Builder nodes;  // node section after the count
    std::uint32_t n_nodes;
    Builder version;  // one version record
  };
  std::vector<Case> cases;
  cases.push_back({"inner names itself", Builder().leaf(key, 0, 2, 2, 1).inner(0, 1, 2), 2,
                   Builder().version(1, 2, 2)});
  cases.push_back({"inner names a later id",
                   Builder().inner(1, kSnapNoNode, 2).leaf(key, 0, 2, 2, 1), 2,
                   Builder().version(0, 2, 2)});
  cases.push_back(
      {"leaf past its chunk", Builder().leaf(key, 1, 2, 2, 1), 1, Builder().version(0, 2, 2)});
  cases.push_back({"leaf of an unknown chunk", Builder().leaf(key + 1, 0, 1, 1, 1), 1,
                   Builder().version(0, 1, 1)});
  cases.push_back(
      {"leaf byte length lies", Builder().leaf(key, 0, 2, 7, 1), 1, Builder().version(0, 2, 7)});
  // Later cut leaves over one chunk are measured from its kept offsets.
  cases.push_back({"second cut leaf's byte length lies",
                   Builder().leaf(key, 0, 1, 1, 1).leaf(key, 1, 1, 4, 2), 2,
                   Builder().version(0, 1, 1)});
  cases.push_back({"third cut leaf's byte length lies",
                   Builder().leaf(key, 0, 1, 1, 1).leaf(key, 1, 1, 1, 2).leaf(key, 0, 1, 0, 3), 3,
                   Builder().version(0, 1, 1)});
  // A childless inner node would be taken for a leaf over no chunk, which
  // the next save writes as a leaf record no load accepts.
  cases.push_back({"inner without children",
                   Builder().leaf(key, 0, 2, 2, 1).inner(kSnapNoNode, kSnapNoNode, 2), 2,
                   Builder().version(1, 0, 0)});
  cases.push_back({"unknown tag", Builder().u8(2).u32(0).u32(0).u32(0), 1,
                   Builder().version(kSnapNoNode, 0, 0)});
  cases.push_back({"empty root with tokens", Builder(), 0, Builder().version(kSnapNoNode, 2, 2)});
  cases.push_back(
      {"root id out of range", Builder().leaf(key, 0, 2, 2, 1), 1, Builder().version(1, 2, 2)});
  cases.push_back(
      {"version totals lie", Builder().leaf(key, 0, 2, 2, 1), 1, Builder().version(0, 2, 3)});
  for (Case& c : cases) {
    Builder b = head_with_chunk_ab();
    b.u32(c.n_nodes).raw(c.nodes.v.data(), c.nodes.v.size());
    b.u32(1).name("x").u32(1).raw(c.version.v.data(), c.version.v.size());
    b.stats();
    EXPECT_EQ(refusal(make_file(b.v)), EINVAL) << c.what;
  }
}

TEST(SnapshotLoader, RefusesBadObjectRecords) {
  for (int variant = 0; variant < 3; ++variant) {
    Builder b;
    b.u32(0).u64(0).u32(0).u64(0).u32(0);
    b.u32(1);
    if (variant == 0) b.name("x").u32(0);  // no versions
    if (variant == 1) b.name(std::string(64, 'n')).u32(1).version(kSnapNoNode, 0, 0);
    if (variant == 2) b.name("x").u32(2).version(kSnapNoNode, 0, 0);  // second version missing
    b.stats();
    EXPECT_EQ(refusal(make_file(b.v)), EINVAL) << variant;
  }
  Builder ok;
  ok.u32(0).u64(0).u32(0).u64(0).u32(0).u32(1);
  ok.name(std::string(63, 'n')).u32(1).version(kSnapNoNode, 0, 0).stats();
  EXPECT_NE(load(make_file(ok.v)).engine, nullptr);
}

// A DAG of n doubling levels over a 2-token leaf: 2^(n+1) tokens.
Bytes doubling_file(std::uint32_t levels) {
  Builder b = head_with_chunk_ab();
  b.u32(levels + 1).leaf(chunk_key(kAB), 0, 2, 2, 1);
  for (std::uint32_t i = 0; i < levels; ++i) b.inner(i, i, 2);
  const std::uint64_t tokens = levels + 1 >= 64 ? 0 : 1ull << (levels + 1);
  b.u32(1).name("big").u32(1).version(levels, tokens, tokens).stats();
  return make_file(b.v);
}

TEST(SnapshotLoader, SharedTotalsThatOverflowAreRefused) {
  Loaded l = load(doubling_file(62));  // 2^63 tokens: fits
  ASSERT_NE(l.engine, nullptr) << l.err;
  vl_object* o = vl_object_open(l.engine.get(), "big");
  char buf[8] = {};
  EXPECT_EQ(vl_read(l.engine.get(), o, (1ull << 63) - 3, 8, buf), 3u);
  EXPECT_EQ(std::string(buf, 3), "BAB");
  l.engine.reset();
  EXPECT_EQ(refusal(doubling_file(63)), EINVAL);  // 2^64 tokens
}

TEST(SnapshotLoader, RefusesTreesTooDeep) {
  using velta::persist::kSnapMaxTreeDepth;
  for (std::uint32_t depth : {kSnapMaxTreeDepth, kSnapMaxTreeDepth + 1}) {
    Builder b = head_with_chunk_ab();
    b.u32(depth).leaf(chunk_key(kAB), 0, 2, 2, 1);
    for (std::uint32_t i = 1; i < depth; ++i) b.inner(i - 1, kSnapNoNode, 2);
    b.u32(1).name("deep").u32(1).version(depth - 1, 2, 2).stats();
    if (depth == kSnapMaxTreeDepth) {
      EXPECT_NE(load(make_file(b.v)).engine, nullptr);
    } else {
      EXPECT_EQ(refusal(make_file(b.v)), EINVAL);
    }
  }
}

TEST(SnapshotLoader, RefusesLeavesOverUnassignedIds) {
  // Id 7 is not in the (empty) dictionary: it measures 0 bytes today and
  // would measure more once a create learns seven entries.
  const std::vector<std::uint32_t> toks = {kA, 7};
  for (std::uint32_t off : {0u, 1u}) {
    Builder b;
    b.u32(0).u64(0).u32(1).u64(0).u64(chunk_key(toks)).u32(2).u32(kA).u32(7);
    b.u32(1).leaf(chunk_key(toks), off, 1, off == 0 ? 1 : 0, 1);
    b.u32(1).name("x").u32(1).version(0, 1, off == 0 ? 1 : 0).stats();
    if (off == 0) {
      EXPECT_NE(load(make_file(b.v)).engine, nullptr) << "leaf avoids the unassigned id";
    } else {
      EXPECT_EQ(refusal(make_file(b.v)), EINVAL);
    }
  }
}

TEST(SnapshotLoader, ChunkKeysAreChecked) {
  Builder b;
  b.u32(0).u64(0).u32(1).u64(0).u64(chunk_key(kAB)).u32(2).u32(kA).u32(kA);
  b.u32(0).u32(0).stats();
  EXPECT_EQ(refusal(make_file(b.v)), EINVAL);
}

TEST(SnapshotLoader, MappableTrailerKeysAreCheckedBorrowedOrCopied) {
  // Body with the chunk record but tokens in the trailer; a token changed
  // to another one-byte token keeps every length but breaks the key.
  Builder b;
  b.u32(0).u64(0).u32(1).u64(0).u64(chunk_key(kAB)).u32(2);
  b.u32(1).leaf(chunk_key(kAB), 0, 2, 2, 1);
  b.u32(1).name("x").u32(1).version(0, 2, 2).stats();
  while (b.v.size() % 4 != 0) b.u8(0);
  Builder trailer;
  trailer.u32(kA).u32(0xFFFFFF43);  // "AC" under the key of "AB"
  // The loader only cares whether a mapping is given; aligned storage
  // stands in for one here.
  Bytes file = make_file(b.v, 4, 1, trailer.v);
  std::vector<std::uint32_t> aligned((file.size() + 3) / 4);
  std::memcpy(aligned.data(), file.data(), file.size());
  const auto* p = reinterpret_cast<const std::uint8_t*>(aligned.data());
  EXPECT_EQ(refusal(file), EINVAL) << "copied chunks are re-hashed";
  std::uint64_t gen = 0;
  errno = 0;
  // Borrowed chunks are hashed at first use: the load succeeds, the read
  // of the damaged chunk fails.
  EngineHolder e(snap_load_ex(p, file.size(), &gen, p));
  ASSERT_NE(e, nullptr);
  char out[2] = {0, 0};
  errno = 0;
  EXPECT_EQ(vl_read(e.get(), vl_object_open(e.get(), "x"), 0, 2, out), 0u);
  EXPECT_EQ(errno, EIO);
  errno = 0;
  EXPECT_EQ(vl_update(e.get(), vl_object_open(e.get(), "x"), 1, 1, "z", 1), -1);
  EXPECT_EQ(errno, EIO);
  std::uint64_t n = 7;
  EXPECT_EQ(vl_store_get(vl_engine_store(e.get()), chunk_key(kAB), &n), nullptr);
  EXPECT_EQ(n, 0u);
}

// Cut leaves over a borrowed chunk are measured over the mapped tokens and
// the chunk itself is checked at first use: damage that keeps every length
// opens and fails the first read; damage or a lie that changes a length
// fails the open (EIO when the chunk does not check out, else EINVAL).
TEST(SnapshotLoader, CutLeavesOverBorrowedChunksCheckTheChunkAtFirstUse) {
  struct Case {
    std::uint32_t second;      // the trailer's second token
    std::uint64_t second_len;  // byte length the second leaf claims
    int open_err;              // 0: the mapped load succeeds
    int read_err;              // then: 0 reads "AB"
  };
  const Case cases[] = {
      {kB, 1, 0, 0},
      {0xFFFFFF43, 1, 0, EIO},  // "AC" under the key of "AB"
      {7, 1, EIO, 0},           // an unassigned id measures 0 bytes
      {kB, 2, EINVAL, 0},       // an intact chunk, a lying leaf
  };
  for (const Case& c : cases) {
    Builder b;
    b.u32(0).u64(0).u32(1).u64(0).u64(chunk_key(kAB)).u32(2);
    b.u32(3).leaf(chunk_key(kAB), 0, 1, 1, 1).leaf(chunk_key(kAB), 1, 1, c.second_len, 2);
    b.inner(0, 1, 3);
    b.u32(1).name("x").u32(1).version(2, 2, 1 + c.second_len).stats();
    while (b.v.size() % 4 != 0) b.u8(0);
    Builder trailer;
    trailer.u32(kA).u32(c.second);
    const Bytes file = make_file(b.v, 4, 1, trailer.v);
    std::vector<std::uint32_t> aligned((file.size() + 3) / 4);
    std::memcpy(aligned.data(), file.data(), file.size());
    const auto* p = reinterpret_cast<const std::uint8_t*>(aligned.data());
    const std::uint64_t live = vl_ext_nodes_alloced();
    std::uint64_t gen = 0;
    errno = 0;
    EngineHolder e(snap_load_ex(p, file.size(), &gen, p));
    if (c.open_err != 0) {
      EXPECT_EQ(e, nullptr) << c.second;
      EXPECT_EQ(errno, c.open_err) << c.second;
      EXPECT_EQ(vl_ext_nodes_alloced(), live);
      continue;
    }
    ASSERT_NE(e, nullptr) << c.second << " " << errno;
    char out[2] = {0, 0};
    errno = 0;
    const std::uint64_t got = vl_read(e.get(), vl_object_open(e.get(), "x"), 0, 2, out);
    if (c.read_err == 0) {
      EXPECT_EQ(std::string(out, got), "AB");
    } else {
      EXPECT_EQ(got, 0u);
      EXPECT_EQ(errno, c.read_err);
    }
  }
}

}  // namespace
}  // namespace velta::snaptest
