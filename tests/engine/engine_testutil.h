// Helpers shared by the engine tests: whole-version reads, token boundaries
// of a version, and every root of an engine for reference-count audits.
// Tests hold engines in velta::EngineHolder (util/holders.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "engine/engine.h"
#include "util/holders.h"
#include "velta.h"

namespace velta::testing {

inline vl_object* make(vl_engine* e, const char* name, std::string_view text) {
  return vl_create(e, name, text.data(), text.size());
}

// Text of version `index` (UINT32_MAX: the current one).
inline std::string text_at(vl_engine* e, vl_object* o, std::uint32_t index = UINT32_MAX) {
  const std::uint64_t n = vl_object_bytes(o, index);
  std::string s(n, '\0');
  const std::uint64_t got = index == UINT32_MAX ? vl_read(e, o, 0, n, s.data())
                                                : vl_read_version(e, o, index, 0, n, s.data());
  s.resize(got);
  return s;
}

// Byte positions at which the current version's tokens begin, in order,
// followed by its byte length; empty tokens repeat a position.
inline std::vector<std::uint64_t> token_starts(vl_engine* e, const vl_object* o) {
  struct Ctx {
    vl_engine* e;
    std::vector<std::uint64_t> starts;
    std::uint64_t pos = 0;
  } ctx{e, {}};
  vl_ext_walk(
      o->current().root,
      [](void* c, const vl_leaf* leaf, std::uint64_t) -> int {
        auto* x = static_cast<Ctx*>(c);
        std::uint64_t n = 0;
        const std::uint32_t* toks = vl_store_get(vl_engine_store(x->e), leaf->key, &n);
        for (std::uint32_t i = 0; i < leaf->count && toks != nullptr; ++i) {
          std::uint64_t len = 0;
          vl_dict_text(vl_engine_dict(x->e), toks[leaf->off + i], &len);
          x->starts.push_back(x->pos);
          x->pos += len;
        }
        return 0;
      },
      &ctx);
  ctx.starts.push_back(ctx.pos);
  return ctx.starts;
}

// Every version root of every object, for vl_ext_audit.
inline std::vector<vl_ext*> all_roots(vl_engine* e) {
  std::vector<vl_ext*> roots;
  for (const auto& o : e->objects) {
    for (const vl_version& v : o->versions) {
      if (v.root != nullptr) roots.push_back(v.root);
    }
  }
  return roots;
}

inline int audit(vl_engine* e) {
  const std::vector<vl_ext*> roots = all_roots(e);
  return vl_ext_audit(roots.data(), static_cast<std::uint32_t>(roots.size()), 1);
}

}  // namespace velta::testing
