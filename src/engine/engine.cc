// Engine core: object lifetime, creation from text, byte-range reads,
// deletion, rebuilding from leaves, and the position helpers every edit
// uses (locate, split and join, push_version).
//
// Every operation that allocates does all of it before it logs or touches
// the table, so running out of memory (std::bad_alloc, turned into the
// call's failure value at the C edge) leaves texts and the log unchanged.
#include "engine/engine.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "dict/dict.h"
#include "extent/node.h"
#include "extent/treap.h"
#include "extent/walk.h"
#include "store/store.h"
#include "util/capi_guard.h"

vl_object::~vl_object() {
  for (const vl_version& v : versions) vl_ext_release(v.root);
}

vl_engine::~vl_engine() {
  log.reset();
  objects.clear();
  vl_dict_free(dict);
  vl_store_free(store);
}

namespace velta::engine {

namespace {

// Ids per chunk for a freshly created text; an edit stores its window as one
// chunk whatever its size.
constexpr std::uint64_t kChunkIds = 1024;

// How many new dictionary entries one text may add.
constexpr std::uint32_t kLearnLimit = 1048576;

// Reads of at least this many bytes list their leaves before copying.
constexpr std::uint64_t kCollectFrom = 16384;

struct ReadCtx {
  vl_engine* engine;
  std::uint64_t start;    // first byte wanted
  std::uint64_t len;      // bytes wanted (already clipped to the text)
  std::uint64_t written;  // bytes copied so far
  std::uint8_t* dest;
  bool damaged = false;  // a leaf's chunk failed its first-use check
};

// The chunk under `key` when its tokens may be read; throws DamagedData
// when it is a borrowed chunk found damaged.
const vl_chunk* usable(vl_engine* e, std::uint64_t key) {
  vl_chunk* chunk = store::find(e->store, key);
  if (chunk != nullptr && !readable(e->dict, e->store, chunk)) throw DamagedData();
  return chunk;
}

int read_leaf(void* ctx, const vl_leaf* leaf, std::uint64_t /*bytes*/, std::uint64_t leaf_start) {
  auto* rc = static_cast<ReadCtx*>(ctx);
  if (rc->written >= rc->len || rc->damaged) return 0;
  vl_engine* e = rc->engine;
  vl_chunk* chunk = store::find(e->store, leaf->key);
  if (chunk == nullptr) return 0;
  // Called from the tree walk, which must not unwind: flag and stop.
  if (!readable(e->dict, e->store, chunk)) {
    rc->damaged = true;
    return 0;
  }
  // A leaf never reaches past its chunk (create, update and rebuild see to
  // that); clamp anyway so a damaged leaf cannot read outside the array.
  if (leaf->off >= chunk->n) return 0;
  const std::uint32_t count = std::min(leaf->count, chunk->n - leaf->off);
  const std::uint32_t* toks = chunk->toks + leaf->off;
  std::uint64_t p = leaf_start;
  std::uint32_t i = 0;
  // Tokens before `start`, and the one holding it, one at a time.
  for (; i < count && rc->written < rc->len && p < rc->start; ++i) {
    std::uint64_t tlen = 0;
    const std::uint8_t* t = vl_dict_text(e->dict, toks[i], &tlen);
    // Unassigned and empty ids decode to nothing (and to a NULL pointer).
    if (tlen > 0 && p + tlen > rc->start) {
      const std::uint64_t skip = rc->start - p;
      const std::uint64_t n = std::min(tlen - skip, rc->len - rc->written);
      std::memcpy(rc->dest + rc->written, t + skip, n);
      rc->written += n;
    }
    p += tlen;
  }
  // Whole tokens from here while they fit, then the part of the next that
  // does. Every token looked at is counted, as one at a time would.
  std::uint64_t decoded = i;
  if (i < count && rc->written < rc->len) {
    std::uint64_t taken = 0;
    rc->written += dict::copy_tokens(*e->dict, toks + i, count - i, rc->dest + rc->written,
                                     rc->len - rc->written, &taken);
    decoded += taken;
    i += static_cast<std::uint32_t>(taken);
    if (i < count && rc->written < rc->len) {
      std::uint64_t tlen = 0;
      const std::uint8_t* t = vl_dict_text(e->dict, toks[i], &tlen);
      ++decoded;
      const std::uint64_t n = std::min(tlen, rc->len - rc->written);
      std::memcpy(rc->dest + rc->written, t, n);
      rc->written += n;
    }
  }
  e->stats.tokens_decoded += decoded;
  return 0;
}

}  // namespace

void copy_name(char (&dst)[kNameBufBytes], const char* name) noexcept {
  std::size_t n = 0;
  if (name != nullptr) {
    n = kept_name_len(name);
    std::memcpy(dst, name, n);
  }
  dst[n] = '\0';
}

bool readable(vl_dict* dict, vl_store* store, vl_chunk* chunk) noexcept {
  if (chunk->unchecked != 0 && !store::verify(store, chunk)) return false;
  if (chunk->byte_len_valid == 2) {
    // A length the file gave its whole-chunk leaves, checked at last.
    if (vl_detok_len(dict, chunk->toks, chunk->n) != chunk->byte_len) {
      chunk->unchecked = 2;
      return false;
    }
    chunk->byte_len_valid = 1;
  }
  return true;
}

std::uint64_t ext_bytes(vl_dict* dict, vl_store* store, const vl_leaf& leaf) {
  vl_chunk* chunk = store::find(store, leaf.key);
  // Damaged tokens count as none: the totals of a split then disagree and
  // the edit fails (callers that read the leaf first fail with EIO).
  if (chunk == nullptr || leaf.off > chunk->n || !readable(dict, store, chunk)) return 0;
  if (leaf.off == 0 && leaf.count == chunk->n) {
    if (!chunk->byte_len_valid) {
      chunk->byte_len = vl_detok_len(dict, chunk->toks, chunk->n);
      chunk->byte_len_valid = 1;
    }
    return chunk->byte_len;
  }
  const std::uint32_t count = std::min(leaf.count, chunk->n - leaf.off);
  return vl_detok_len(dict, chunk->toks + leaf.off, count);
}

std::uint64_t ext_bytes_cb(void* ctx, const vl_leaf* leaf) {
  auto* e = static_cast<vl_engine*>(ctx);
  return ext_bytes(e->dict, e->store, *leaf);
}

TokPos locate(vl_engine* engine, const vl_version& v, std::uint64_t pos) {
  const TokPos end{v.tokens, 0, v.bytes};
  if (pos >= v.bytes) return end;
  // Descend to the leaf holding byte `pos` (a boundary belongs to the leaf
  // that starts there), keeping its first token and first byte.
  const vl_ext* n = v.root;
  std::uint64_t first_tok = 0;
  std::uint64_t leaf_start = 0;
  while (n != nullptr && (n->left != nullptr || n->right != nullptr)) {
    const std::uint64_t left_bytes = n->left != nullptr ? n->left->bytes : 0;
    if (pos < leaf_start + left_bytes) {
      n = n->left;
    } else {
      leaf_start += left_bytes;
      first_tok += n->left != nullptr ? n->left->tokens : 0;
      n = n->right;
    }
  }
  if (n == nullptr) return end;
  const vl_leaf& leaf = n->leaf;
  const vl_chunk* chunk = usable(engine, leaf.key);
  if (chunk == nullptr || leaf.off >= chunk->n)
    return TokPos{first_tok + leaf.count, 0, leaf_start};
  const std::uint32_t count = std::min(leaf.count, chunk->n - leaf.off);
  const std::uint32_t* toks = chunk->toks + leaf.off;
  // Scan from the nearer end of the leaf; a leaf holds up to 1024 tokens.
  if (pos - leaf_start >= n->bytes / 2) {
    std::uint64_t p = leaf_start + n->bytes;  // end of token i
    for (std::uint32_t i = count; i-- > 0;) {
      std::uint64_t tlen = 0;
      const std::uint8_t* text = vl_dict_text(engine->dict, toks[i], &tlen);
      if (tlen > p - leaf_start) break;  // lengths disagree with the leaf: scan forward
      p -= tlen;
      if (pos >= p && tlen > 0) {
        if (pos < p + tlen) return TokPos{first_tok + i, pos - p, p, text, tlen};
        break;
      }
    }
  }
  std::uint64_t p = leaf_start;
  for (std::uint32_t i = 0; i < count; ++i) {
    std::uint64_t tlen = 0;
    const std::uint8_t* text = vl_dict_text(engine->dict, toks[i], &tlen);
    if (pos < p + tlen) return TokPos{first_tok + i, pos - p, p, text, tlen};
    p += tlen;
  }
  return TokPos{first_tok + leaf.count, 0, p};
}

void reserve_version(vl_object* object) {
  std::vector<vl_version>& vs = object->versions;
  if (vs.size() == vs.capacity()) vs.reserve(std::max<std::size_t>(4, vs.capacity() * 2));
}

void push_version(vl_engine* engine, vl_object* object, vl_ext* root) {
  reserve_version(object);
  object->versions.push_back(
      vl_version{root, vl_ext_tokens(root), vl_ext_bytes(root), vl_dict_version(engine->dict)});
}

void split_owned(vl_engine* engine, ExtRef root, std::uint64_t k, ExtRef* left, ExtRef* right) {
  vl_ext* l = nullptr;
  vl_ext* r = nullptr;
  if (!extent::split_owned(root.get(), k, ext_bytes_cb, engine, &l, &r)) throw std::bad_alloc();
  (void)root.release();  // consumed
  *left = ExtRef(l);
  *right = ExtRef(r);
}

ExtRef join_owned(ExtRef a, ExtRef b) {
  vl_ext* r = nullptr;
  if (!extent::join_owned(a.get(), b.get(), &r)) throw std::bad_alloc();
  (void)a.release();  // consumed
  (void)b.release();
  return ExtRef(r);
}

std::unique_ptr<vl_object> make_object(const char* name) {
  auto object = std::make_unique<vl_object>();
  copy_name(object->name, name);
  return object;
}

void reserve_object(vl_engine* engine) {
  auto& objs = engine->objects;
  if (objs.size() == objs.capacity()) objs.reserve(std::max<std::size_t>(64, objs.capacity() * 2));
}

vl_object* attach(vl_engine* engine, std::unique_ptr<vl_object> object) {
  vl_object* raw = object.get();
  engine->objects.push_back(std::move(object));
  return raw;
}

vl_object* find(vl_engine* engine, std::string_view name) noexcept {
  for (const auto& o : engine->objects) {
    if (name == std::string_view(o->name)) return o.get();
  }
  return nullptr;
}

bool replayable_by_name(vl_engine* engine, const vl_object* object) noexcept {
  const ChangeLog* log = engine->log.get();
  if (log == nullptr || log->is_replaying()) return true;
  return find(engine, object->name) == object;
}

void report_dict_growth(void* ctx, std::uint32_t lo, std::uint32_t hi) noexcept {
  auto* engine = static_cast<vl_engine*>(ctx);
  if (engine->log) engine->log->log_entries(lo, hi);
}

const vl_version* version_at(const vl_object* object, std::uint32_t index) noexcept {
  if (object == nullptr || index >= object->versions.size()) return nullptr;
  return &object->versions[index];
}

std::uint64_t read_range(vl_engine* engine, const vl_version& v, std::uint64_t start,
                         std::uint64_t len, void* dest) {
  if (start >= v.bytes || len == 0) return 0;
  // bytes - start cannot underflow here, and comparing lengths instead of
  // adding start + len keeps a huge len from wrapping past 2^64.
  len = std::min(len, v.bytes - start);
  ReadCtx rc{engine, start, len, 0, static_cast<std::uint8_t*>(dest)};
  (void)dict::prepare_reads(*engine->dict);  // without it reads take the slower copy
  if (len < kCollectFrom) {
    vl_ext_walk_range(v.root, start, len, read_leaf, &rc);
  } else {
    // Long reads list their leaves first, walking subtrees side by side: a
    // version made by many small edits has about a leaf per few bytes, its
    // nodes scattered over the arena, and a walk one node at a time would
    // wait on memory at every node.
    std::vector<extent::LeafAt> leaves;
    extent::collect_range(v.root, start, len, leaves);
    for (const extent::LeafAt& at : leaves) read_leaf(&rc, &at.leaf, at.bytes, at.start);
  }
  if (rc.damaged) throw DamagedData();
  return rc.written;
}

vl_object* create(vl_engine* engine, const char* name, const std::uint8_t* text,
                  std::uint64_t len) {
  if (len >= SIZE_MAX / sizeof(std::uint32_t)) throw std::bad_alloc();
  // Uninitialised: untouched pages of a generous buffer cost nothing.
  auto ids = std::make_unique_for_overwrite<std::uint32_t[]>(len + 1);
  // Learning then tokenizing, fused into one pass over the runs.
  const std::uint64_t n_ids =
      dict::learn_tokenize(*engine->dict, text, len, kLearnLimit, ids.get(), len + 1);
  if (n_ids == UINT64_MAX) throw std::bad_alloc();

  const std::uint64_t n_chunks = (n_ids + kChunkIds - 1) / kChunkIds;
  if (n_chunks > UINT32_MAX) throw std::bad_alloc();
  std::vector<vl_leaf> leaves(n_chunks);
  std::vector<std::uint64_t> lens(n_chunks);
  // Keys of a group of chunks are hashed side by side, then the chunks are
  // put in order: the store sees the same puts as one at a time.
  constexpr std::size_t kGroup = 16;
  for (std::uint64_t g = 0; g < n_chunks; g += kGroup) {
    const std::size_t m = static_cast<std::size_t>(std::min<std::uint64_t>(kGroup, n_chunks - g));
    const std::uint32_t* toks[kGroup];
    std::uint64_t ns[kGroup];
    std::uint64_t keys[kGroup];
    for (std::size_t j = 0; j < m; ++j) {
      toks[j] = ids.get() + kChunkIds * (g + j);
      ns[j] = std::min(kChunkIds, n_ids - kChunkIds * (g + j));
    }
    store::chunk_keys(toks, ns, m, keys);
    for (std::size_t j = 0; j < m; ++j) {
      const std::uint64_t i = g + j;
      const std::uint64_t n = ns[j];
      const std::uint64_t key = store::put_keyed(engine->store, keys[j], toks[j], n);
      if (key == 0) throw std::bad_alloc();
      leaves[i] = vl_leaf{key, 0, static_cast<std::uint32_t>(n)};
      lens[i] = ext_bytes(engine->dict, engine->store, leaves[i]);
    }
  }
  ids.reset();
  ExtRef root;
  if (n_chunks > 0) {
    root.reset(vl_ext_build(leaves.data(), lens.data(), static_cast<std::uint32_t>(n_chunks)));
    if (root == nullptr) throw std::bad_alloc();
  }

  std::unique_ptr<vl_object> object = make_object(name);
  reserve_version(object.get());
  reserve_object(engine);

  // Nothing below allocates: log, then make the object visible.
  if (engine->log) engine->log->log_create(name, text, len);
  engine->stats.bytes_ingested += len;
  engine->stats.chunks_put += n_chunks;
  push_version(engine, object.get(), root.release());
  vl_object* raw = attach(engine, std::move(object));
  engine->stats.chunks_deduped = vl_store__deduped(engine->store);
  engine->stats.store_bytes = vl_store_bytes(engine->store);
  return raw;
}

vl_object* rebuild(vl_engine* engine, const char* name, const vl_leaf* leaves, std::uint32_t n) {
  // A leaf over an unknown chunk, or past its chunk's end, would later make
  // reads and splits index outside the chunk's array: refuse the lot.
  for (std::uint32_t i = 0; i < n; ++i) {
    const vl_chunk* chunk = store::find(engine->store, leaves[i].key);
    if (chunk == nullptr) return nullptr;
    if (std::uint64_t{leaves[i].off} + leaves[i].count > chunk->n) return nullptr;
  }
  std::vector<std::uint64_t> lens(n);
  for (std::uint32_t i = 0; i < n; ++i) {
    lens[i] = ext_bytes(engine->dict, engine->store, leaves[i]);
  }
  ExtRef root;
  if (n > 0) {
    root.reset(vl_ext_build(leaves, lens.data(), n));
    if (root == nullptr) throw std::bad_alloc();
  }
  std::unique_ptr<vl_object> object = make_object(name);
  reserve_version(object.get());
  reserve_object(engine);
  // No record replays this: the leaves may name chunks that no logged
  // change put into the store.
  if (engine->log) engine->log->mark_failed();
  push_version(engine, object.get(), root.release());
  vl_object* raw = attach(engine, std::move(object));
  engine->stats.store_bytes = vl_store_bytes(engine->store);
  return raw;
}

int delete_object(vl_engine* engine, const char* name) {
  auto& objs = engine->objects;
  const std::string_view want(name);
  for (std::size_t i = 0; i < objs.size(); ++i) {
    if (want != std::string_view(objs[i]->name)) continue;
    if (engine->log) engine->log->log_delete(name);
    // Swap-with-last: table order is not kept. The moved-out unique_ptr
    // destroys the object and releases its versions.
    std::unique_ptr<vl_object> gone = std::move(objs[i]);
    if (i + 1 != objs.size()) objs[i] = std::move(objs.back());
    objs.pop_back();
    return 0;
  }
  return -1;
}

}  // namespace velta::engine
