// The C entry points of three-way merge: the out-of-memory guard around the
// work in velta::merge.
#include "merge/merge.h"
#include "util/capi_guard.h"
#include "velta.h"

extern "C" {

int vl_merge_preview(vl_engine* engine, vl_object* object, uint32_t base, uint32_t other,
                     vl_merge_report* report) noexcept {
  return velta::guard(-1,
                      [&] { return velta::merge::preview(engine, object, base, other, report); });
}

int vl_merge(vl_engine* engine, vl_object* object, uint32_t base, uint32_t other,
             vl_merge_report* report) noexcept {
  return velta::guard(-1, [&] { return velta::merge::merge(engine, object, base, other, report); });
}

}  // extern "C"
