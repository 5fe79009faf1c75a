// The engine: one dictionary, one chunk store, the table of named objects,
// six counters and, once opened or saved, the attached change log.
//
// Ownership: the engine owns its dictionary, store, objects and log; each
// version owns one reference on its tree root. Object handles are stable
// pointers (the table holds unique_ptrs) and stay valid until the object is
// deleted or the engine freed; table positions change on deletion
// (swap-with-last). Destroying a vl_object releases the roots of the
// versions it still holds; destroying a vl_engine destroys its log, its
// objects, its dictionary and its store, in that order.
//
// Out of memory: the helpers below throw std::bad_alloc, and every edit
// prepares all it allocates before it logs or changes anything, so a failed
// call leaves the engine as it was (the dictionary may have learned entries
// and the store may hold unused chunks, neither of which changes a text).
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "engine/change_log.h"
#include "util/limits.h"
#include "velta.h"

struct vl_chunk;

struct vl_version {
  vl_ext* root;                // NULL for an empty text; holds one reference
  std::uint64_t tokens;        // = vl_ext_tokens(root)
  std::uint64_t bytes;         // = vl_ext_bytes(root)
  std::uint64_t dict_version;  // vl_dict_version when the version was made
};

struct vl_object {
  // Oldest first; the last element is the current version. Never empty for
  // an object in a table. Every root in it holds one reference, released by
  // the destructor.
  std::vector<vl_version> versions;
  char name[velta::kNameBufBytes] = {};  // NUL-terminated, at most kNameMax (63) bytes kept

  vl_object() = default;
  vl_object(const vl_object&) = delete;
  vl_object& operator=(const vl_object&) = delete;
  ~vl_object();

  std::uint32_t n_versions() const noexcept { return static_cast<std::uint32_t>(versions.size()); }
  const vl_version& current() const noexcept { return versions.back(); }
};

struct vl_engine {
  vl_dict* dict = nullptr;
  vl_store* store = nullptr;
  std::vector<std::unique_ptr<vl_object>> objects;  // table order
  vl_stats stats{};
  // Attached change log (the write-ahead log once opened or saved), or
  // NULL. Hears of every change before memory changes; see change_log.h.
  std::unique_ptr<velta::engine::ChangeLog> log;

  vl_engine() = default;
  vl_engine(const vl_engine&) = delete;
  vl_engine& operator=(const vl_engine&) = delete;
  ~vl_engine();
};

