// The C entry points of the engine family: handle checks and the
// out-of-memory guard around the work in velta::engine.
#include <cerrno>

#include "dict/dict.h"
#include "engine/edits.h"
#include "engine/engine.h"
#include "engine/search.h"
#include "util/capi_guard.h"

namespace eng = velta::engine;

namespace {

// An edit that ran out of memory after learning its text leaves entries
// that no record carries; logging them keeps replayed ids equal to ours.
void log_stray_entries(vl_engine* engine, std::uint32_t before) noexcept {
  const std::uint32_t now = vl_dict_size(engine->dict);
  if (now > before && engine->log) engine->log->log_entries(before + 1, now);
}

}  // namespace

extern "C" {

vl_engine* vl_engine_new(void) noexcept {
  return velta::guard<vl_engine*>(nullptr, []() -> vl_engine* {
    auto e = std::make_unique<vl_engine>();
    e->dict = vl_dict_new();
    e->store = vl_store_new();
    if (e->dict == nullptr || e->store == nullptr) throw std::bad_alloc();
    // Entries a caller adds to this dictionary directly are logged too.
    e->dict->on_change = &eng::report_dict_growth;
    e->dict->on_change_ctx = e.get();
    e->objects.reserve(64);
    return e.release();
  });
}

void vl_engine_free(vl_engine* engine) noexcept { delete engine; }

vl_dict* vl_engine_dict(vl_engine* engine) noexcept {
  return engine != nullptr ? engine->dict : nullptr;
}

vl_store* vl_engine_store(vl_engine* engine) noexcept {
  return engine != nullptr ? engine->store : nullptr;
}

uint32_t vl_engine_objects(const vl_engine* engine) noexcept {
  return engine != nullptr ? static_cast<uint32_t>(engine->objects.size()) : 0;
}

uint32_t vl_engine__n_obj(const vl_engine* engine) noexcept { return vl_engine_objects(engine); }

vl_object* vl_engine__obj(vl_engine* engine, uint32_t index) noexcept {
  if (engine == nullptr || index >= engine->objects.size()) return nullptr;
  return engine->objects[index].get();
}

vl_object* vl_engine_object(vl_engine* engine, int index) noexcept {
  if (index < 0) return nullptr;
  return vl_engine__obj(engine, static_cast<uint32_t>(index));
}

void vl_engine_stats(vl_engine* engine, vl_stats* out) noexcept {
  if (engine == nullptr || out == nullptr) return;
  *out = engine->stats;
  out->chunks_deduped = vl_store__deduped(engine->store);
  out->store_bytes = vl_store_bytes(engine->store);
}

void vl_engine__stats_get(vl_engine* engine, vl_stats* out) noexcept {
  if (engine != nullptr && out != nullptr) *out = engine->stats;
}

void vl_engine__stats_set(vl_engine* engine, const vl_stats* in) noexcept {
  if (engine != nullptr && in != nullptr) engine->stats = *in;
}

int vl_engine__attach(vl_engine* engine, vl_object* object) noexcept {
  // An object without versions would break the table's invariant (every
  // object has a current version); the caller keeps it.
  if (engine == nullptr || object == nullptr || object->versions.empty()) return -1;
  return velta::guard(-1, [&] {
    // Make room first: once the unique_ptr holds the object nothing may fail.
    eng::reserve_object(engine);
    engine->objects.emplace_back(object);
    return 0;
  });
}

vl_object* vl_create(vl_engine* engine, const char* name, const void* text, uint64_t len) noexcept {
  if (engine == nullptr || name == nullptr || (text == nullptr && len > 0)) {
    errno = EINVAL;
    return nullptr;
  }
  const std::uint32_t before = vl_dict_size(engine->dict);
  vl_object* made = velta::guard<vl_object*>(nullptr, [&] {
    return eng::create(engine, name, static_cast<const std::uint8_t*>(text), len);
  });
  if (made == nullptr) log_stray_entries(engine, before);
  return made;
}

vl_object* vl_object_open(vl_engine* engine, const char* name) noexcept {
  if (engine == nullptr || name == nullptr) return nullptr;
  return eng::find(engine, name);
}

int vl_delete(vl_engine* engine, const char* name) noexcept {
  if (engine == nullptr || name == nullptr) return -1;
  return velta::guard(-1, [&] { return eng::delete_object(engine, name); });
}

uint64_t vl_read(vl_engine* engine, vl_object* object, uint64_t start, uint64_t len,
                 void* dest) noexcept {
  if (engine == nullptr || object == nullptr || dest == nullptr || object->versions.empty()) {
    return 0;
  }
  return velta::guard<uint64_t>(
      0, [&] { return eng::read_range(engine, object->current(), start, len, dest); });
}

uint64_t vl_read_version(vl_engine* engine, vl_object* object, uint32_t index, uint64_t start,
                         uint64_t len, void* dest) noexcept {
  const vl_version* v = eng::version_at(object, index);
  if (engine == nullptr || v == nullptr || dest == nullptr) return 0;
  return velta::guard<uint64_t>(0, [&] { return eng::read_range(engine, *v, start, len, dest); });
}

vl_object* vl_net__rebuild(vl_engine* engine, const char* name, const vl_leaf* leaves,
                           uint32_t n) noexcept {
  if (engine == nullptr || name == nullptr || (leaves == nullptr && n > 0)) return nullptr;
  return velta::guard<vl_object*>(nullptr, [&] { return eng::rebuild(engine, name, leaves, n); });
}

int vl_store_is_mapped(const vl_engine* engine) noexcept {
  if (engine == nullptr || engine->store == nullptr) return 0;
  void* map = nullptr;
  uint64_t map_len = 0;
  void* aux = nullptr;
  vl_store__get_map(engine->store, &map, &map_len, &aux);
  return map != nullptr ? 1 : 0;
}

uint64_t vl_store_mapped_bytes(const vl_engine* engine) noexcept {
  if (engine == nullptr || engine->store == nullptr) return 0;
  return vl_store__mapped_bytes(engine->store);
}

int vl_update(vl_engine* engine, vl_object* object, uint64_t pos, uint64_t del, const void* text,
              uint64_t text_len) noexcept {
  if (engine == nullptr || object == nullptr || object->versions.empty()) return -1;
  const std::uint32_t before = vl_dict_size(engine->dict);
  const int rc = velta::guard(-1, [&] {
    return eng::update(engine, object, pos, del, static_cast<const std::uint8_t*>(text), text_len);
  });
  if (rc != 0) log_stray_entries(engine, before);
  return rc;
}

int vl_cut(vl_engine* engine, vl_object* object, uint64_t pos, uint64_t len) noexcept {
  return velta::guard(-1, [&] { return eng::cut(engine, object, pos, len); });
}

int vl_graft(vl_engine* engine, vl_object* dst, uint64_t dst_pos, vl_object* src, uint64_t src_pos,
             uint64_t len) noexcept {
  return velta::guard(-1, [&] { return eng::graft(engine, dst, dst_pos, src, src_pos, len); });
}

int vl_trim_history(vl_engine* engine, vl_object* object, uint32_t keep) noexcept {
  return velta::guard(0, [&] { return eng::trim_history(engine, object, keep); });
}

uint64_t vl_search(vl_engine* engine, const void* pattern, uint64_t plen, vl_hit* hits,
                   uint64_t max_hits) noexcept {
  if (pattern == nullptr || hits == nullptr) return 0;
  return velta::guard(std::uint64_t{0}, [&] {
    return eng::search(engine, std::span(static_cast<const std::uint8_t*>(pattern), plen),
                       std::span(hits, max_hits));
  });
}

}  // extern "C"
