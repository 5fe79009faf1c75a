// The C entry points of range change history: handle and index checks
// around the work in velta::capi.
#include <cstdint>

#include "capi/range_history.h"
#include "engine/engine.h"
#include "velta.h"

extern "C" {

int vl_range_changed(const vl_object* object, uint32_t a, uint32_t b, uint64_t start,
                     uint64_t length) noexcept {
  if (object == nullptr) return 1;
  const std::uint32_t n = object->n_versions();
  if (a >= n || b >= n) return 1;
  return velta::capi::changed(*object, a, b, start, velta::capi::range_end(start, length));
}

uint32_t vl_range_history(const vl_object* object, uint64_t start, uint64_t length, uint32_t* out,
                          uint32_t capacity) noexcept {
  if (object == nullptr || out == nullptr || capacity == 0) return 0;
  return velta::capi::history(*object, start, velta::capi::range_end(start, length), out, capacity);
}

uint32_t vl_version_new_leaves(const vl_object* object, uint32_t a, uint32_t b) noexcept {
  if (object == nullptr) return 0;
  const std::uint32_t n = object->n_versions();
  if (a >= n || b >= n) return 0;
  return velta::capi::new_leaves(*object, a, b);
}

}  // extern "C"
