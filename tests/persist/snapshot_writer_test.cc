// Writer tests: the bytes of each layout, node numbering over shared trees,
// generations and the log restart, and what failures leave on disk.
#include "persist/snapshot_writer.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <set>
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

class SnapshotWriter : public SnapshotDirTest {};

SnapHeader header_of(const Bytes& f) { return snap_decode_header(f.data()); }

void expect_sound_header(const Bytes& f) {
  ASSERT_GE(f.size(), kSnapHeaderSize);
  EXPECT_EQ(std::string(f.begin(), f.begin() + 8), "VELTAsnp");
  EXPECT_EQ(get32(f, kSnapOffVersion), 3u);
  EXPECT_EQ(get32(f, kSnapOffHeaderCrc), crc(f.data(), kSnapHeaderCrcSpan));
  EXPECT_EQ(get32(f, kSnapOffReserved), 0u);
  EXPECT_EQ(f.size(), kSnapHeaderSize + header_of(f).stored_len);
}

// The node section and root ids of a plain body.
struct ParsedBody {
  struct Node {
    bool leaf;
    std::uint32_t left, right;
  };
  std::vector<Node> nodes;
  std::vector<std::uint32_t> root_ids;
};

ParsedBody parse_plain(const Bytes& f) {
  ParsedBody p;
  std::size_t at = kSnapHeaderSize;
  const std::uint32_t entries = get32(f, at);
  at += 4;
  at += 8 + get64(f, at) + 8ull * entries;
  const std::uint32_t chunks = get32(f, at);
  at += 12;
  for (std::uint32_t i = 0; i < chunks; ++i) at += 12 + 4ull * get32(f, at + 8);
  const std::uint32_t n_nodes = get32(f, at);
  at += 4;
  for (std::uint32_t i = 0; i < n_nodes; ++i) {
    if (f[at] == kSnapTagLeaf) {
      p.nodes.push_back({true, kSnapNoNode, kSnapNoNode});
      at += kSnapLeafRecordSize;
    } else {
      p.nodes.push_back({false, get32(f, at + 1), get32(f, at + 5)});
      at += kSnapInnerRecordSize;
    }
  }
  const std::uint32_t n_obj = get32(f, at);
  at += 4;
  for (std::uint32_t i = 0; i < n_obj; ++i) {
    at += 1 + f[at];
    const std::uint32_t v = get32(f, at);
    at += 4;
    for (std::uint32_t j = 0; j < v; ++j, at += kSnapVersionRecordSize) {
      p.root_ids.push_back(get32(f, at));
    }
  }
  return p;
}

void count_distinct(const vl_ext* n, std::set<const vl_ext*>& seen) {
  if (n == nullptr || !seen.insert(n).second) return;
  count_distinct(vl_ext_left(n), seen);
  count_distinct(vl_ext_right(n), seen);
}

std::string words(int n, unsigned seed) {
  static const char* kWords[] = {"alpha", "beta", "gamma", "delta",  "epsilon", "zeta", "eta",
                                 "theta", "iota", "kappa", "lambda", "mu",      "nu",   "xi"};
  std::string s;
  for (int i = 0; i < n; ++i) {
    seed = seed * 1103515245u + 12345u;
    s += kWords[(seed >> 16) % 14];
    s += (i % 11 == 10) ? ".\n" : " ";
  }
  return s;
}

