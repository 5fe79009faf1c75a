/* Drives libvelta.so through velta.h alone, as a C program would, phase by
 * phase; exits non-zero on the first failed check. Also pins the size and
 * field offsets of every record that crosses the interface. */
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "velta.h"

_Static_assert(sizeof(vl_leaf) == 16, "vl_leaf is 16 bytes");
_Static_assert(offsetof(vl_leaf, key) == 0, "vl_leaf.key");
_Static_assert(offsetof(vl_leaf, off) == 8, "vl_leaf.off");
_Static_assert(offsetof(vl_leaf, count) == 12, "vl_leaf.count");

_Static_assert(sizeof(vl_stats) == 48, "vl_stats is 48 bytes");
_Static_assert(offsetof(vl_stats, chunks_put) == 0, "vl_stats.chunks_put");
_Static_assert(offsetof(vl_stats, chunks_deduped) == 8, "vl_stats.chunks_deduped");
_Static_assert(offsetof(vl_stats, tokens_scanned) == 16, "vl_stats.tokens_scanned");
_Static_assert(offsetof(vl_stats, tokens_decoded) == 24, "vl_stats.tokens_decoded");
_Static_assert(offsetof(vl_stats, bytes_ingested) == 32, "vl_stats.bytes_ingested");
_Static_assert(offsetof(vl_stats, store_bytes) == 40, "vl_stats.store_bytes");

_Static_assert(sizeof(vl_hit) == 16, "vl_hit is 16 bytes");
_Static_assert(offsetof(vl_hit, object_name) == 0, "vl_hit.object_name");
_Static_assert(offsetof(vl_hit, pos) == 8, "vl_hit.pos");

_Static_assert(sizeof(vl_merge_report) == 64, "vl_merge_report is 64 bytes");
_Static_assert(offsetof(vl_merge_report, ours_pos) == 0, "ours_pos");
_Static_assert(offsetof(vl_merge_report, ours_end) == 8, "ours_end");
_Static_assert(offsetof(vl_merge_report, theirs_pos) == 16, "theirs_pos");
_Static_assert(offsetof(vl_merge_report, theirs_end) == 24, "theirs_end");
_Static_assert(offsetof(vl_merge_report, ours_len) == 32, "ours_len");
_Static_assert(offsetof(vl_merge_report, theirs_len) == 40, "theirs_len");
_Static_assert(offsetof(vl_merge_report, conflict) == 48, "conflict");
_Static_assert(offsetof(vl_merge_report, same) == 52, "same");
_Static_assert(offsetof(vl_merge_report, version) == 56, "version");

_Static_assert(sizeof(vl_bin_opts) == 16, "vl_bin_opts is 16 bytes");
_Static_assert(offsetof(vl_bin_opts, target_size) == 0, "target_size");
_Static_assert(offsetof(vl_bin_opts, min_size) == 4, "min_size");
_Static_assert(offsetof(vl_bin_opts, max_size) == 8, "max_size");
_Static_assert(offsetof(vl_bin_opts, fixed_size) == 12, "fixed_size");

_Static_assert(sizeof(vl_verify_report) == 104, "vl_verify_report is 104 bytes");
_Static_assert(offsetof(vl_verify_report, damaged) == 0, "damaged");
_Static_assert(offsetof(vl_verify_report, snapshot) == 4, "snapshot");
_Static_assert(offsetof(vl_verify_report, log) == 8, "log");
_Static_assert(offsetof(vl_verify_report, flags) == 12, "flags");
_Static_assert(offsetof(vl_verify_report, generation) == 16, "generation");
_Static_assert(offsetof(vl_verify_report, snapshot_bytes) == 24, "snapshot_bytes");
_Static_assert(offsetof(vl_verify_report, objects) == 32, "objects");
_Static_assert(offsetof(vl_verify_report, versions) == 40, "versions");
_Static_assert(offsetof(vl_verify_report, chunks) == 48, "chunks");
_Static_assert(offsetof(vl_verify_report, nodes) == 56, "nodes");
_Static_assert(offsetof(vl_verify_report, log_bytes) == 64, "log_bytes");
_Static_assert(offsetof(vl_verify_report, log_valid_bytes) == 72, "log_valid_bytes");
_Static_assert(offsetof(vl_verify_report, log_records) == 80, "log_records");
_Static_assert(offsetof(vl_verify_report, log_replayed) == 88, "log_replayed");
_Static_assert(offsetof(vl_verify_report, log_replayed_bytes) == 96, "log_replayed_bytes");

