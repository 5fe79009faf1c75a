// The C entry points of snapshots and stores: save, open, commit and the
// store questions. Argument checks, errno and the out-of-memory guard around
// the work in velta::persist.
#include <cerrno>
#include <cstdint>

#include "engine/engine.h"
#include "persist/commit.h"
#include "persist/recovery.h"
#include "persist/snapshot_format.h"
#include "persist/snapshot_writer.h"
#include "persist/store_info.h"
#include "persist/verify.h"
#include "util/capi_guard.h"
#include "velta.h"

namespace per = velta::persist;

extern "C" {

int vl_save_ex(vl_engine* engine, const char* path, int options) noexcept {
  return velta::guard(-1, [&] { return per::snap_save(engine, path, options); });
}

int vl_save(vl_engine* engine, const char* path) noexcept { return vl_save_ex(engine, path, 0); }

vl_engine* vl_open_ex(const char* path, unsigned flags) noexcept {
  return velta::guard<vl_engine*>(nullptr, [&]() -> vl_engine* {
    if (!path || (flags & ~VL_OPEN_READONLY) != 0) {
      errno = EINVAL;
      return nullptr;
    }
    return per::open_store(path, (flags & VL_OPEN_READONLY) != 0);
  });
}

vl_engine* vl_open(const char* path) noexcept { return vl_open_ex(path, 0); }

int vl_commit(vl_engine* engine, const char* path, std::uint64_t expected) noexcept {
  return velta::guard(-1, [&] {
    if (!engine || !path) {
      errno = EINVAL;
      return -1;
    }
    return per::commit(engine, path, expected);
  });
}

int vl_lock_break(const char* path) noexcept {
  return velta::guard(-1, [&] {
    if (!path) {
      errno = EINVAL;
      return -1;
    }
    return per::lock_break(path);
  });
}

int vl_lock_held(const char* path) noexcept {
  return velta::guard(0, [&] { return path ? per::lock_held(path) : 0; });
}

std::uint64_t vl_store_generation(const char* path) noexcept {
  return path ? per::store_generation(path) : 0;
}

std::uint64_t vl_engine_generation(const vl_engine* engine) noexcept {
  return per::engine_generation(engine);
}

void vl_close(vl_engine* engine) noexcept { vl_engine_free(engine); }

int vl_store_format(const char* path) noexcept {
  return velta::guard(-1, [&] {
    if (!path) {
      errno = EINVAL;
      return -1;
    }
    return per::store_format(path);
  });
}

int vl_format_version(void) noexcept { return static_cast<int>(per::kSnapVersion); }

int vl_verify_chunks(const char* path) noexcept {
  return velta::guard(-1, [&] {
    if (!path) {
      errno = EINVAL;
      return -1;
    }
    return per::verify_chunks(path);
  });
}

const char* vl_store_path(const vl_engine* engine) noexcept { return per::store_path(engine); }

int vl_verify_store(const char* path, vl_verify_report* report) noexcept {
  vl_verify_report scratch;
  vl_verify_report* out = report != nullptr ? report : &scratch;
  *out = vl_verify_report{};
  return velta::guard(-1, [&] {
    if (!path) {
      errno = EINVAL;
      return -1;
    }
    return per::verify_store(path, out);
  });
}

}  // extern "C"