TEST_F(SnapshotWriter, EmptyEngineHasAn80ByteBody) {
  for (int options : {VL_SAVE_UNCOMPRESSED, VL_SAVE_MAPPABLE, 3}) {
    EngineHolder e(vl_engine_new());
    const std::string p = path("empty" + std::to_string(options));
    ASSERT_EQ(vl_save_ex(e.get(), p.c_str(), options), 0) << errno;
    const Bytes f = read_file(p);
    expect_sound_header(f);
    ASSERT_EQ(f.size(), 64u + 80u);
    const SnapHeader h = header_of(f);
    EXPECT_EQ(h.flags, options == VL_SAVE_UNCOMPRESSED ? 0u : 4u);
    EXPECT_EQ(h.generation, 1u);
    EXPECT_EQ(h.stored_len, 80u);
    EXPECT_EQ(h.total_len, 80u);
    EXPECT_EQ(h.body_len, 80u);
    EXPECT_EQ(h.trailer_crc, 0u);
    EXPECT_EQ(h.body_crc, crc(f.data() + 64, 80));
    EXPECT_EQ(Bytes(f.begin() + 64, f.end()), Bytes(80, 0));
    // The save leaves a fresh log of the same generation attached.
    EXPECT_EQ(vl_wal_active(e.get()), 1);
    EXPECT_EQ(vl_engine_generation(e.get()), 1u);
    EXPECT_EQ(read_file(p + ".wal").size(), 32u);
    EXPECT_FALSE(exists(p + ".tmp"));
  }
}

TEST_F(SnapshotWriter, SharedNodesAreWrittenOnceChildrenFirst) {
  EngineHolder e(vl_engine_new());
  const std::string text = words(4000, 1);
  vl_object* a = vl_create(e.get(), "a", text.data(), text.size());
  vl_create(e.get(), "b", text.data(), text.size());
  vl_create(e.get(), "empty", "", 0);
  for (int i = 0; i < 5; ++i) {
    ASSERT_EQ(vl_update(e.get(), a, 100 + 997 * i, 4, "omega", 5), 0);
  }
  ASSERT_EQ(vl_cut(e.get(), a, 0, 0), 0);  // an empty cut may keep the root
  ASSERT_EQ(vl_save_ex(e.get(), path("s").c_str(), VL_SAVE_UNCOMPRESSED), 0) << errno;
  const ParsedBody body = parse_plain(read_file(path("s")));

  std::set<const vl_ext*> distinct;
  std::vector<const vl_ext*> roots;
  for (const auto& obj : e->objects) {
    for (const vl_version& v : obj->versions) {
      count_distinct(v.root, distinct);
      roots.push_back(v.root);
    }
  }
  EXPECT_EQ(body.nodes.size(), distinct.size());
  for (std::uint32_t id = 0; id < body.nodes.size(); ++id) {
    const auto& n = body.nodes[id];
    if (n.leaf) continue;
    EXPECT_TRUE(n.left == kSnapNoNode || n.left < id);
    EXPECT_TRUE(n.right == kSnapNoNode || n.right < id);
  }
  // Equal roots get equal ids, distinct roots distinct ids, empty trees none.
  ASSERT_EQ(body.root_ids.size(), roots.size());
  for (std::size_t i = 0; i < roots.size(); ++i) {
    EXPECT_EQ(roots[i] == nullptr, body.root_ids[i] == kSnapNoNode);
    for (std::size_t j = 0; j < i; ++j) {
      EXPECT_EQ(roots[i] == roots[j], body.root_ids[i] == body.root_ids[j]) << i << " " << j;
    }
  }
}