namespace velta::engine {

// Releases one reference on a tree root; the deleter of ExtRef.
struct ExtRelease {
  void operator()(vl_ext* node) const noexcept { vl_ext_release(node); }
};

// One held reference on a tree (NULL for the empty tree). Adopt a reference
// a tree operation handed out with ExtRef(node); release() hands it on.
using ExtRef = std::unique_ptr<vl_ext, ExtRelease>;

// A byte position turned into a token position of one version.
struct TokPos {
  std::uint64_t index;  // token index over the whole version
  std::uint64_t off;    // bytes of that token before the byte
  std::uint64_t start;  // byte position at which that token begins
  // That token's text (into the dictionary, valid until it next grows) and
  // length; NULL and 0 at the end of the text.
  const std::uint8_t* text = nullptr;
  std::uint64_t text_len = 0;
};

// Copies `name` into dst, keeping at most kNameMax (63) bytes,
// NUL-terminated. NULL gives "".
void copy_name(char (&dst)[kNameBufBytes], const char* name) noexcept;

// True when the chunk's tokens may be read. A chunk borrowed from a mapped
// snapshot is checked here at its first use (store::verify, then the byte
// length the file claimed for it, if any); a damaged one stays refused.
bool readable(vl_dict* dict, vl_store* store, vl_chunk* chunk) noexcept;

// Byte length of a leaf's text, measured through the dictionary; caches the
// length of whole chunks in the chunk record. 0 for an unknown or damaged
// chunk.
std::uint64_t ext_bytes(vl_dict* dict, vl_store* store, const vl_leaf& leaf);

// The vl_leaf_bytes_fn every split passes; ctx is the vl_engine.
std::uint64_t ext_bytes_cb(void* ctx, const vl_leaf* leaf);

// Token position of byte `pos` of version v. For pos at or past v.bytes (or
// an empty tree) the end of the text is returned: (v.tokens, 0, v.bytes).
// Cost: one descent plus a scan of at most one leaf's tokens. Throws
// DamagedData when that leaf's chunk fails its first-use check.
TokPos locate(vl_engine* engine, const vl_version& v, std::uint64_t pos);

// Appends a version over `root` (consumes one reference on root) to object,
// filling tokens, bytes and dict_version. Throws std::bad_alloc before
// consuming anything when the version array cannot grow; never throws
// after reserve_version(object).
void push_version(vl_engine* engine, vl_object* object, vl_ext* root);

// Makes room for one more version so that the next push_version cannot
// fail. Throws std::bad_alloc. Growth is amortised (geometric).
void reserve_version(vl_object* object);

// Consuming forms for chains of edits over one tree: they take over the
// references the arguments hold and reuse in place the nodes only those
// references reach, so the chain copies the shared path once. Results are
// those of vl_ext_split_tok and vl_ext_join node for node. Throw std::bad_alloc (the inputs
// are then released with their handles) when out of nodes.
void split_owned(vl_engine* engine, ExtRef root, std::uint64_t k, ExtRef* left, ExtRef* right);
ExtRef join_owned(ExtRef a, ExtRef b);

// A new object named `name` (cut to 63 bytes) with no versions yet.
std::unique_ptr<vl_object> make_object(const char* name);

// Makes room for one more object in the table (geometric growth) so that
// appending cannot fail. Throws std::bad_alloc.
void reserve_object(vl_engine* engine);

// Appends `object` to the table, taking ownership. Throws std::bad_alloc
// (the object is then destroyed with the unique_ptr the caller passed).
vl_object* attach(vl_engine* engine, std::unique_ptr<vl_object> object);

// First object in table order named exactly `name`, or NULL.
vl_object* find(vl_engine* engine, std::string_view name) noexcept;

// True when a log record naming `object` would replay onto `object` itself,
// or when nothing is being logged. Replay finds objects by name, the first
// in table order, so an object that shares its name with an earlier one is
// out of its reach: its edits must not be logged under that name, where
// they would land on the other object. Cost: one table scan while logging.
bool replayable_by_name(vl_engine* engine, const vl_object* object) noexcept;

// The dictionary's growth callback (vl_dict::on_change); ctx is the
// vl_engine. Hands the added ids to the attached log, if any.
void report_dict_growth(void* ctx, std::uint32_t lo, std::uint32_t hi) noexcept;

// The version at `index`, or NULL when out of range.
const vl_version* version_at(const vl_object* object, std::uint32_t index) noexcept;

// Copies up to `len` bytes from byte `start` of version v into dest;
// returns the count copied. Range arithmetic clips, never wraps. Throws
// DamagedData when a chunk in the range fails its first-use check (dest
// may then hold part of the range).
std::uint64_t read_range(vl_engine* engine, const vl_version& v, std::uint64_t start,
                         std::uint64_t len, void* dest);

// vl_create: learns and tokenizes `text`, stores its chunks, builds the
// tree, logs the create record and appends the object. Throws
// std::bad_alloc with the table and the log unchanged.
vl_object* create(vl_engine* engine, const char* name, const std::uint8_t* text, std::uint64_t len);

// vl_net__rebuild: NULL (nothing changed) when a leaf names an unknown
// chunk or reaches past its chunk's end. Throws std::bad_alloc.
vl_object* rebuild(vl_engine* engine, const char* name, const vl_leaf* leaves, std::uint32_t n);

// vl_delete: 0, or -1 when no object has that name.
int delete_object(vl_engine* engine, const char* name);

// vl_update: replaces [pos, pos + del) (clipped) of the current text with
// `text` as a new version. -1 when pos is past the end (nothing logged).
// Throws std::bad_alloc with the object and the log unchanged.
int update(vl_engine* engine, vl_object* object, std::uint64_t pos, std::uint64_t del,
           const std::uint8_t* text, std::uint64_t text_len);

}  // namespace velta::engine
