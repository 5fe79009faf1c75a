// The exported vl_store_* functions: NULL checks and out-parameters around
// the store core, which reports out of memory by its results.
#include "store/store.h"
#include "velta.h"

namespace st = velta::store;

extern "C" {

vl_store* vl_store_new(void) noexcept { return st::create(); }

void vl_store_free(vl_store* store) noexcept { delete store; }

uint64_t vl_store_put(vl_store* store, const uint32_t* toks, uint64_t n) noexcept {
  return store != nullptr ? st::put(store, toks, n) : 0;
}

const uint32_t* vl_store_get(vl_store* store, uint64_t key, uint64_t* n) noexcept {
  vl_chunk* c = st::find(store, key);
  // Borrowed tokens are checked at first use; damaged ones are not given.
  if (c != nullptr && !st::verify(store, c)) c = nullptr;
  if (n != nullptr) *n = c != nullptr ? c->n : 0;
  return c != nullptr ? c->toks : nullptr;
}

uint32_t vl_store_chunks(const vl_store* store) noexcept {
  return store != nullptr ? store->count : 0;
}

uint32_t vl_store__count(const vl_store* store) noexcept {
  return store != nullptr ? store->count : 0;
}

uint64_t vl_store_bytes(const vl_store* store) noexcept {
  return store != nullptr ? store->token_bytes : 0;
}

const uint32_t* vl_store__at(const vl_store* store, uint32_t index, uint32_t* n,
                             uint64_t* key) noexcept {
  const vl_chunk* c = store != nullptr && index < store->count ? &store->recs[index] : nullptr;
  if (n != nullptr) *n = c != nullptr ? c->n : 0;
  if (key != nullptr) *key = c != nullptr ? c->key : 0;
  return c != nullptr ? c->toks : nullptr;
}

uint64_t vl_store__deduped(const vl_store* store) noexcept {
  return store != nullptr ? store->deduped : 0;
}

void vl_store__set_deduped(vl_store* store, uint64_t value) noexcept {
  if (store != nullptr) store->deduped = value;
}

uint64_t vl_store__put_borrowed(vl_store* store, uint64_t key, const uint32_t* toks,
                                uint32_t n) noexcept {
  return store != nullptr ? st::put_borrowed(store, key, toks, n) : 0;
}

void vl_store__set_map(vl_store* store, void* map, uint64_t map_len, void* map_aux) noexcept {
  if (store == nullptr) return;
  store->map = map;
  store->map_len = map_len;
  store->map_aux = map_aux;
}

void vl_store__get_map(const vl_store* store, void** map, uint64_t* map_len,
                       void** map_aux) noexcept {
  if (map != nullptr) *map = store != nullptr ? store->map : nullptr;
  if (map_len != nullptr) *map_len = store != nullptr ? store->map_len : 0;
  if (map_aux != nullptr) *map_aux = store != nullptr ? store->map_aux : nullptr;
}

uint64_t vl_store__mapped_bytes(const vl_store* store) noexcept {
  return store != nullptr ? store->mapped_bytes : 0;
}

void vl_store_unmap(vl_store* store) noexcept { st::unmap(store); }

}  // extern "C"
