// Cut, graft and history trimming.
//
// Order of every edit: check the arguments, build the new tree (splits and
// joins only make new nodes, so nothing visible changes yet), make room for
// the new version, write the log record, append the version. Building
// before logging means a node that cannot be allocated (std::bad_alloc,
// turned into -1 at the boundary) is met while nothing is logged: the log
// never holds an edit that memory did not apply.
#include "engine/edits.h"

#include <algorithm>
#include <climits>
#include <optional>

namespace velta::engine {
namespace {

// Token index at which byte `pos` of v begins a token (v.tokens for the end
// of the text), or nothing when pos is past the end or inside a token.
std::optional<std::uint64_t> boundary(vl_engine* engine, const vl_version& v, std::uint64_t pos) {
  if (pos > v.bytes) return std::nullopt;
  if (pos == v.bytes) return v.tokens;
  const TokPos tp = locate(engine, v, pos);
  if (tp.off != 0) return std::nullopt;
  return tp.index;
}

// True when [pos, pos + len) lies within a text of `bytes` bytes; a sum that
// wraps past 2^64 does not.
bool range_within(std::uint64_t pos, std::uint64_t len, std::uint64_t bytes) {
  return len <= bytes && pos <= bytes - len;
}

// The tokens [from, to) of `root` as a tree of their own (one reference).
// REQUIRES: from <= to. Throws std::bad_alloc.
ExtRef token_range(vl_engine* engine, vl_ext* root, std::uint64_t from, std::uint64_t to) {
  ExtRef before, rest, piece, after;
  split_owned(engine, ExtRef(vl_ext_retain(root)), from, &before, &rest);
  split_owned(engine, std::move(rest), to - from, &piece, &after);
  return piece;
}

}  // namespace

int cut(vl_engine* engine, vl_object* object, std::uint64_t pos, std::uint64_t len) {
  if (engine == nullptr || object == nullptr || object->versions.empty()) return -1;
  const vl_version& v = object->current();
  if (!range_within(pos, len, v.bytes)) return -1;
  const auto ts = boundary(engine, v, pos);
  if (!ts) return -1;
  const auto te = len == 0 ? ts : boundary(engine, v, pos + len);
  if (!te || *te < *ts) return -1;

  ExtRef head, rest, gone, tail;
  split_owned(engine, ExtRef(vl_ext_retain(v.root)), *ts, &head, &rest);
  split_owned(engine, std::move(rest), *te - *ts, &gone, &tail);
  ExtRef result = join_owned(std::move(head), std::move(tail));

  reserve_version(object);  // `v` is not used past this point
  if (ChangeLog* log = engine->log.get()) {
    if (replayable_by_name(engine, object)) {
      log->log_cut(object->name, pos, len);
    } else {
      log->mark_failed();
    }
  }
  push_version(engine, object, result.release());
  return 0;
}

int graft(vl_engine* engine, vl_object* dst, std::uint64_t dst_pos, vl_object* src,
          std::uint64_t src_pos, std::uint64_t len) {
  if (engine == nullptr || dst == nullptr || src == nullptr) return -1;
  if (dst->versions.empty() || src->versions.empty()) return -1;
  const vl_version& d = dst->current();
  const vl_version& s = src->current();
  if (dst_pos > d.bytes) return -1;
  if (!range_within(src_pos, len, s.bytes)) return -1;
  const auto td = boundary(engine, d, dst_pos);
  const auto ts = boundary(engine, s, src_pos);
  if (!td || !ts) return -1;
  const auto te = len == 0 ? ts : boundary(engine, s, src_pos + len);
  if (!te || *te < *ts) return -1;

  ExtRef piece = token_range(engine, s.root, *ts, *te);
  ExtRef head, tail;
  split_owned(engine, ExtRef(vl_ext_retain(d.root)), *td, &head, &tail);
  ExtRef result = join_owned(join_owned(std::move(head), std::move(piece)), std::move(tail));

  reserve_version(dst);  // `d` and `s` are not used past this point
  if (ChangeLog* log = engine->log.get()) {
    if (replayable_by_name(engine, dst) && replayable_by_name(engine, src)) {
      log->log_graft(dst->name, dst_pos, src->name, src_pos, len);
    } else {
      log->mark_failed();
    }
  }
  push_version(engine, dst, result.release());
  return 0;
}

int trim_history(vl_engine* engine, vl_object* object, std::uint32_t keep) {
  if (engine == nullptr || object == nullptr) return 0;
  keep = std::max<std::uint32_t>(keep, 1);
  const std::uint32_t n = object->n_versions();
  if (n <= keep) return 0;
  if (ChangeLog* log = engine->log.get()) {
    if (replayable_by_name(engine, object)) {
      log->log_trim(object->name, keep);
    } else {
      log->mark_failed();
    }
  }

  const std::uint32_t drop = n - keep;
  auto& versions = object->versions;
  for (std::uint32_t i = 0; i < drop; ++i) vl_ext_release(versions[i].root);
  // Erasing keeps the capacity: the array is not shrunk.
  versions.erase(versions.begin(), versions.begin() + drop);
  return static_cast<int>(std::min<std::uint32_t>(drop, INT_MAX));
}

}  // namespace velta::engine
