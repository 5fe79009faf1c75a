// The C entry points of binary objects and point ordering: argument checks,
// the (pointer, length) to span conversion and the out-of-memory guard
// around the work in velta::binary.
#include <cstdint>

#include "binary/binary.h"
#include "binary/morton.h"
#include "engine/engine.h"
#include "util/capi_guard.h"
#include "velta.h"

extern "C" {

void vl_bin_opts_default(vl_bin_opts* opts) noexcept {
  if (opts == nullptr) return;
  *opts = velta::binary::kDefaultOpts;
}

vl_object* vl_create_binary(vl_engine* engine, const char* name, const void* data, uint64_t length,
                            const vl_bin_opts* opts) noexcept {
  if (engine == nullptr || name == nullptr) return nullptr;
  if (data == nullptr && length != 0) return nullptr;
  return velta::guard<vl_object*>(nullptr, [&] {
    return velta::binary::create(
        engine, name, {static_cast<const std::uint8_t*>(data), static_cast<std::size_t>(length)},
        opts);
  });
}

uint32_t vl_bin_chunk_count(const vl_object* object, uint32_t version) noexcept {
  if (object == nullptr) return 0;
  return velta::binary::chunk_count(*object, version);
}

int vl_morton_order(const float* points, uint32_t count, uint32_t* out) noexcept {
  if (count == 0 || points == nullptr || out == nullptr) return -1;
  return velta::guard(-1, [&] {
    velta::binary::order(points, count, out);
    return 0;
  });
}

}  // extern "C"
