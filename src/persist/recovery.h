// Opening a store, and log replay, the heart of open and recovery, exposed
// for the fuzzer and the benchmarks, which feed it log images directly.
#pragma once

#include <cstdint>

#include "velta.h"

namespace velta::persist {

// vl_open_ex without the C boundary: loads the snapshot at `path` and
// replays path.wal. Read-write, it cuts a torn tail and keeps logging there
// as the store's one writer (or, when another engine holds the log, keeps
// its edits in memory only); read-only, it writes nothing. The engine, or
// NULL with errno set. REQUIRES: path != NULL. Throws std::bad_alloc (out of
// memory while replaying; nothing on disk has changed then).
vl_engine* open_store(const char* path, bool readonly);

// Why replay stopped.
enum class ReplayStop {
  kEnd,      // at the end of the image, after a whole record
  kTorn,     // at a record cut short by the end of the image (a torn append)
  kDamaged,  // at a record with a zero length, a bad CRC, an unknown kind
             // or fields that do not decode
  kRefused,  // at an intact record that cannot be applied (its object is
             // missing or the operation refuses it): applying later
             // records would edit a state they were not made on
};

struct ReplayResult {
  // Bytes of the image worth keeping: the end of the last applied record,
  // never less than the 32-byte header. Everything after it is cut.
  std::uint64_t valid_len;
  // Records applied.
  std::uint64_t applied;
  ReplayStop stop;
};

// Applies the records of the log image log[0, size) to engine in order,
// stopping at the first one that is incomplete, fails its CRC, has an
// unknown kind, does not decode or cannot be applied. The 32-byte header is
// skipped, not checked. While it runs the engine's log (if any) is in its
// replaying state, so nothing applied here is logged again. Throws
// std::bad_alloc when an operation runs out of memory (the engine is then
// partly replayed and must be discarded).
// REQUIRES: engine != NULL; log points to size readable bytes.
// Complexity: one pass over the image plus the edits themselves.
ReplayResult replay(vl_engine* engine, const std::uint8_t* log, std::uint64_t size);

// True when an intact record (length that fits, known kind, matching CRC)
// starts anywhere in log[from, size): cutting there would throw away
// records that were written whole. Scans byte by byte; gives true once it
// has checksummed more than a bounded amount without an answer.
bool intact_record_after(const std::uint8_t* log, std::uint64_t size, std::uint64_t from) noexcept;

}  // namespace velta::persist
