// The flat query interface's work: picking a version by flat index and the
// flattened search. The C calls (flat_api.cc) are thin reads of one field
// or forwards to the subsystem that owns the data; none allocates anything
// that outlives the call, and a missing handle or an invalid index gives
// the neutral value (0, NULL or -1).
#include "capi/flat.h"

#include <cerrno>
#include <cstdint>
#include <memory>
#include <new>

#include "engine/engine.h"

namespace velta::capi {

const vl_version* pick(const vl_object* object, std::uint32_t index) noexcept {
  if (object == nullptr || object->versions.empty()) return nullptr;
  if (index == kNewestVersion) return &object->versions.back();
  if (index >= object->n_versions()) return nullptr;
  return &object->versions[index];
}

// Hits come object by object in table order, so a cursor that only moves
// forward (wrapping once if needed) finds every owner in O(hits + objects)
// overall.
std::uint64_t search_flat(vl_engine* engine, const void* query, std::uint64_t query_len,
                          std::uint64_t* positions, int* objects, std::uint64_t capacity) {
  if (capacity > SIZE_MAX / sizeof(vl_hit)) return 0;
  std::unique_ptr<vl_hit[]> hits(new (std::nothrow) vl_hit[capacity]);
  if (!hits) {
    errno = ENOMEM;
    return 0;
  }
  const std::uint64_t n = vl_search(engine, query, query_len, hits.get(), capacity);

  const auto& table = engine->objects;
  const std::size_t n_obj = table.size();
  std::size_t cursor = 0;
  for (std::uint64_t i = 0; i < n; ++i) {
    positions[i] = hits[i].pos;
    int owner = 0;
    for (std::size_t step = 0; step < n_obj; ++step) {
      const std::size_t j = (cursor + step) % n_obj;
      if (table[j]->name == hits[i].object_name) {
        owner = static_cast<int>(j);
        cursor = j;
        break;
      }
    }
    objects[i] = owner;
  }
  return n;
}

}  // namespace velta::capi
