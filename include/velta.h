/* velta.h: the public interface of libvelta.so.
 *
 * velta keeps named objects of text or bytes with their whole version
 * history, shares storage between versions and objects, and makes the lot
 * durable on disk as a snapshot file plus a write-ahead log.
 *
 * Conventions
 *  1. Handles (vl_engine, vl_object, vl_dict, vl_store, vl_ext, vl_wal) are
 *     opaque. An engine owns its dictionary, store, objects and log; an
 *     object handle stays valid until the object is deleted or its engine
 *     freed. Destroy functions accept NULL and then do nothing.
 *  2. Bytes travel as (pointer, length) pairs; lengths, positions and counts
 *     are uint64_t, table and version indices uint32_t. Names are
 *     NUL-terminated; only their first 63 bytes are kept.
 *  3. Pointers returned into library memory (names, token texts, chunk
 *     arrays, paths) are borrowed: never free them; each contract says how
 *     long they stay valid.
 *  4. Results: edits return 0 on success and -1 when refused (position out
 *     of range, not token-aligned, object missing); merge adds -2 for a
 *     conflict. Store-level calls (save, open, commit, inspection) return
 *     0 or a handle on success, -1 or NULL with errno set on failure; commit
 *     adds -2 (generation changed) and -3 (lock not obtained). Queries never
 *     fail loudly: a missing handle or an index out of range gives 0, NULL or
 *     -1 as listed.
 *  5. Out of memory: no call lets an exception or a crash escape. A call
 *     that cannot allocate returns its failure value (NULL, 0 or -1) and sets
 *     errno to ENOMEM where the call sets errno; the engine stays usable.
 *  6. Token ids are uint32_t: 0 is no token, 1..size are learned dictionary
 *     entries, 0xFFFFFF00 + b is the byte token of byte b.
 *  7. Threads: the library starts none and locks nothing. The extent-tree
 *     node arena and a few tables are process-wide, so every call, on any
 *     engine, must come from one thread at a time.
 *     Processes: a store's log has at most one writer. The engine that
 *     attaches path.wal holds an exclusive advisory lock (flock) on it for
 *     as long as it stays attached. Another read-write open of the store,
 *     from any process or from a second engine of the same process, gets
 *     the snapshot and the log replayed in memory without attaching: its
 *     edits are not logged (vl_wal_active and vl_wal_ok give 0) and reach
 *     the store only through a later vl_commit, once the writer is gone.
 *  8. Names with a double underscore (vl_store__put_borrowed, ...) are entry
 *     points for the library's own persistence layer and bindings.
 */
#ifndef VELTA_H
#define VELTA_H

#include <stddef.h>
#include <stdint.h>

#if defined(__GNUC__) || defined(__clang__)
#define VL_API __attribute__((visibility("default")))
#else
#define VL_API
#endif

