// The C entry points of the log family: the logging hooks the edit
// operations call before they change anything (and the dictionary's, after
// a caller grew it), destruction, and queries. A hook never reports to its
// operation; any failure only marks the log.
#include <cstdint>

#include "dict/dict.h"
#include "engine/engine.h"
#include "persist/bytebuf.h"
#include "persist/wal.h"
#include "persist/wal_format.h"

namespace {

namespace fmt = velta::wal_format;
using velta::persist::wal_append;

using velta::persist::bappend;
using velta::persist::bu32;
using velta::persist::bu64;
using velta::persist::bytebuf;
using velta::persist::wname;

// Field writer over the log's reusable record buffer. Appends after a
// failed growth are skipped (the buffer's sticky flag); `too_long` marks a
// byte string no record can frame.
struct Record {
  bytebuf* b;
  bool too_long = false;

  void u32(std::uint32_t v) { bu32(b, v); }
  void u64(std::uint64_t v) { bu64(b, v); }
  // Length byte, then at most 63 bytes, as names are kept in memory.
  void name(const char* s) { wname(b, s != nullptr ? s : ""); }
  // u64 length, then the bytes.
  void blob(const void* p, std::uint64_t n) {
    if (p == nullptr) n = 0;
    if (n > fmt::kMaxPayload) {
      too_long = true;
      return;
    }
    bu64(b, n);
    bappend(b, p, n);
  }
};

// The log to write to, or NULL when there is none, it is replaying, or it
// has failed: once one change could not be recorded, recording later ones
// would let replay build a state the engine never held.
vl_wal* live_log(vl_engine* engine) noexcept {
  if (engine == nullptr || engine->wal == nullptr || engine->wal->replaying) return nullptr;
  if (engine->wal->failed) return nullptr;
  return engine->wal;
}

// Builds a record with `fill` and appends it. A buffer that could not grow
// (or a record over 4 GiB) marks the log failed and writes nothing. A large
// buffer is let go afterwards so one big create does not pin its size.
template <class F>
void log_record(vl_engine* engine, std::uint8_t kind, F&& fill) noexcept {
  vl_wal* wal = live_log(engine);
  if (wal == nullptr) return;
  bytebuf* b = &wal->scratch;
  if (b->failed) velta::persist::bfree(b);
  b->len = 0;
  Record r{b};
  bappend(b, &kind, 1);
  fill(r);
  if (r.too_long) {
    wal->failed = 1;
  } else {
    wal_append(wal, *b);
  }
  if (b->cap > (std::uint64_t{1} << 20) || b->failed) velta::persist::bfree(b);
}

const vl_wal* log_of(const vl_engine* engine) noexcept {
  return engine != nullptr ? engine->wal : nullptr;
}

}  // namespace

void velta::persist::wal_mark_failed(vl_engine* engine) noexcept {
  if (vl_wal* wal = live_log(engine)) wal->failed = 1;
}

void velta::persist::wal_dict_changed(void* engine, std::uint32_t lo, std::uint32_t hi) noexcept {
  vl_wal__entries(static_cast<vl_engine*>(engine), lo, hi);
}

extern "C" {

void vl_wal__create(vl_engine* engine, const char* name, const void* text, uint64_t n) noexcept {
  log_record(engine, fmt::kCreate, [&](Record& r) {
    r.name(name);
    r.blob(text, n);
  });
}

void vl_wal__update(vl_engine* engine, const char* name, uint64_t pos, uint64_t del,
                    const void* text, uint64_t n) noexcept {
  log_record(engine, fmt::kUpdate, [&](Record& r) {
    r.name(name);
    r.u64(pos);
    r.u64(del);
    r.blob(text, n);
  });
}

void vl_wal__delete(vl_engine* engine, const char* name) noexcept {
  log_record(engine, fmt::kDelete, [&](Record& r) { r.name(name); });
}

void vl_wal__graft(vl_engine* engine, const char* dst, uint64_t dst_pos, const char* src,
                   uint64_t src_pos, uint64_t len) noexcept {
  log_record(engine, fmt::kGraft, [&](Record& r) {
    r.name(dst);
    r.name(src);
    r.u64(dst_pos);
    r.u64(src_pos);
    r.u64(len);
  });
}

void vl_wal__cut(vl_engine* engine, const char* name, uint64_t pos, uint64_t len) noexcept {
  log_record(engine, fmt::kCut, [&](Record& r) {
    r.name(name);
    r.u64(pos);
    r.u64(len);
  });
}

void vl_wal__trim(vl_engine* engine, const char* name, uint32_t keep) noexcept {
  log_record(engine, fmt::kTrim, [&](Record& r) {
    r.name(name);
    r.u32(keep);
  });
}

void vl_wal__binary(vl_engine* engine, const char* name, const void* data, uint64_t n,
                    const vl_bin_opts* opts) noexcept {
  if (opts == nullptr) return;
  log_record(engine, fmt::kBinary, [&](Record& r) {
    r.name(name);
    r.u32(opts->target_size);
    r.u32(opts->min_size);
    r.u32(opts->max_size);
    r.u32(opts->fixed_size);
    r.blob(data, n);
  });
}

void vl_wal__entries(vl_engine* engine, uint32_t lo, uint32_t hi) noexcept {
  if (live_log(engine) == nullptr || lo == 0 || hi < lo) return;
  const vl_dict* dict = engine->dict;
  log_record(engine, fmt::kEntries, [&](Record& r) {
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
      bappend(r.b, &len8, 1);
      bappend(r.b, text, len);
    }
  });
}

void vl_wal__destroy(vl_wal* wal) noexcept { delete wal; }

int vl_wal_active(const vl_engine* engine) noexcept {
  const vl_wal* wal = log_of(engine);
  return wal != nullptr && wal->file != nullptr ? 1 : 0;
}

int vl_wal_ok(const vl_engine* engine) noexcept {
  return vl_wal_active(engine) && !engine->wal->failed ? 1 : 0;
}

int vl_wal_set_sync(vl_engine* engine, int on) noexcept {
  if (engine == nullptr || engine->wal == nullptr) return -1;
  vl_wal* wal = engine->wal;
  const int prev = wal->sync;
  wal->sync = on != 0 ? 1 : 0;
  if (!wal->sync && wal->file != nullptr) std::fflush(wal->file);
  return prev;
}

uint64_t vl_wal_records(const vl_engine* engine) noexcept {
  const vl_wal* wal = log_of(engine);
  return wal != nullptr ? wal->records : 0;
}

uint64_t vl_wal_bytes(const vl_engine* engine) noexcept {
  const vl_wal* wal = log_of(engine);
  return wal != nullptr ? wal->bytes : 0;
}

uint64_t vl_wal_replayed(const vl_engine* engine) noexcept {
  const vl_wal* wal = log_of(engine);
  return wal != nullptr ? wal->replayed : 0;
}

uint64_t vl_wal_damaged_bytes(const vl_engine* engine) noexcept {
  const vl_wal* wal = log_of(engine);
  return wal != nullptr ? wal->damaged_bytes : 0;
}

const char* vl_wal_damaged_path(const vl_engine* engine) noexcept {
  const vl_wal* wal = log_of(engine);
  return wal != nullptr ? wal->damaged_path : nullptr;
}

}  // extern "C"
