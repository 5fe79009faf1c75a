// Opening a store, and log replay, the heart of open and recovery, exposed
// for the fuzzer and the benchmarks, which feed it log images directly.
#pragma once

#include <cstdint>

#include "velta.h"

namespace velta::persist {

// vl_open without the C boundary: loads the snapshot at `path`, replays
// path.wal, cuts a torn tail and keeps logging there. The engine, or NULL
// with errno set. REQUIRES: path != NULL. Throws std::bad_alloc.
vl_engine* open_store(const char* path);

struct ReplayResult {
  // Bytes of the image worth keeping: the end of the last applied record,
  // never less than the 32-byte header. Everything after it is cut.
  std::uint64_t valid_len;
  // Records applied, including those whose object was missing.
  std::uint64_t applied;
};

// Applies the records of the log image log[0, size) to engine in order,
// stopping at the first one that is incomplete, fails its CRC, has an
// unknown kind or does not decode. The 32-byte header is skipped, not
// checked. While it runs the engine's log (if any) is in its replaying
// state, so nothing applied here is logged again.
// REQUIRES: engine != NULL; log points to size readable bytes.
// Complexity: one pass over the image plus the edits themselves.
ReplayResult replay(vl_engine* engine, const std::uint8_t* log, std::uint64_t size);

}  // namespace velta::persist
