// The C entry points of the log family: the logging hooks (each hands its
// change to the attached log, see wal_records.cc), attachment,
// destruction, and queries. A hook never reports to its caller; any failure
// only marks the log.
#include <cstdint>
#include <cstdio>

#include "persist/wal.h"

using velta::persist::attached_wal;

extern "C" {

void vl_wal__create(vl_engine* engine, const char* name, const void* text, uint64_t n) noexcept {
  if (vl_wal* wal = attached_wal(engine)) wal->log_create(name, text, n);
}

void vl_wal__update(vl_engine* engine, const char* name, uint64_t pos, uint64_t del,
                    const void* text, uint64_t n) noexcept {
  if (vl_wal* wal = attached_wal(engine)) wal->log_update(name, pos, del, text, n);
}

void vl_wal__delete(vl_engine* engine, const char* name) noexcept {
  if (vl_wal* wal = attached_wal(engine)) wal->log_delete(name);
}

void vl_wal__graft(vl_engine* engine, const char* dst, uint64_t dst_pos, const char* src,
                   uint64_t src_pos, uint64_t len) noexcept {
  if (vl_wal* wal = attached_wal(engine)) wal->log_graft(dst, dst_pos, src, src_pos, len);
}

void vl_wal__cut(vl_engine* engine, const char* name, uint64_t pos, uint64_t len) noexcept {
  if (vl_wal* wal = attached_wal(engine)) wal->log_cut(name, pos, len);
}

void vl_wal__trim(vl_engine* engine, const char* name, uint32_t keep) noexcept {
  if (vl_wal* wal = attached_wal(engine)) wal->log_trim(name, keep);
}

void vl_wal__binary(vl_engine* engine, const char* name, const void* data, uint64_t n,
                    const vl_bin_opts* opts) noexcept {
  if (opts == nullptr) return;
  if (vl_wal* wal = attached_wal(engine)) wal->log_binary(name, data, n, *opts);
}

void vl_wal__entries(vl_engine* engine, uint32_t lo, uint32_t hi) noexcept {
  if (vl_wal* wal = attached_wal(engine)) wal->log_entries(lo, hi);
}

void vl_wal__destroy(vl_wal* wal) noexcept { delete wal; }

vl_wal* vl_engine__wal(vl_engine* engine) noexcept { return attached_wal(engine); }

void vl_engine__set_wal(vl_engine* engine, vl_wal* wal) noexcept {
  velta::persist::attach_wal(engine, wal);
}

int vl_wal_active(const vl_engine* engine) noexcept {
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr && wal->file != nullptr ? 1 : 0;
}

int vl_wal_ok(const vl_engine* engine) noexcept {
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr && wal->file != nullptr && !wal->failed ? 1 : 0;
}

int vl_wal_set_sync(vl_engine* engine, int on) noexcept {
  vl_wal* wal = attached_wal(engine);
  if (wal == nullptr) return -1;
  const int prev = wal->sync;
  wal->sync = on != 0 ? 1 : 0;
  if (!wal->sync && wal->file != nullptr) std::fflush(wal->file);
  return prev;
}

uint64_t vl_wal_records(const vl_engine* engine) noexcept {
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr ? wal->records : 0;
}

uint64_t vl_wal_bytes(const vl_engine* engine) noexcept {
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr ? wal->bytes : 0;
}

uint64_t vl_wal_replayed(const vl_engine* engine) noexcept {
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr ? wal->replayed : 0;
}

uint64_t vl_wal_damaged_bytes(const vl_engine* engine) noexcept {
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr ? wal->damaged_bytes : 0;
}

const char* vl_wal_damaged_path(const vl_engine* engine) noexcept {
  const vl_wal* wal = attached_wal(engine);
  return wal != nullptr ? wal->damaged_path : nullptr;
}

}  // extern "C"