TEST_F(SnapshotWriter, OptionsChooseTheLayout) {
  EngineHolder e(vl_engine_new());
  const std::string text = words(3000, 2);
  vl_create(e.get(), "doc", text.data(), text.size());
  vl_create(e.get(), "nothing", "", 0);
  struct Case {
    int options;
    std::uint32_t flags;
  };
  for (const Case& c : {Case{0, kSnapFlagZstd}, Case{8, kSnapFlagZstd}, Case{1, kSnapFlagMappable},
                        Case{2, kSnapFlagPlain}, Case{3, kSnapFlagMappable}}) {
    const std::string p = path("opt" + std::to_string(c.options));
    ASSERT_EQ(vl_save_ex(e.get(), p.c_str(), c.options), 0) << errno;
    const Bytes f = read_file(p);
    expect_sound_header(f);
    const SnapHeader h = header_of(f);
    EXPECT_EQ(h.flags, c.flags) << c.options;
    if (c.flags == kSnapFlagZstd) {
      EXPECT_LT(h.stored_len, h.body_len);
    }
    if (c.flags == kSnapFlagPlain) {
      EXPECT_EQ(h.stored_len, h.body_len);
      EXPECT_EQ(h.total_len, h.body_len);
    }
    if (c.flags == kSnapFlagMappable) {
      // Tokens moved to the trailer, which starts 4-aligned and holds every
      // chunk's tokens in store order.
      EXPECT_EQ(h.body_len % 4, 0u);
      Bytes tokens;
      vl_store* st = vl_engine_store(e.get());
      for (std::uint32_t i = 0; i < vl_store__count(st); ++i) {
        std::uint32_t k = 0;
        std::uint64_t key = 0;
        const auto* t = reinterpret_cast<const std::uint8_t*>(vl_store__at(st, i, &k, &key));
        tokens.insert(tokens.end(), t, t + 4ull * k);
      }
      EXPECT_EQ(h.total_len, h.body_len + tokens.size());
      EXPECT_EQ(h.stored_len, h.total_len);
      EXPECT_EQ(Bytes(f.begin() + 64 + static_cast<std::ptrdiff_t>(h.body_len), f.end()), tokens);
      EXPECT_EQ(h.trailer_crc, crc(tokens.data(), tokens.size()));
      EXPECT_EQ(h.body_crc, crc(f.data() + 64, h.body_len));
    }
  }
}

TEST_F(SnapshotWriter, GenerationsFollowTheLogAndMoveWithThePath) {
  EngineHolder e(vl_engine_new());
  const std::string p = path("store");
  ASSERT_EQ(vl_save(e.get(), p.c_str()), 0);
  vl_create(e.get(), "a", "hello world", 11);
  EXPECT_GT(read_file(p + ".wal").size(), 32u);
  ASSERT_EQ(vl_save(e.get(), p.c_str()), 0);
  EXPECT_EQ(header_of(read_file(p)).generation, 2u);
  EXPECT_EQ(read_file(p + ".wal").size(), 32u);
  EXPECT_EQ(vl_wal_records(e.get()), 0u);

  // Saving elsewhere moves the logging; the old pair stays as it was.
  vl_create(e.get(), "b", "more", 4);
  const Bytes old_snap = read_file(p);
  const Bytes old_log = read_file(p + ".wal");
  const std::string q = path("other");
  ASSERT_EQ(vl_save(e.get(), q.c_str()), 0);
  EXPECT_EQ(header_of(read_file(q)).generation, 3u);
  EXPECT_EQ(read_file(p), old_snap);
  EXPECT_EQ(read_file(p + ".wal"), old_log);
  EXPECT_STREQ(vl_store_path(e.get()), q.c_str());

  // The path may be the engine's own store path, which the restart frees.
  ASSERT_EQ(vl_save(e.get(), vl_store_path(e.get())), 0);
  EXPECT_EQ(header_of(read_file(q)).generation, 4u);
  EXPECT_EQ(vl_engine_generation(e.get()), 4u);
}