#ifdef __cplusplus
#define VL_NOEXCEPT noexcept
extern "C" {
#else
#define VL_NOEXCEPT
#endif

/* ---------------------------------------------------------------- types */

typedef struct vl_engine vl_engine;
typedef struct vl_object vl_object;
typedef struct vl_dict vl_dict;
typedef struct vl_store vl_store;
typedef struct vl_ext vl_ext;
typedef struct vl_wal vl_wal;

/* A leaf payload: `count` tokens starting at token `off` of chunk `key`. */
typedef struct vl_leaf {
  uint64_t key;
  uint32_t off;
  uint32_t count;
} vl_leaf;

/* The six engine counters, in the order snapshots store them. */
typedef struct vl_stats {
  uint64_t chunks_put;     /* chunks put by create and update, dedupes included */
  uint64_t chunks_deduped; /* puts that found an identical chunk */
  uint64_t tokens_scanned; /* tokens flattened by search */
  uint64_t tokens_decoded; /* tokens fetched by reads */
  uint64_t bytes_ingested; /* text bytes given to vl_create */
  uint64_t store_bytes;    /* 4 x tokens held by the chunk store */
} vl_stats;

/* One search hit: the object's name storage (identifies the object) and the
 * byte position of the match in its current text. */
typedef struct vl_hit {
  const char* object_name;
  uint64_t pos;
} vl_hit;

/* What a three-way merge found; positions are bytes of the base text unless
 * said otherwise. */
typedef struct vl_merge_report {
  uint64_t ours_pos;   /* start of ours' change */
  uint64_t ours_end;   /* end of the base range ours replaced */
  uint64_t theirs_pos; /* start of theirs' change */
  uint64_t theirs_end; /* end of the base range theirs replaced */
  uint64_t ours_len;   /* length of ours' replacement (in the current text) */
  uint64_t theirs_len; /* length of theirs' replacement (in the other text) */
  uint32_t conflict;   /* 1 when the changes overlap and differ */
  uint32_t same;       /* 1 when both sides made the identical change */
  uint32_t version;    /* index of the current version after vl_merge */
} vl_merge_report;

/* What vl_verify_store found. `snapshot` and `log` hold VL_VERIFY_SNAP_*
 * and VL_VERIFY_LOG_* values; counts describe the engine after the log
 * replay (the snapshot alone when the log does not replay). A report of
 * a store that could not be read whole holds what was found before. */
typedef struct vl_verify_report {
  uint32_t damaged;         /* 1 when `snapshot` or `log` names damage */
  uint32_t snapshot;        /* VL_VERIFY_SNAP_*: 0 sound, else the first failed check */
  uint32_t log;             /* VL_VERIFY_LOG_*: the state of path.wal */
  uint32_t flags;           /* the header's payload layout: 0, VL_SNAP_ZLIB, _ZSTD, _MAPPABLE */
  uint64_t generation;      /* the snapshot's generation; 0 when its header is bad */
  uint64_t snapshot_bytes;  /* size of the snapshot file */
  uint64_t objects;         /* objects of the checked engine; 0 when the snapshot does not load */
  uint64_t versions;        /* versions over all objects */
  uint64_t chunks;          /* chunks in its store */
  uint64_t nodes;           /* distinct tree nodes reachable from the versions */
  uint64_t log_bytes;       /* size of path.wal; 0 when absent */
  uint64_t log_valid_bytes; /* end of the last record whose frame and CRC hold (32: none) */
  uint64_t log_records;     /* records up to log_valid_bytes */
  uint64_t log_replayed;    /* leading records that replay (0: snapshot unloadable) */
  uint64_t log_replayed_bytes; /* end of the last of them: where an open cuts the log */
} vl_verify_report;

/* Results and report values of vl_verify_store (never renumbered). */
#define VL_VERIFY_DAMAGED 1
#define VL_VERIFY_SNAP_SOUND 0
#define VL_VERIFY_SNAP_HEADER 1   /* under 64 bytes, wrong magic or version, header CRC */
#define VL_VERIFY_SNAP_LENGTHS 2  /* payload cut short, or length fields / layout inconsistent */
#define VL_VERIFY_SNAP_PAYLOAD 3  /* compressed payload does not give total_len bytes */
#define VL_VERIFY_SNAP_BODY_CRC 4 /* body CRC mismatch */
#define VL_VERIFY_SNAP_TRAILER 5  /* chunk trailer CRC mismatch (mappable layout) */
#define VL_VERIFY_SNAP_BODY 6     /* the loader refuses a section: bad field, chunk key, tree */
#define VL_VERIFY_SNAP_TREES 7    /* loaded or replayed trees, chunks or objects fail the audit */
#define VL_VERIFY_LOG_SOUND 0     /* header of this generation; every record replays */
#define VL_VERIFY_LOG_ABSENT 1    /* no log: an open starts one (not damage) */
#define VL_VERIFY_LOG_STALE 2     /* intact, older generation: its records are in the snapshot */
#define VL_VERIFY_LOG_HEADER 3    /* short, wrong magic or version, header CRC: records lost */
#define VL_VERIFY_LOG_NEWER 4     /* intact header newer than the snapshot: records lost */
#define VL_VERIFY_LOG_UNREPLAYABLE 5 /* a record with a sound CRC that replay refuses */
#define VL_VERIFY_LOG_TORN 6         /* bytes after the last sound record (an open cuts them) */

/* Binary chunking options (bytes). */
typedef struct vl_bin_opts {
  uint32_t target_size; /* default 4096; raised to 64 if smaller */
  uint32_t min_size;    /* default 1024; 0 means target_size / 4 */
  uint32_t max_size;    /* default 16384; 0 means target_size * 4 */
  uint32_t fixed_size;  /* non-zero: fixed chunks of target_size bytes */
} vl_bin_opts;

/* Tree callbacks; return values are ignored. */
typedef uint64_t (*vl_leaf_bytes_fn)(void* ctx, const vl_leaf* leaf);
typedef int (*vl_leaf_visit_fn)(void* ctx, const vl_leaf* leaf, uint64_t bytes);
typedef int (*vl_range_visit_fn)(void* ctx, const vl_leaf* leaf, uint64_t bytes, uint64_t start);

/* Flags for vl_open_ex (never renumbered). */
#define VL_OPEN_READONLY 1u /* replay in memory; write, create and lock nothing */

/* Save options for vl_save_ex (never renumbered). */
#define VL_SAVE_MAPPABLE 1     /* tokens in a trailer, body padded, never compressed */
#define VL_SAVE_UNCOMPRESSED 2 /* never compress */

/* Limits and special values callers pass or compare (never renumbered). */
#define VL_NAME_MAX 63                 /* bytes of a name that are kept */
#define VL_NEWEST_VERSION 0xFFFFFFFFu  /* version index meaning the newest version */
#define VL_BYTE_TOKEN_BASE 0xFFFFFF00u /* byte b is token VL_BYTE_TOKEN_BASE + b */

/* Results beyond 0 and -1 (never renumbered). */
#define VL_COMMIT_CHANGED (-2) /* vl_commit: the generation on disk is not the expected one */
#define VL_COMMIT_LOCKED (-3)  /* vl_commit: the lock file could not be taken */
#define VL_MERGE_CONFLICT (-2) /* vl_merge, vl_merge_preview: both sides changed one range */

/* Snapshot header `flags` values (on disk; never renumbered). */
#define VL_SNAP_ZLIB 1
#define VL_SNAP_ZSTD 2
#define VL_SNAP_MAPPABLE 4

/* Entry b holds the byte value b; byte tokens decode into this table. */
VL_API extern const uint8_t VL_BYTE_TABLE[256];

/* ------------------------------------------------ vl_engine_: engines */

/* New empty engine without log. NULL on out of memory (errno ENOMEM). */
VL_API vl_engine* vl_engine_new(void) VL_NOEXCEPT;
/* Frees the engine: closes its log, releases every version, unmaps a mapped
 * snapshot. Saves nothing. NULL does nothing. */
VL_API void vl_engine_free(vl_engine* engine) VL_NOEXCEPT;
/* The engine's dictionary / chunk store (owned by the engine); NULL for NULL. */
VL_API vl_dict* vl_engine_dict(vl_engine* engine) VL_NOEXCEPT;
VL_API vl_store* vl_engine_store(vl_engine* engine) VL_NOEXCEPT;
/* Number of objects in the table; 0 for NULL. */
VL_API uint32_t vl_engine_objects(const vl_engine* engine) VL_NOEXCEPT;
VL_API uint32_t vl_engine__n_obj(const vl_engine* engine) VL_NOEXCEPT;
/* Object at table position `index`, or NULL when out of range. Positions
 * change on every deletion (the last object moves into the gap). */
VL_API vl_object* vl_engine_object(vl_engine* engine, int index) VL_NOEXCEPT;
VL_API vl_object* vl_engine__obj(vl_engine* engine, uint32_t index) VL_NOEXCEPT;
/* The attached log state, or NULL. */
VL_API vl_wal* vl_engine__wal(vl_engine* engine) VL_NOEXCEPT;
/* Attaches `wal` (NULL detaches) without touching the previous one. */
VL_API void vl_engine__set_wal(vl_engine* engine, vl_wal* wal) VL_NOEXCEPT;
/* Copies the counters, with chunks_deduped and store_bytes read live from
 * the store. */
VL_API void vl_engine_stats(vl_engine* engine, vl_stats* out) VL_NOEXCEPT;
/* Copy the six counters out of / into the engine verbatim. */
VL_API void vl_engine__stats_get(vl_engine* engine, vl_stats* out) VL_NOEXCEPT;
VL_API void vl_engine__stats_set(vl_engine* engine, const vl_stats* in) VL_NOEXCEPT;
/* Appends a fully built object to the table; no name check, no log record.
 * Returns 0, or -1 on out of memory (the caller still owns the object). */
VL_API int vl_engine__attach(vl_engine* engine, vl_object* object) VL_NOEXCEPT;

/* ----------------------------------------------------- objects and reads */

/* Learns and tokenizes `len` bytes of `text` into a new object `name` with
 * one version, appended to the table (an existing name is not replaced).
 * Logs a create record when a log is attached. NULL on out of memory. */
VL_API vl_object* vl_create(vl_engine* engine, const char* name, const void* text,
                            uint64_t len) VL_NOEXCEPT;
/* First object in table order whose name equals `name` exactly, or NULL. */
VL_API vl_object* vl_object_open(vl_engine* engine, const char* name) VL_NOEXCEPT;
/* Deletes the first object named `name`: 0, or -1 when there is none. */
VL_API int vl_delete(vl_engine* engine, const char* name) VL_NOEXCEPT;
/* Copies up to `len` bytes from byte `start` of the current version into
 * `dest`; returns the count copied (0 when start is at or past the end).
 * Chunks of a store opened from a mappable snapshot are checked against
 * their keys at their first use, not at open: a read that touches a
 * damaged chunk returns 0 with errno EIO (dest may hold part of the range),
 * and so does every later read of it; an edit that needs its tokens fails
 * (-1 or NULL) with EIO and changes nothing; vl_store_get gives NULL for
 * it and a search does not report matches inside it. */
VL_API uint64_t vl_read(vl_engine* engine, vl_object* object, uint64_t start, uint64_t len,
                        void* dest) VL_NOEXCEPT;
/* The same for version `index` (0 = oldest); 0 when index >= versions, or
 * with errno EIO over a damaged chunk. */
VL_API uint64_t vl_read_version(vl_engine* engine, vl_object* object, uint32_t index,
                                uint64_t start, uint64_t len, void* dest) VL_NOEXCEPT;
/* New object `name` whose one version is the tree over `n` leaves naming
 * chunks already in the store. NULL when a leaf names an unknown chunk or
 * reaches past its chunk's end (nothing changes), or on out of memory. No
 * record can replay it: the engine's log is marked failed (vl_wal_ok 0)
 * until the next save or commit. */
VL_API vl_object* vl_net__rebuild(vl_engine* engine, const char* name, const vl_leaf* leaves,
                                  uint32_t n) VL_NOEXCEPT;

/* ------------------------------------------------------------- edits */

/* Replaces bytes [pos, pos + del) (clipped to the end) of the current text
 * with `text_len` bytes of `text` (NULL allowed) as a new version.
 * 0, or -1 when pos is past the end or on out of memory (nothing logged). */
VL_API int vl_update(vl_engine* engine, vl_object* object, uint64_t pos, uint64_t del,
                     const void* text, uint64_t text_len) VL_NOEXCEPT;
/* Removes the token-aligned byte range [pos, pos + len) as a new version.
 * -1 when the range is not within the text or an end falls inside a token. */
VL_API int vl_cut(vl_engine* engine, vl_object* object, uint64_t pos, uint64_t len) VL_NOEXCEPT;
/* Inserts bytes [src_pos, src_pos + len) of src's current text at dst_pos of
 * dst as a new version of dst, sharing src's chunks; src may be dst.
 * -1 when a range is out of bounds or a position falls inside a token. */
VL_API int vl_graft(vl_engine* engine, vl_object* dst, uint64_t dst_pos, vl_object* src,
                    uint64_t src_pos, uint64_t len) VL_NOEXCEPT;
/* Keeps the newest max(keep, 1) versions; returns the number dropped. */
VL_API int vl_trim_history(vl_engine* engine, vl_object* object, uint32_t keep) VL_NOEXCEPT;
/* Finds every occurrence of `pattern` in every object's current text,
 * object by object in table order, writing at most `max_hits` hits.
 * Returns the number written (the hits found so far on out of memory);
 * 0 with errno EIO when a text to scan holds damaged stored tokens. */
VL_API uint64_t vl_search(vl_engine* engine, const void* pattern, uint64_t plen, vl_hit* hits,
                          uint64_t max_hits) VL_NOEXCEPT;

/* ------------------------------------------------ vl_store_: chunk store */

/* New empty store; NULL on out of memory. */
VL_API vl_store* vl_store_new(void) VL_NOEXCEPT;
/* Frees owned chunks, the tables and any snapshot mapping. NULL does nothing. */
VL_API void vl_store_free(vl_store* store) VL_NOEXCEPT;
/* Stores `n` ids once under their 64-bit key and returns the key (never 0);
 * a chunk with equal contents is found and counted as deduplicated.
 * 0 on out of memory. */
VL_API uint64_t vl_store_put(vl_store* store, const uint32_t* toks, uint64_t n) VL_NOEXCEPT;
/* The chunk's ids (valid for the store's life) and count, or NULL and 0
 * (also for a borrowed chunk found damaged at this first use). */
VL_API const uint32_t* vl_store_get(vl_store* store, uint64_t key, uint64_t* n) VL_NOEXCEPT;
/* Number of chunks. */
VL_API uint32_t vl_store_chunks(const vl_store* store) VL_NOEXCEPT;
VL_API uint32_t vl_store__count(const vl_store* store) VL_NOEXCEPT;
/* Sum of 4 x token count over all chunks. */
VL_API uint64_t vl_store_bytes(const vl_store* store) VL_NOEXCEPT;
/* Chunk at insertion index `index`: ids, count and key; NULL, 0, 0 past the end. */
VL_API const uint32_t* vl_store__at(const vl_store* store, uint32_t index, uint32_t* n,
                                    uint64_t* key) VL_NOEXCEPT;
/* The dedupe counter, and its setter for the snapshot loader. */
VL_API uint64_t vl_store__deduped(const vl_store* store) VL_NOEXCEPT;
VL_API void vl_store__set_deduped(vl_store* store, uint64_t value) VL_NOEXCEPT;
/* Registers `n` ids that stay owned by a mapping under the given key (no
 * copy); returns the key, or 0 on out of memory or when the key is taken
 * by other contents. */
VL_API uint64_t vl_store__put_borrowed(vl_store* store, uint64_t key, const uint32_t* toks,
                                       uint32_t n) VL_NOEXCEPT;
/* Record / read the snapshot mapping the borrowed chunks point into. */
VL_API void vl_store__set_map(vl_store* store, void* map, uint64_t map_len,
                              void* map_aux) VL_NOEXCEPT;
VL_API void vl_store__get_map(const vl_store* store, void** map, uint64_t* map_len,
                              void** map_aux) VL_NOEXCEPT;
/* Sum of 4 x token count over borrowed chunks. */
VL_API uint64_t vl_store__mapped_bytes(const vl_store* store) VL_NOEXCEPT;
/* Unmaps the recorded mapping; borrowed chunks must not be used afterwards. */
VL_API void vl_store_unmap(vl_store* store) VL_NOEXCEPT;
/* 1 when the engine's store holds a snapshot mapping, else 0. */
VL_API int vl_store_is_mapped(const vl_engine* engine) VL_NOEXCEPT;
/* The engine's store's borrowed bytes; 0 for NULL. */
VL_API uint64_t vl_store_mapped_bytes(const vl_engine* engine) VL_NOEXCEPT;

/* -------------------------------------------------- vl_ext_: extent trees */

/* Adds a reference; returns `node` (NULL stays NULL). */
VL_API vl_ext* vl_ext_retain(vl_ext* node) VL_NOEXCEPT;
/* Drops a reference; a node whose count reaches 0 returns to the arena and
 * releases its children. NULL does nothing. */
VL_API void vl_ext_release(vl_ext* node) VL_NOEXCEPT;
/* Token / byte totals of a subtree; 0 for NULL. */
VL_API uint64_t vl_ext_tokens(const vl_ext* node) VL_NOEXCEPT;
VL_API uint64_t vl_ext_bytes(const vl_ext* node) VL_NOEXCEPT;
/* Arena counters: slots carved, returns to the free list, live nodes. */
VL_API uint64_t vl_ext_nodes_total(void) VL_NOEXCEPT;
VL_API uint64_t vl_ext_nodes_freed(void) VL_NOEXCEPT;
VL_API uint64_t vl_ext_nodes_alloced(void) VL_NOEXCEPT;
/* Size of one node record (56). */
VL_API uint64_t vl_ext_node_size(void) VL_NOEXCEPT;
/* Live nodes x node size; carved slots x node size. */
VL_API uint64_t vl_ext_node_bytes(void) VL_NOEXCEPT;
VL_API uint64_t vl_ext_arena_bytes(void) VL_NOEXCEPT;
/* Returns every arena block to the heap; every tree becomes invalid. */
VL_API void vl_ext_arena_free(void) VL_NOEXCEPT;
/* Checks reference counts of everything reachable from `n` roots; returns
 * the number of mismatches (verbose: lines on stderr). -1 on out of memory. */
VL_API int vl_ext_audit(vl_ext* const* roots, uint32_t n, int verbose) VL_NOEXCEPT;
/* Plain constructors for the snapshot loader; the new node has refs 0.
 * NULL on out of memory. */
VL_API vl_ext* vl_ext_mk_inner_p(vl_ext* left, vl_ext* right, uint32_t prio) VL_NOEXCEPT;
VL_API vl_ext* vl_ext_mk_leaf_p(vl_leaf leaf, uint64_t bytes, uint32_t prio) VL_NOEXCEPT;
/* Balanced tree over `n` leaves in text order (one reference for the
 * caller); NULL for n 0 or on out of memory. */
VL_API vl_ext* vl_ext_build(const vl_leaf* leaves, const uint64_t* bytes, uint32_t n) VL_NOEXCEPT;
/* Tree of a's text followed by b's (one new reference); a and b unchanged.
 * NULL on out of memory (when a or b is non-NULL). */
VL_API vl_ext* vl_ext_join(vl_ext* a, vl_ext* b) VL_NOEXCEPT;
/* Splits after `k` tokens into *out_left and *out_right (one reference
 * each, either may be NULL) and returns the right tree; root unchanged.
 * `fn` measures a cut leaf's left piece. On out of memory, or with fn NULL
 * when a leaf must be cut: both outputs NULL and NULL returned. */
VL_API vl_ext* vl_ext_split_tok(vl_ext* root, uint64_t k, vl_ext** out_left, vl_ext** out_right,
                                vl_leaf_bytes_fn fn, void* ctx) VL_NOEXCEPT;
/* Inert aggregate hooks kept for binary compatibility. */
VL_API void vl_ext_set_monoid(const void* monoid) VL_NOEXCEPT;
VL_API int vl_ext_monoid_set(void) VL_NOEXCEPT;
VL_API void vl_ext_monoid_bind(void* ctx) VL_NOEXCEPT;
VL_API uint64_t vl_ext_range_agg(const vl_ext* root, uint64_t start, uint64_t len) VL_NOEXCEPT;
/* Leaf holding byte `pos` (the last leaf for pos past the end): 1 and the
 * payload, its first token index and its first byte; 0 for an empty tree. */
VL_API int vl_ext_locate_byte(const vl_ext* root, uint64_t pos, vl_leaf* out_leaf,
                              uint64_t* out_tok_start, uint64_t* out_byte_start) VL_NOEXCEPT;
/* Calls fn for every leaf in text order. */
VL_API void vl_ext_walk(const vl_ext* root, vl_leaf_visit_fn fn, void* ctx) VL_NOEXCEPT;
/* Calls fn, in text order, for every leaf overlapping [lo, lo + len). */
VL_API void vl_ext_walk_range(const vl_ext* root, uint64_t lo, uint64_t len, vl_range_visit_fn fn,
                              void* ctx) VL_NOEXCEPT;
/* Depth (0 for NULL, 1 for a leaf) and leaf count. */
VL_API uint32_t vl_ext_depth(const vl_ext* root) VL_NOEXCEPT;
VL_API uint32_t vl_ext_leaves(const vl_ext* root) VL_NOEXCEPT;
/* Node accessors; NULL gives 0 / NULL / a zeroed payload. */
VL_API int vl_ext_is_leaf(const vl_ext* node) VL_NOEXCEPT;
VL_API vl_ext* vl_ext_left(const vl_ext* node) VL_NOEXCEPT;
VL_API vl_ext* vl_ext_right(const vl_ext* node) VL_NOEXCEPT;
VL_API uint32_t vl_ext_prio(const vl_ext* node) VL_NOEXCEPT;
VL_API void vl_ext_leaf_info(const vl_ext* node, vl_leaf* out_leaf,
                             uint64_t* out_bytes) VL_NOEXCEPT;

/* ------------------------------------------------- vl_dict_: dictionary */

/* New empty dictionary; NULL on out of memory. */
VL_API vl_dict* vl_dict_new(void) VL_NOEXCEPT;
VL_API void vl_dict_free(vl_dict* dict) VL_NOEXCEPT;
/* Number of ids in use; doubles as the dictionary's version. */
VL_API uint32_t vl_dict_size(const vl_dict* dict) VL_NOEXCEPT;
VL_API uint32_t vl_dict_version(const vl_dict* dict) VL_NOEXCEPT;
/* Id of the entry equal to the `len` bytes, or 0. Never a byte token. */
VL_API uint32_t vl_dict_lookup(const vl_dict* dict, const void* text, uint64_t len) VL_NOEXCEPT;
/* Bytes of `id` and their count (valid until the dictionary next grows);
 * NULL and 0 for an unassigned id. */
VL_API const uint8_t* vl_dict_text(const vl_dict* dict, uint32_t id, uint64_t* out_len) VL_NOEXCEPT;
/* Adds the unknown runs of 1..64 bytes of the text, at most `limit`;
 * returns how many were added (fewer on out of memory). On an engine's
 * dictionary, this, vl_dict_train and vl_net__install_entry log the entries
 * they add, so replay rebuilds the same ids. */
VL_API uint32_t vl_dict_learn(vl_dict* dict, const void* text, uint64_t len,
                              uint32_t limit) VL_NOEXCEPT;
/* Greedy longest-match tokenizing into `out`; returns the ids written, or
 * UINT64_MAX when more than out_cap would be needed. len + 1 always suffices. */
VL_API uint64_t vl_tokenize(const vl_dict* dict, const void* text, uint64_t len, uint32_t* out,
                            uint64_t out_cap) VL_NOEXCEPT;
/* Total byte length of `n` ids. */
VL_API uint64_t vl_detok_len(const vl_dict* dict, const uint32_t* ids, uint64_t n) VL_NOEXCEPT;
/* Copies the ids' bytes into buf, stopping before the first id that does
 * not fit whole; returns the bytes written. */
VL_API uint64_t vl_detokenize(const vl_dict* dict, const uint32_t* ids, uint64_t n, void* buf,
                              uint64_t buf_cap) VL_NOEXCEPT;
/* Trains multi-run phrases from a sample; returns the entry count after. */
VL_API uint32_t vl_dict_train(vl_dict* dict, const void* sample, uint64_t len, uint32_t passes,
                              uint32_t per_pass, uint32_t min_count) VL_NOEXCEPT;
/* Export for snapshots: 1 when savable; entry count; borrowed arrays. */
VL_API int vl_dict__serializable(const vl_dict* dict) VL_NOEXCEPT;
VL_API uint32_t vl_dict__entries(const vl_dict* dict) VL_NOEXCEPT;
VL_API const uint32_t* vl_dict__offs(const vl_dict* dict) VL_NOEXCEPT;
VL_API const uint32_t* vl_dict__lens(const vl_dict* dict) VL_NOEXCEPT;
VL_API const uint8_t* vl_dict__texts(const vl_dict* dict, uint64_t* out_len) VL_NOEXCEPT;
/* Replaces the whole content with exported arrays: 0, or -1 on a bad entry
 * (past the blob, longer than 64), a blob over 4 GiB or out of memory. */
VL_API int vl_dict__restore(vl_dict* dict, const void* blob, uint64_t blob_len,
                            const uint32_t* offs, const uint32_t* lens, uint32_t count) VL_NOEXCEPT;
/* Makes `id` decode to the `len` bytes (0 does nothing); does nothing on
 * out of memory. */
VL_API void vl_net__install_entry(vl_dict* dict, uint32_t id, const void* text,
                                  uint32_t len) VL_NOEXCEPT;

/* ----------------------------------------------- snapshots and stores */

/* Writes the engine to `path` (via path.tmp and rename) and restarts its
 * log at path.wal with the next generation. 0, or -1 with errno: EINVAL
 * (no engine or path), ENOTSUP, ENOMEM, EOVERFLOW (counts or tree depth the
 * format cannot hold; nothing written), EIO (chunks borrowed from a mapped
 * snapshot whose trailer no longer matches its checksum; nothing written),
 * EROFS (the engine was opened read-only from `path`; nothing written),
 * EBUSY (another engine is attached to path.wal as its writer; nothing
 * written), or the failing system call's. When the directory cannot be
 * synced after the rename, the old log is kept and marked failed
 * (vl_wal_ok 0) until a save succeeds. */
VL_API int vl_save_ex(vl_engine* engine, const char* path, int options) VL_NOEXCEPT;
/* vl_save_ex with options 0 (compressed when that is smaller). */
VL_API int vl_save(vl_engine* engine, const char* path) VL_NOEXCEPT;
/* vl_open_ex(path, 0). */
VL_API vl_engine* vl_open(const char* path) VL_NOEXCEPT;
/* Loads the snapshot at `path` and replays path.wal up to its first record
 * that is incomplete, damaged, of an unknown kind or cannot be applied.
 * Read-write (flags 0): when no other engine is attached as the log's
 * writer, takes the writer lock, cuts the log after the last applied record
 * (first keeping cut-off bytes that intact records followed, see
 * vl_wal_damaged_bytes; a log it cannot keep them for is left whole and the
 * engine runs without log), and keeps logging; otherwise works in memory
 * (convention 7). VL_OPEN_READONLY: replays in memory and writes, creates
 * and locks nothing; vl_save and vl_commit to `path` then fail with EROFS.
 * NULL with errno: EINVAL (no path, unknown flag, or a snapshot that is not
 * a regular file), ENOENT, ENOMEM (also while replaying; nothing on disk
 * changed), EIO (a mapped snapshot with a damaged chunk that the open
 * itself had to read: a leaf over part of it, or a log record applied to
 * it; other chunks are checked at first use, see vl_read), the failing
 * call's when path.wal exists but cannot be read (the engine would lack its
 * changes), or the loader's. */
VL_API vl_engine* vl_open_ex(const char* path, unsigned flags) VL_NOEXCEPT;
/* Saves under path.lock if the generation on disk equals `expected`.
 * 0; -1 with errno (EROFS: opened read-only from `path`); -2 generation
 * changed, or path.wal holds records this engine has not replayed (reopen
 * to see them); -3 lock not obtained (~1 s), or another engine is attached
 * to path.wal as its writer (its acknowledged records would be lost). */
VL_API int vl_commit(vl_engine* engine, const char* path, uint64_t expected) VL_NOEXCEPT;
/* Removes path.lock: 0, or -1 with errno. */
VL_API int vl_lock_break(const char* path) VL_NOEXCEPT;
/* 1 when path.lock exists and is readable, else 0. */
VL_API int vl_lock_held(const char* path) VL_NOEXCEPT;
/* Generation in the snapshot header at path; 0 when there is none. */
VL_API uint64_t vl_store_generation(const char* path) VL_NOEXCEPT;
/* Generation of the engine's log; 0 without engine or log. */
VL_API uint64_t vl_engine_generation(const vl_engine* engine) VL_NOEXCEPT;
/* Frees the engine (vl_engine_free); saves nothing. */
VL_API void vl_close(vl_engine* engine) VL_NOEXCEPT;
/* Header version of a snapshot with an intact header; 0 when the file is
 * not a snapshot; -1 with errno on error or a damaged header. */
VL_API int vl_store_format(const char* path) VL_NOEXCEPT;
/* The snapshot and log format version this library writes (3). */
VL_API int vl_format_version(void) VL_NOEXCEPT;
/* 0 when the chunk trailer matches its CRC; 1 when there is no trailer;
 * -1 with errno (EINVAL mismatch or bad header, EIO cut short, ENOMEM). */
VL_API int vl_verify_chunks(const char* path) VL_NOEXCEPT;
/* Store path of the engine's log (valid until the next save or close), or
 * NULL. */
VL_API const char* vl_store_path(const vl_engine* engine) VL_NOEXCEPT;

/* Deep verify of the store at `path` (snapshot and path.wal); reads only:
 * writes, truncates and creates nothing. Checks the snapshot header and
 * length fields, decompression, the body CRC, the chunk trailer, then loads
 * a copy of everything (every chunk key recomputed from its tokens), audits
 * the trees, scans the log and replays it over the copy and audits again.
 * Fills *report (may be NULL) as far as it got.
 * Returns 0 when the store is sound, VL_VERIFY_DAMAGED (1) when a check
 * failed (report says which), or -1 with errno when it could not look:
 * EINVAL (no path), ENOENT (no snapshot), ENOMEM, or the failing read's. */
VL_API int vl_verify_store(const char* path, vl_verify_report* report) VL_NOEXCEPT;

/* ---------------------------------------------- vl_wal_: write-ahead log */

/* Logging hooks: append one record when a log is attached and not
 * replaying; failures only mark the log failed. */
VL_API void vl_wal__create(vl_engine* engine, const char* name, const void* text,
                           uint64_t n) VL_NOEXCEPT;
VL_API void vl_wal__update(vl_engine* engine, const char* name, uint64_t pos, uint64_t del,
                           const void* text, uint64_t n) VL_NOEXCEPT;
VL_API void vl_wal__delete(vl_engine* engine, const char* name) VL_NOEXCEPT;
VL_API void vl_wal__graft(vl_engine* engine, const char* dst, uint64_t dst_pos, const char* src,
                          uint64_t src_pos, uint64_t len) VL_NOEXCEPT;
VL_API void vl_wal__cut(vl_engine* engine, const char* name, uint64_t pos,
                        uint64_t len) VL_NOEXCEPT;
VL_API void vl_wal__trim(vl_engine* engine, const char* name, uint32_t keep) VL_NOEXCEPT;
/* A binary object made with these (normalised) options. */
VL_API void vl_wal__binary(vl_engine* engine, const char* name, const void* data, uint64_t n,
                           const vl_bin_opts* opts) VL_NOEXCEPT;
/* The engine's dictionary ids lo..hi with their current bytes. */
VL_API void vl_wal__entries(vl_engine* engine, uint32_t lo, uint32_t hi) VL_NOEXCEPT;
/* Closes and frees a log state; NULL does nothing. */
VL_API void vl_wal__destroy(vl_wal* wal) VL_NOEXCEPT;
/* 1 when a log is attached with its file open (0 for an engine opened
 * read-only or beside another writer). */
VL_API int vl_wal_active(const vl_engine* engine) VL_NOEXCEPT;
/* 1 when active and every change since the last save was recorded. After a
 * change the log could not record, nothing more is appended until the next
 * save or commit. */
VL_API int vl_wal_ok(const vl_engine* engine) VL_NOEXCEPT;
/* Sets fsync-per-record on or off; returns the previous value, -1 without log. */
VL_API int vl_wal_set_sync(vl_engine* engine, int on) VL_NOEXCEPT;
/* Records and bytes appended through this log; records replayed at open. */
VL_API uint64_t vl_wal_records(const vl_engine* engine) VL_NOEXCEPT;
VL_API uint64_t vl_wal_bytes(const vl_engine* engine) VL_NOEXCEPT;
VL_API uint64_t vl_wal_replayed(const vl_engine* engine) VL_NOEXCEPT;
/* Bytes the open cut off the log after a damaged record that intact records
 * followed, kept beside the store in vl_wal_damaged_path; 0 when none. */
VL_API uint64_t vl_wal_damaged_bytes(const vl_engine* engine) VL_NOEXCEPT;
/* Path of that file (path.wal.damaged, or with .1, .2, ... when taken; an
 * existing file is never overwritten), valid until the next save or close;
 * NULL when none. */
VL_API const char* vl_wal_damaged_path(const vl_engine* engine) VL_NOEXCEPT;

/* ---------------------------------------------------- flat query API */

/* "velta-capi 1", the same pointer on every call; and the interface number 1. */
VL_API const char* vl_capi_version(void) VL_NOEXCEPT;
VL_API int vl_capi_abi(void) VL_NOEXCEPT;
/* Version count; 0 for NULL. */
VL_API uint32_t vl_object_versions(const vl_object* object) VL_NOEXCEPT;
/* The object's name (owned by the object); NULL for NULL. */
VL_API const char* vl_object_name(const vl_object* object) VL_NOEXCEPT;
/* Per-version fields; version 0xFFFFFFFF is the newest; 0 when invalid. */
VL_API uint64_t vl_object_bytes(const vl_object* object, uint32_t version) VL_NOEXCEPT;
VL_API uint64_t vl_object_tokens(const vl_object* object, uint32_t version) VL_NOEXCEPT;
VL_API uint64_t vl_object_dict_version(const vl_object* object, uint32_t version) VL_NOEXCEPT;
/* 1 when the version index is valid, else 0. */
VL_API int vl_object_has_version(const vl_object* object, uint32_t version) VL_NOEXCEPT;
/* Fills out[6] with vl_engine_stats in field order; nothing for NULL. */
VL_API void vl_stats_flat(vl_engine* engine, uint64_t* out) VL_NOEXCEPT;
/* Store chunk count, store token bytes, dictionary entries; 0 for NULL. */
VL_API uint32_t vl_store_chunk_count(vl_engine* engine) VL_NOEXCEPT;
VL_API uint64_t vl_store_token_bytes(vl_engine* engine) VL_NOEXCEPT;
VL_API uint32_t vl_dict_entries(vl_engine* engine) VL_NOEXCEPT;
/* vl_dict_train on the engine's dictionary; -1 for NULL. */
VL_API int vl_train(vl_engine* engine, const void* sample, uint64_t len, uint32_t passes,
                    uint32_t per_pass, uint32_t min_count) VL_NOEXCEPT;
/* vl_search with hits as (position, object table index) pairs; returns the
 * count written (at most capacity); 0 for NULL, capacity 0, no memory or
 * damaged stored tokens (errno EIO). */
VL_API uint64_t vl_search_flat(vl_engine* engine, const void* query, uint64_t query_len,
                               uint64_t* positions, int* objects, uint64_t capacity) VL_NOEXCEPT;
/* Frees the node arena (vl_ext_arena_free); live nodes; live node bytes. */
VL_API void vl_arena_release(void) VL_NOEXCEPT;
VL_API uint64_t vl_arena_live_nodes(void) VL_NOEXCEPT;
VL_API uint64_t vl_arena_node_bytes(void) VL_NOEXCEPT;

/* ------------------------------------------------ range change history */

/* 0 when the byte range lies in structure versions a and b share; 1 when
 * it changed or that cannot be told (bad indices included). */
VL_API int vl_range_changed(const vl_object* object, uint32_t a, uint32_t b, uint64_t start,
                            uint64_t length) VL_NOEXCEPT;
/* Writes to out, in order, each version v >= 1 that changed the range
 * against v - 1; returns the count (at most capacity). */
VL_API uint32_t vl_range_history(const vl_object* object, uint64_t start, uint64_t length,
                                 uint32_t* out, uint32_t capacity) VL_NOEXCEPT;
/* Leaf count of version b's tree when its root differs from a's, else 0. */
VL_API uint32_t vl_version_new_leaves(const vl_object* object, uint32_t a, uint32_t b) VL_NOEXCEPT;

/* ------------------------------------------------- vl_bin_: binary objects */

/* Writes the default options (4096, 1024, 16384, 0). */
VL_API void vl_bin_opts_default(vl_bin_opts* opts) VL_NOEXCEPT;
/* New object of raw bytes cut by content-defined (or fixed) chunking,
 * logged with its options so replay cuts the same chunks. NULL for no
 * engine or name, or on out of memory. */
VL_API vl_object* vl_create_binary(vl_engine* engine, const char* name, const void* data,
                                   uint64_t length, const vl_bin_opts* opts) VL_NOEXCEPT;
/* Leaf count of a version (0xFFFFFFFF = newest); 0 when invalid. */
VL_API uint32_t vl_bin_chunk_count(const vl_object* object, uint32_t version) VL_NOEXCEPT;
/* Z-order permutation of `count` 3-D points (x, y, z floats) into out.
 * 0, or -1 for count 0, NULL arguments or out of memory (out untouched). */
VL_API int vl_morton_order(const float* points, uint32_t count, uint32_t* out) VL_NOEXCEPT;

/* ------------------------------------------------- three-way merge */

/* Analyses merging version `other`'s change against `base` into the current
 * version; changes nothing. 0 mergeable, -2 conflict, -1 error. */
VL_API int vl_merge_preview(vl_engine* engine, vl_object* object, uint32_t base, uint32_t other,
                            vl_merge_report* report) VL_NOEXCEPT;
/* Applies that change with vl_update. 0 merged (or nothing to apply),
 * -2 conflict (nothing applied), -1 error. `report` may be NULL. */
VL_API int vl_merge(vl_engine* engine, vl_object* object, uint32_t base, uint32_t other,
                    vl_merge_report* report) VL_NOEXCEPT;

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VELTA_H */
