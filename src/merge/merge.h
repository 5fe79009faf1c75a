// Three-way merge of one version's change into an object's current version.
//
// Each side's change against the base is summarised as one contiguous
// replacement found by trimming the common prefix and suffix of the two
// texts. Changes whose base ranges overlap (strictly) conflict unless they
// are identical; otherwise theirs is applied to the current text with
// vl_update, shifted by ours' growth when it lies after ours.
#pragma once

#include <cstdint>
#include <span>

#include "velta.h"

namespace velta::merge {

// The single replacement that turns text a into text b: a's bytes
// [pos, a_end) become b's bytes [pos, pos + b_len). Prefix and suffix never
// overlap inside the shorter text. O(common prefix + common suffix).
struct Span {
  std::uint64_t pos;
  std::uint64_t a_end;
  std::uint64_t b_len;
};

Span span_of(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept;

// vl_merge_preview without the C boundary: fills *report (when not NULL
// and the result is not -1) without changing the object. 0 mergeable, -2
// conflict, -1 bad arguments or a short read. Throws std::bad_alloc.
int preview(vl_engine* engine, vl_object* object, std::uint32_t base, std::uint32_t other,
            vl_merge_report* report);

// vl_merge without the C boundary: as preview, and when mergeable applies
// the other side's change as one new version (through vl_update, so it is
// logged). Throws std::bad_alloc with the object unchanged.
int merge(vl_engine* engine, vl_object* object, std::uint32_t base, std::uint32_t other,
          vl_merge_report* report);

}  // namespace velta::merge