TEST_F(SnapshotWriter, FailuresLeaveTheOldSnapshot) {
  EngineHolder e(vl_engine_new());
  vl_create(e.get(), "a", "hello", 5);
  errno = 0;
  EXPECT_EQ(vl_save(nullptr, path("x").c_str()), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(vl_save(e.get(), nullptr), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(vl_save(e.get(), path("missing/dir/x").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(vl_wal_active(e.get()), 0) << "no log attached by a failed save";

  // The rename fails when the target is a non-empty directory: the
  // temporary file goes away.
  const std::string d = path("occupied");
  ASSERT_EQ(mkdir(d.c_str(), 0700), 0);
  write_file(d + "/f", Bytes{1});
  EXPECT_EQ(vl_save(e.get(), d.c_str()), -1);
  EXPECT_NE(errno, 0);
  EXPECT_FALSE(exists(d + ".tmp"));

  const std::string p = path("s");
  ASSERT_EQ(vl_save(e.get(), p.c_str()), 0);
  const Bytes before = read_file(p);
  const Bytes log_before = read_file(p + ".wal");

  // A tree deeper than any loader accepts: refused before anything is
  // written, the log untouched.
  vl_ext* node = vl_ext_retain(e->objects[0]->current().root);
  for (std::uint32_t i = 0; i < kSnapMaxTreeDepth; ++i) {
    vl_ext* up = vl_ext_retain(vl_ext_mk_inner_p(node, nullptr, 1));
    vl_ext_release(node);
    node = up;
  }
  std::unique_ptr<vl_object> deep = velta::engine::make_object("deep");
  velta::engine::push_version(e.get(), deep.get(), node);
  velta::engine::attach(e.get(), std::move(deep));
  EXPECT_EQ(vl_save(e.get(), p.c_str()), -1);
  EXPECT_EQ(errno, EOVERFLOW);
  EXPECT_EQ(read_file(p), before);
  EXPECT_EQ(read_file(p + ".wal"), log_before);
  EXPECT_FALSE(exists(p + ".tmp"));
  EXPECT_EQ(vl_engine_generation(e.get()), 1u);
}

// Post-order numbering done the plain recursive way, for the golden test.
struct Numbering {
  std::map<const vl_ext*, std::uint32_t> ids;
  Builder records;

  std::uint32_t number(const vl_ext* n) {
    if (n == nullptr) return kSnapNoNode;
    if (auto it = ids.find(n); it != ids.end()) return it->second;
    const std::uint32_t l = number(vl_ext_left(n));
    const std::uint32_t r = number(vl_ext_right(n));
    if (vl_ext_is_leaf(n)) {
      vl_leaf lf{};
      std::uint64_t bytes = 0;
      vl_ext_leaf_info(n, &lf, &bytes);
      records.leaf(lf.key, lf.off, lf.count, bytes, vl_ext_prio(n));
    } else {
      records.inner(l, r, vl_ext_prio(n));
    }
    const auto id = static_cast<std::uint32_t>(ids.size());
    ids.emplace(n, id);
    return id;
  }
};

// The whole file, byte for byte, rebuilt field by field from the engine's
// state in both uncompressed layouts.
TEST_F(SnapshotWriter, GoldenBytesOfPlainAndMappableFiles) {
  EngineHolder e(vl_engine_new());
  vl_object* doc = vl_create(e.get(), "doc", "hello world, hello", 18);
  ASSERT_EQ(vl_update(e.get(), doc, 5, 0, " there", 6), 0);
  vl_create(e.get(), "nil", "", 0);
  vl_bin_opts fixed{64, 0, 0, 1};
  std::string raw;
  for (int i = 0; i < 203; ++i) raw += static_cast<char>(i * 7);
  vl_create_binary(e.get(), "bin", raw.data(), raw.size(), &fixed);  // 4 leaves
  vl_create_binary(e.get(), "bin2", raw.data(), raw.size(), &fixed);
  vl_dict* dict = vl_engine_dict(e.get());
  vl_store* store = vl_engine_store(e.get());
  ASSERT_GT(vl_dict__entries(dict), 0u);
  ASSERT_GT(vl_store__deduped(store), 0u);

  std::uint64_t generation = 0;  // each save moves the log on by one
  for (int options : {VL_SAVE_UNCOMPRESSED, VL_SAVE_MAPPABLE}) {
    const bool mappable = options == VL_SAVE_MAPPABLE;
    ++generation;
    Builder body;
    std::uint64_t text_len = 0;
    const std::uint8_t* text = vl_dict__texts(dict, &text_len);
    body.u32(vl_dict__entries(dict)).u64(text_len).raw(text, text_len);
    for (std::uint32_t i = 0; i < vl_dict__entries(dict); ++i) {
      body.u32(vl_dict__offs(dict)[i]).u32(vl_dict__lens(dict)[i]);
    }
    Builder trailer;
    body.u32(vl_store__count(store)).u64(vl_store__deduped(store));
    for (std::uint32_t i = 0; i < vl_store__count(store); ++i) {
      std::uint32_t k = 0;
      std::uint64_t key = 0;
      const std::uint32_t* toks = vl_store__at(store, i, &k, &key);
      body.u64(key).u32(k);
      for (std::uint32_t t = 0; t < k; ++t) (mappable ? trailer : body).u32(toks[t]);
    }
    Numbering nb;
    std::vector<std::uint32_t> roots;
    for (const auto& obj : e->objects) {
      for (const vl_version& v : obj->versions) roots.push_back(nb.number(v.root));
    }
    ASSERT_LT(nb.records.v.size(), kSnapLeafRecordSize * nb.ids.size()) << "no inner record";
    body.u32(static_cast<std::uint32_t>(nb.ids.size()))
        .raw(nb.records.v.data(), nb.records.v.size());
    body.u32(static_cast<std::uint32_t>(e->objects.size()));
    std::size_t r = 0;
    for (const auto& obj : e->objects) {
      body.name(obj->name).u32(obj->n_versions());
      for (const vl_version& v : obj->versions) {
        body.version(roots[r++], v.tokens, v.bytes, v.dict_version);
      }
    }
    vl_stats st{};
    vl_engine__stats_get(e.get(), &st);
    body.u64(st.chunks_put).u64(st.chunks_deduped).u64(st.tokens_scanned);
    body.u64(st.tokens_decoded).u64(st.bytes_ingested).u64(st.store_bytes);
    if (mappable) {
      while (body.v.size() % 4 != 0) body.u8(0);
    }
    const std::uint64_t len = body.v.size();
    const std::uint64_t tlen = trailer.v.size();

    Builder file;
    file.raw("VELTAsnp", 8).u32(3).u32(mappable ? 4 : 0).u64(generation).u64(len + tlen);
    file.u32(crc(body.v.data(), len)).u64(len + tlen).u64(len);
    file.u32(mappable ? crc(trailer.v.data(), tlen) : 0);
    file.u32(crc(file.v.data(), 56)).u32(0);
    ASSERT_EQ(file.v.size(), 64u);
    file.raw(body.v.data(), len).raw(trailer.v.data(), tlen);

    const std::string p = path("golden" + std::to_string(options));
    ASSERT_EQ(vl_save_ex(e.get(), p.c_str(), options), 0) << errno;
    EXPECT_EQ(read_file(p), file.v) << options;
  }
}

// A store opened through a mapping borrows its trailer; should the file
// change under the mapping after the load, a save must not carry a damaged
// token into a snapshot no loader accepts.
TEST_F(SnapshotWriter, RefusesToSaveFromADamagedMapping) {
  EngineHolder e(vl_engine_new());
  vl_bin_opts opts;
  vl_bin_opts_default(&opts);
  const std::string raw(5000, 'q');
  vl_create_binary(e.get(), "raw", raw.data(), raw.size(), &opts);
  const std::string p = path("mapped");
  ASSERT_EQ(vl_save_ex(e.get(), p.c_str(), VL_SAVE_MAPPABLE), 0);
  Bytes f = read_file(p);

  const int fd = open(p.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  void* map = mmap(nullptr, f.size(), PROT_READ, MAP_PRIVATE, fd, 0);
  ASSERT_NE(map, MAP_FAILED);
  std::uint64_t gen = 0;
  EngineHolder loaded(snap_load_ex(static_cast<const std::uint8_t*>(map), f.size(), &gen, map));
  ASSERT_NE(loaded, nullptr) << errno;
  vl_store__set_map(vl_engine_store(loaded.get()), map, f.size(), nullptr);
  // Pages of a private mapping that were never written show the file.
  const std::uint8_t flipped = f[kSnapHeaderSize + header_of(f).body_len] ^ 1;  // 'q' -> 'p'
  ASSERT_EQ(pwrite(fd, &flipped, 1, static_cast<off_t>(kSnapHeaderSize + header_of(f).body_len)),
            1);
  close(fd);
  const std::string q = path("copy");
  EXPECT_EQ(vl_save(loaded.get(), q.c_str()), -1);
  EXPECT_EQ(errno, EIO);
  EXPECT_FALSE(exists(q));
  EXPECT_FALSE(exists(q + ".tmp"));
}

}  // namespace
}  // namespace velta::snaptest
