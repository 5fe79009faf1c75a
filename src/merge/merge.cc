// Three-way merge of versions of one object: the work behind
// vl_merge_preview and vl_merge.
//
// Both decode three whole versions (base, current = ours, other = theirs),
// so the cost is linear in their sizes whatever the trees share. A merge
// that applies something appends exactly one version through vl_update,
// which also writes the ordinary update record to the log; a preview, a
// merge with nothing to apply and every failure leave the object as it was.
#include "merge/merge.h"

#include <bit>
#include <cstddef>
#include <cstring>
#include <memory>
#include <utility>

#include "engine/engine.h"
#include "util/limits.h"

namespace velta::merge {
namespace {

std::uint64_t load64(const std::uint8_t* p) noexcept {
  std::uint64_t v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

// Length of the common prefix of a and b, at most n bytes; eight at a time.
std::uint64_t common_prefix(const std::uint8_t* a, const std::uint8_t* b,
                            std::uint64_t n) noexcept {
  std::uint64_t i = 0;
  for (; i + 8 <= n; i += 8) {
    const std::uint64_t x = load64(a + i) ^ load64(b + i);
    if (x != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return i + static_cast<std::uint64_t>(std::countr_zero(x)) / 8;
      } else {
        return i + static_cast<std::uint64_t>(std::countl_zero(x)) / 8;
      }
    }
  }
  while (i < n && a[i] == b[i]) ++i;
  return i;
}

// Length of the common suffix of a[0, alen) and b[0, blen), at most n bytes.
std::uint64_t common_suffix(const std::uint8_t* a, std::uint64_t alen, const std::uint8_t* b,
                            std::uint64_t blen, std::uint64_t n) noexcept {
  const std::uint8_t* ae = a + alen;
  const std::uint8_t* be = b + blen;
  std::uint64_t s = 0;
  for (; s + 8 <= n; s += 8) {
    const std::uint64_t x = load64(ae - s - 8) ^ load64(be - s - 8);
    if (x != 0) {
      if constexpr (std::endian::native == std::endian::little) {
        return s + static_cast<std::uint64_t>(std::countl_zero(x)) / 8;
      } else {
        return s + static_cast<std::uint64_t>(std::countr_zero(x)) / 8;
      }
    }
  }
  while (s < n &&
         ae[-1 - static_cast<std::ptrdiff_t>(s)] == be[-1 - static_cast<std::ptrdiff_t>(s)])
    ++s;
  return s;
}

}  // namespace

Span span_of(std::span<const std::uint8_t> a, std::span<const std::uint8_t> b) noexcept {
  const std::uint64_t alen = a.size();
  const std::uint64_t blen = b.size();
  const std::uint64_t m = alen < blen ? alen : blen;
  const std::uint64_t pos = common_prefix(a.data(), b.data(), m);
  const std::uint64_t s = common_suffix(a.data(), alen, b.data(), blen, m - pos);
  return Span{pos, alen - s, blen - pos - s};
}

namespace {

// A version's whole text, owned.
struct Text {
  std::unique_ptr<std::uint8_t[]> bytes;
  std::uint64_t len = 0;

  std::span<const std::uint8_t> view() const noexcept {
    return {bytes.get(), static_cast<std::size_t>(len)};
  }
};

// Reads version `index` whole. False when the read comes back short.
// Throws std::bad_alloc. REQUIRES: index < n_versions.
bool read_ver(vl_engine* engine, vl_object* object, std::uint32_t index, Text* out) {
  const std::uint64_t len = object->versions[index].bytes;
  out->bytes = std::make_unique_for_overwrite<std::uint8_t[]>(len + 1);
  out->len = len;
  return vl_read_version(engine, object, index, 0, len, out->bytes.get()) == len;
}

bool no_change(std::uint64_t pos, std::uint64_t end, std::uint64_t len) noexcept {
  return pos == end && len == 0;
}

// The common analysis: fills *r (version 0) and hands the other version's
// text back in *other. 0 mergeable, -2 conflict, -1 bad arguments or a
// short read. Throws std::bad_alloc.
int analyse(vl_engine* engine, vl_object* object, std::uint32_t base, std::uint32_t other_index,
            vl_merge_report* r, Text* other) {
  if (engine == nullptr || object == nullptr) return -1;
  const std::uint32_t n = object->n_versions();
  if (base >= n || other_index >= n) return -1;

  Text a, o;
  if (!read_ver(engine, object, base, &a) || !read_ver(engine, object, n - 1, &o) ||
      !read_ver(engine, object, other_index, other)) {
    return -1;
  }
  const Span ours = span_of(a.view(), o.view());
  const Span theirs = span_of(a.view(), other->view());

  *r = vl_merge_report{};
  r->ours_pos = ours.pos;
  r->ours_end = ours.a_end;
  r->ours_len = ours.b_len;
  r->theirs_pos = theirs.pos;
  r->theirs_end = theirs.a_end;
  r->theirs_len = theirs.b_len;

  if (no_change(ours.pos, ours.a_end, ours.b_len) ||
      no_change(theirs.pos, theirs.a_end, theirs.b_len)) {
    return 0;
  }
  // Strict on both sides: ranges that only touch do not overlap, so an
  // insertion conflicts only strictly inside the other side's range.
  if (ours.pos < theirs.a_end && theirs.pos < ours.a_end) {
    const bool same =
        ours.pos == theirs.pos && ours.a_end == theirs.a_end && ours.b_len == theirs.b_len &&
        std::memcmp(o.bytes.get() + ours.pos, other->bytes.get() + theirs.pos, ours.b_len) == 0;
    if (!same) {
      r->conflict = 1;
      return kMergeConflict;
    }
    r->same = 1;
    r->theirs_pos = r->theirs_end = r->theirs_len = 0;
  }
  return 0;
}

}  // namespace

int preview(vl_engine* engine, vl_object* object, std::uint32_t base, std::uint32_t other,
            vl_merge_report* report) {
  vl_merge_report r;
  Text b;
  const int rc = analyse(engine, object, base, other, &r, &b);
  if (report != nullptr && rc != -1) *report = r;
  return rc;
}

int merge(vl_engine* engine, vl_object* object, std::uint32_t base, std::uint32_t other,
          vl_merge_report* report) {
  vl_merge_report local;
  vl_merge_report* r = report != nullptr ? report : &local;
  vl_merge_report result;
  Text b;
  const int rc = analyse(engine, object, base, other, &result, &b);
  if (rc == -1) return -1;
  *r = result;
  if (rc != 0) return rc;

  if (!no_change(r->theirs_pos, r->theirs_end, r->theirs_len)) {
    // Theirs after ours' change moves by ours' growth (which may be
    // negative; theirs_pos >= ours_end keeps the difference non-negative).
    const std::uint64_t at = r->theirs_pos >= r->ours_end
                                 ? r->theirs_pos - (r->ours_end - r->ours_pos) + r->ours_len
                                 : r->theirs_pos;
    if (vl_update(engine, object, at, r->theirs_end - r->theirs_pos, b.bytes.get() + r->theirs_pos,
                  r->theirs_len) != 0) {
      return -1;
    }
  }
  r->version = object->n_versions() - 1;
  return 0;
}

}  // namespace velta::merge