static const char* phase = "";

static void start_phase(const char* name) {
  phase = name;
  fprintf(stderr, "=== %s\n", name);
}

#define CHECK(cond)                                                                             \
  do {                                                                                          \
    if (!(cond)) {                                                                              \
      fprintf(stderr, "%s:%d: phase %s: check failed: %s\n", __FILE__, __LINE__, phase, #cond); \
      exit(EXIT_FAILURE);                                                                       \
    }                                                                                           \
  } while (0)

/* The current text of `o` equals the NUL-terminated `want`. */
static int text_is(vl_engine* e, vl_object* o, const char* want) {
  char buf[256];
  const uint64_t len = vl_object_bytes(o, 0xFFFFFFFFu);
  if (len != strlen(want) || len >= sizeof buf) return 0;
  if (vl_read(e, o, 0, len, buf) != len) return 0;
  return memcmp(buf, want, len) == 0;
}

int main(void) {
  vl_engine* e;
  vl_object* doc;
  vl_object* other;
  vl_object* bin;
  char buf[64];

  start_phase("engine");
  e = vl_engine_new();
  CHECK(e != NULL);
  CHECK(vl_engine_objects(e) == 0);
  CHECK(vl_engine_dict(e) != NULL);
  CHECK(vl_engine_store(e) != NULL);
  vl_engine_free(NULL);

  start_phase("create/read/update");
  doc = vl_create(e, "doc", "hello world", 11);
  CHECK(doc != NULL);
  CHECK(vl_object_open(e, "doc") == doc);
  CHECK(vl_object_open(e, "nobody") == NULL);
  CHECK(text_is(e, doc, "hello world"));
  CHECK(vl_read(e, doc, 6, 100, buf) == 5 && memcmp(buf, "world", 5) == 0);
  CHECK(vl_update(e, doc, 5, 0, ", dear", 6) == 0);
  CHECK(text_is(e, doc, "hello, dear world"));
  CHECK(vl_update(e, doc, 1000, 0, "x", 1) == -1);
  CHECK(vl_read_version(e, doc, 0, 0, sizeof buf, buf) == 11);
  CHECK(vl_read_version(e, doc, 2, 0, sizeof buf, buf) == 0);

  start_phase("search");
  other = vl_create(e, "other", "say hello again", 15);
  CHECK(other != NULL);
  {
    vl_hit hits[4];
    uint64_t n = vl_search(e, "hello", 5, hits, 4);
    CHECK(n == 2);
    CHECK(hits[0].object_name == vl_object_name(doc) && hits[0].pos == 0);
    CHECK(hits[1].object_name == vl_object_name(other) && hits[1].pos == 4);
  }

  start_phase("flat queries");
  {
    uint64_t stats[6];
    uint64_t pos[4];
    int objs[4];
    vl_stats s;
    CHECK(strcmp(vl_capi_version(), "velta-capi 1") == 0);
    CHECK(vl_capi_version() == vl_capi_version());
    CHECK(vl_capi_abi() == 1);
    CHECK(vl_object_versions(doc) == 2);
    CHECK(strcmp(vl_object_name(doc), "doc") == 0);
    CHECK(vl_object_bytes(doc, 0xFFFFFFFFu) == 17);
    CHECK(vl_object_bytes(doc, 0) == 11);
    CHECK(vl_object_bytes(doc, 2) == 0);
    CHECK(vl_object_has_version(doc, 1) == 1 && vl_object_has_version(doc, 2) == 0);
    CHECK(vl_object_tokens(doc, 0xFFFFFFFFu) > 0);
    vl_stats_flat(e, stats);
    vl_engine_stats(e, &s);
    CHECK(stats[0] == s.chunks_put && stats[4] == s.bytes_ingested && stats[4] == 26);
    CHECK(stats[5] == s.store_bytes);
    CHECK(vl_store_chunk_count(e) > 0);
    CHECK(vl_store_token_bytes(e) == s.store_bytes);
    CHECK(vl_dict_entries(e) > 0);
    CHECK(vl_search_flat(e, "hello", 5, pos, objs, 4) == 2);
    CHECK(objs[0] == 0 && objs[1] == 1 && pos[1] == 4);
    CHECK(vl_search_flat(e, "hello", 5, pos, objs, 0) == 0);
    CHECK(vl_train(NULL, "a", 1, 1, 1, 1) == -1);
    CHECK(vl_range_changed(doc, 0, 1, 0, 5) == 1);
    CHECK(vl_range_changed(doc, 1, 1, 0, 5) == 0);
    CHECK(vl_range_changed(doc, 0, 2, 0, 5) == 1);
    {
      uint32_t changed[4];
      CHECK(vl_range_history(doc, 0, 5, changed, 4) == 1 && changed[0] == 1);
    }
    CHECK(vl_version_new_leaves(doc, 1, 1) == 0);
  }

  start_phase("binary");
  {
    vl_bin_opts o;
    unsigned char* data = malloc(100000);
    CHECK(data != NULL);
    vl_bin_opts_default(&o);
    CHECK(o.target_size == 4096 && o.min_size == 1024 && o.max_size == 16384 && o.fixed_size == 0);
    memset(data, 0, 100000);
    {
      uint32_t before = vl_store_chunk_count(e);
      bin = vl_create_binary(e, "zeros", data, 100000, NULL);
      CHECK(bin != NULL);
      CHECK(vl_bin_chunk_count(bin, 0xFFFFFFFFu) == 7);
      CHECK(vl_store_chunk_count(e) == before + 2);
    }
    o.target_size = 1000;
    o.fixed_size = 1;
    bin = vl_create_binary(e, "fixed", data, 2500, &o);
    CHECK(bin != NULL && vl_bin_chunk_count(bin, 0) == 3);
    CHECK(vl_bin_chunk_count(bin, 1) == 0);
    CHECK(vl_object_bytes(bin, 0) == 2500);
    CHECK(vl_create_binary(NULL, "x", data, 1, NULL) == NULL);
    free(data);
  }
  {
    const float pts[12] = {1, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0};
    uint32_t out[4] = {9, 9, 9, 9};
    CHECK(vl_morton_order(pts, 4, out) == 0);
    CHECK(out[0] == 3 && out[1] == 0 && out[2] == 1 && out[3] == 2);
    CHECK(vl_morton_order(pts, 0, out) == -1);
  }

  start_phase("merge");
  {
    vl_merge_report r;
    vl_object* m = vl_create(e, "m", "abcdef", 6);
    CHECK(m != NULL);
    CHECK(vl_update(e, m, 5, 1, "Y", 1) == 0);      /* theirs: abcdeY */
    CHECK(vl_update(e, m, 0, 6, "abXdef", 6) == 0); /* ours: abXdef */
    CHECK(vl_merge_preview(e, m, 0, 1, &r) == 0 && r.conflict == 0);
    CHECK(vl_object_versions(m) == 3);
    CHECK(vl_merge(e, m, 0, 1, &r) == 0);
    CHECK(r.version == 3 && text_is(e, m, "abXdeY"));
    CHECK(vl_merge(e, m, 0, 4, &r) == -1);
    CHECK(vl_update(e, m, 0, 6, "abYYef", 6) == 0); /* theirs */
    CHECK(vl_update(e, m, 0, 6, "aXXdef", 6) == 0); /* ours */
    CHECK(vl_merge(e, m, 0, 4, &r) == -2 && r.conflict == 1);
    CHECK(vl_object_versions(m) == 6);
  }

  start_phase("arena");
  CHECK(vl_arena_live_nodes() > 0);
  CHECK(vl_arena_node_bytes() == 56 * vl_arena_live_nodes());
  vl_engine_free(e);
  CHECK(vl_arena_live_nodes() == 0);
  CHECK(vl_arena_node_bytes() == 0);
  vl_arena_release();

  fprintf(stderr, "all phases passed\n");
  return 0;
}
