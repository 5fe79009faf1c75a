// The log's side of the engine's change reports: one record per change,
// built in the log's reusable buffer and appended. A report never fails the
// edit that made it; any failure only marks the log. Record layout in
// wal_format.h.
#include <cstdint>

#include "dict/dict.h"
#include "engine/engine.h"
#include "persist/bytebuf.h"
#include "persist/wal.h"
#include "persist/wal_format.h"

namespace velta::persist {
namespace {

namespace fmt = velta::wal_format;

// Field writer over the log's reusable record buffer. Appends after a
// failed growth are skipped (the buffer's sticky flag); `too_long` marks a
// byte string no record can frame.
struct Record {
  bytebuf* b;
  bool too_long = false;

  void u32(std::uint32_t v) { put_u32(b, v); }
  void u64(std::uint64_t v) { put_u64(b, v); }
  // Length byte, then at most 63 bytes, as names are kept in memory.
  void name(const char* s) { put_name(b, s != nullptr ? s : ""); }
  // u64 length, then the bytes.
  void blob(const void* p, std::uint64_t n) {
    if (p == nullptr) n = 0;
    if (n > fmt::kMaxPayload) {
      too_long = true;
      return;
    }
    put_u64(b, n);
    put_bytes(b, p, n);
  }
};

// Builds a record with `fill` and appends it. A buffer that could not grow
// (or a record over 4 GiB) marks the log failed and writes nothing. A large
// buffer is let go afterwards so one big create does not pin its size.
template <class F>
void log_record(vl_wal* wal, std::uint8_t kind, F&& fill) noexcept {
  // Once one change could not be recorded, recording later ones would let
  // replay build a state the engine never held.
  if (wal->replaying || wal->failed) return;
  bytebuf* b = &wal->scratch;
  if (b->failed) free_buffer(b);
  b->len = 0;
  Record r{b};
  put_bytes(b, &kind, 1);
  fill(r);
  if (r.too_long) {
    wal->failed = 1;
  } else {
    wal_append(wal, *b);
  }
  if (b->cap > (std::uint64_t{1} << 20) || b->failed) free_buffer(b);
}

}  // namespace

vl_wal* attached_wal(const vl_engine* engine) noexcept {
  return engine != nullptr ? dynamic_cast<vl_wal*>(engine->log.get()) : nullptr;
}

void attach_wal(vl_engine* engine, vl_wal* wal) noexcept {
  if (engine == nullptr) return;
  (void)engine->log.release();
  engine->log.reset(wal);
}

}  // namespace velta::persist

using velta::persist::log_record;
using Record = velta::persist::Record;
namespace fmt = velta::wal_format;

void vl_wal::mark_failed() noexcept {
  if (!replaying) failed = 1;
}

void vl_wal::log_create(const char* name, const void* text, std::uint64_t n) noexcept {
  log_record(this, fmt::kCreate, [&](Record& r) {
    r.name(name);
    r.blob(text, n);
  });
}

void vl_wal::log_update(const char* name, std::uint64_t pos, std::uint64_t del, const void* text,
                        std::uint64_t n) noexcept {
  log_record(this, fmt::kUpdate, [&](Record& r) {
    r.name(name);
    r.u64(pos);
    r.u64(del);
    r.blob(text, n);
  });
}

void vl_wal::log_delete(const char* name) noexcept {
  log_record(this, fmt::kDelete, [&](Record& r) { r.name(name); });
}

void vl_wal::log_graft(const char* dst, std::uint64_t dst_pos, const char* src,
                       std::uint64_t src_pos, std::uint64_t len) noexcept {
  log_record(this, fmt::kGraft, [&](Record& r) {
    r.name(dst);
    r.name(src);
    r.u64(dst_pos);
    r.u64(src_pos);
    r.u64(len);
  });
}

void vl_wal::log_cut(const char* name, std::uint64_t pos, std::uint64_t len) noexcept {
  log_record(this, fmt::kCut, [&](Record& r) {
    r.name(name);
    r.u64(pos);
    r.u64(len);
  });
}

void vl_wal::log_trim(const char* name, std::uint32_t keep) noexcept {
  log_record(this, fmt::kTrim, [&](Record& r) {
    r.name(name);
    r.u32(keep);
  });
}

void vl_wal::log_binary(const char* name, const void* data, std::uint64_t n,
                        const vl_bin_opts& opts) noexcept {
  log_record(this, fmt::kBinary, [&](Record& r) {
    r.name(name);
    r.u32(opts.target_size);
    r.u32(opts.min_size);
    r.u32(opts.max_size);
    r.u32(opts.fixed_size);
    r.blob(data, n);
  });
}

void vl_wal::log_entries(std::uint32_t lo, std::uint32_t hi) noexcept {
  if (lo == 0 || hi < lo) return;
  const vl_dict* dict = engine->dict;
  log_record(this, fmt::kEntries, [&](Record& r) {
    r.u32(hi - lo + 1);
    for (std::uint64_t id = lo; id <= hi; ++id) {
      std::uint64_t len = 0;
      const std::uint8_t* text = velta::dict::text_of(*dict, static_cast<std::uint32_t>(id), &len);
      if (len > fmt::kMaxEntryLen) {
        r.too_long = true;
        return;
      }
      r.u32(static_cast<std::uint32_t>(id));
      const auto len8 = static_cast<std::uint8_t>(len);
      velta::persist::put_bytes(r.b, &len8, 1);
      velta::persist::put_bytes(r.b, text, len);
    }
  });
}
