// The C entry points of the log family: the six logging hooks the edit
// operations call before they change anything, destruction, and queries.
// A hook never reports to its operation; any failure only marks the log.
#include <unistd.h>

#include <cstring>
#include <new>
#include <stdexcept>

#include "engine/engine.h"
#include "persist/wal.h"
#include "persist/wal_format.h"

namespace {

namespace fmt = velta::wal_format;
using velta::persist::wal_append;

// Little-endian field writer over the log's reusable record buffer.
class Record {
 public:
  Record(std::vector<std::uint8_t>* buf, std::uint8_t kind) : buf_(buf) {
    buf_->clear();
    buf_->push_back(kind);
  }
  void u32(std::uint32_t v) {
    const std::uint8_t b[4] = {static_cast<std::uint8_t>(v), static_cast<std::uint8_t>(v >> 8),
                               static_cast<std::uint8_t>(v >> 16),
                               static_cast<std::uint8_t>(v >> 24)};
    buf_->insert(buf_->end(), b, b + 4);
  }
  void u64(std::uint64_t v) {
    u32(static_cast<std::uint32_t>(v));
    u32(static_cast<std::uint32_t>(v >> 32));
  }
  // Length byte, then at most 63 bytes, as names are kept in memory.
  void name(const char* s) {
    std::size_t n = 0;
    if (s != nullptr) {
      while (n < fmt::kMaxName && s[n] != '\0') ++n;
    }
    buf_->push_back(static_cast<std::uint8_t>(n));
    buf_->insert(buf_->end(), s, s + n);
  }
  // u64 length, then the bytes.
  void blob(const void* p, std::uint64_t n) {
    if (p == nullptr) n = 0;
    u64(n);
    if (n > fmt::kMaxPayload) throw std::length_error("log record too long");
    const auto* b = static_cast<const std::uint8_t*>(p);
    buf_->insert(buf_->end(), b, b + n);
  }

 private:
  std::vector<std::uint8_t>* buf_;
};

// The log to write to, or NULL when there is none or it is replaying.
vl_wal* live_log(vl_engine* engine) noexcept {
  if (engine == nullptr || engine->wal == nullptr || engine->wal->replaying) return nullptr;
  return engine->wal;
}

// Builds a record with `fill` and appends it. Out of memory (or a record
// over 4 GiB) marks the log failed and writes nothing. A large scratch
// buffer is let go afterwards so one big create does not pin its size.
template <class F>
void log_record(vl_engine* engine, std::uint8_t kind, F&& fill) noexcept {
  vl_wal* wal = live_log(engine);
  if (wal == nullptr) return;
  try {
    Record r(&wal->scratch, kind);
    fill(r);
  } catch (const std::bad_alloc&) {
    wal->failed = 1;
    wal->scratch = {};
    return;
  } catch (const std::length_error&) {
    wal->failed = 1;
    wal->scratch = {};
    return;
  }
  wal_append(wal, wal->scratch);
  if (wal->scratch.capacity() > (std::size_t{1} << 20)) wal->scratch = {};
}

const vl_wal* log_of(const vl_engine* engine) noexcept {
  return engine != nullptr ? engine->wal : nullptr;
}

}  // namespace

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

}  // extern "C"
