// Structural edits: cut, graft and history trimming.
//
// Cut and graft never tokenize: they split and join extent trees at token
// boundaries, so the new version shares nodes and chunks with the versions
// it came from and the chunk store gains nothing. Each edit writes its log
// record only once it is certain to succeed, and before the object changes.
#pragma once

#include <cstdint>

#include "engine/engine.h"

namespace velta::engine {

// Appends to `object` a version without the bytes [pos, pos + len) of its
// current text. Returns 0, or -1 when the range does not lie within the
// text (a range whose end wraps past 2^64 included) or an end of it falls
// inside a token; then nothing is logged or changed. Throws std::bad_alloc
// with nothing logged or changed. Cost: two splits and a join.
int cut(vl_engine* engine, vl_object* object, std::uint64_t pos, std::uint64_t len);

// Appends to `dst` a version with bytes [src_pos, src_pos + len) of src's
// current text inserted at dst_pos. src is never changed and may be dst.
// Returns 0, or -1 when dst_pos is past dst's end, the source range is not
// within src's text (wrapping included) or any of the three positions falls
// inside a token; then nothing is logged or changed. Throws std::bad_alloc
// with nothing logged or changed. Cost: four splits and two joins.
int graft(vl_engine* engine, vl_object* dst, std::uint64_t dst_pos, vl_object* src,
          std::uint64_t src_pos, std::uint64_t len);

// Keeps the newest max(keep, 1) versions of `object` and returns how many
// were dropped (0, and nothing logged, when there were no more than that).
// Version indices seen by callers shift down by the result. Allocates
// nothing.
int trim_history(vl_engine* engine, vl_object* object, std::uint32_t keep);

}  // namespace velta::engine
