// The C entry points of the flat query interface: handle checks and neutral
// results (0, NULL or -1) around field reads and the work in velta::capi.
#include <cstdint>

#include "capi/flat.h"
#include "engine/engine.h"
#include "util/capi_guard.h"
#include "velta.h"

extern "C" {

const char* vl_capi_version(void) noexcept { return velta::capi::kCapiVersion; }

int vl_capi_abi(void) noexcept { return 1; }

uint32_t vl_object_versions(const vl_object* object) noexcept {
  return object != nullptr ? object->n_versions() : 0;
}

const char* vl_object_name(const vl_object* object) noexcept {
  return object != nullptr ? object->name : nullptr;
}

uint64_t vl_object_bytes(const vl_object* object, uint32_t version) noexcept {
  const vl_version* v = velta::capi::pick(object, version);
  return v != nullptr ? v->bytes : 0;
}

uint64_t vl_object_tokens(const vl_object* object, uint32_t version) noexcept {
  const vl_version* v = velta::capi::pick(object, version);
  return v != nullptr ? v->tokens : 0;
}

uint64_t vl_object_dict_version(const vl_object* object, uint32_t version) noexcept {
  const vl_version* v = velta::capi::pick(object, version);
  return v != nullptr ? v->dict_version : 0;
}

int vl_object_has_version(const vl_object* object, uint32_t version) noexcept {
  return velta::capi::pick(object, version) != nullptr ? 1 : 0;
}

void vl_stats_flat(vl_engine* engine, uint64_t* out) noexcept {
  if (engine == nullptr || out == nullptr) return;
  vl_stats s;
  vl_engine_stats(engine, &s);
  out[0] = s.chunks_put;
  out[1] = s.chunks_deduped;
  out[2] = s.tokens_scanned;
  out[3] = s.tokens_decoded;
  out[4] = s.bytes_ingested;
  out[5] = s.store_bytes;
}

uint32_t vl_store_chunk_count(vl_engine* engine) noexcept {
  return engine != nullptr ? vl_store_chunks(engine->store) : 0;
}

uint64_t vl_store_token_bytes(vl_engine* engine) noexcept {
  return engine != nullptr ? vl_store_bytes(engine->store) : 0;
}

uint32_t vl_dict_entries(vl_engine* engine) noexcept {
  return engine != nullptr ? vl_dict_size(engine->dict) : 0;
}

int vl_train(vl_engine* engine, const void* sample, uint64_t len, uint32_t passes,
             uint32_t per_pass, uint32_t min_count) noexcept {
  if (engine == nullptr) return -1;
  return static_cast<int>(vl_dict_train(engine->dict, sample, len, passes, per_pass, min_count));
}

uint64_t vl_search_flat(vl_engine* engine, const void* query, uint64_t query_len,
                        uint64_t* positions, int* objects, uint64_t capacity) noexcept {
  if (engine == nullptr || query == nullptr || capacity == 0) return 0;
  if (positions == nullptr || objects == nullptr) return 0;
  return velta::guard<uint64_t>(0, [&] {
    return velta::capi::search_flat(engine, query, query_len, positions, objects, capacity);
  });
}

void vl_arena_release(void) noexcept { vl_ext_arena_free(); }

uint64_t vl_arena_live_nodes(void) noexcept { return vl_ext_nodes_alloced(); }

uint64_t vl_arena_node_bytes(void) noexcept { return vl_ext_node_bytes(); }

}  // extern "C"
