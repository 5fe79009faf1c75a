// Store inspection without the C boundary: questions about a snapshot file
// that need no engine, and where an engine's store lives. Nothing here
// writes a file.
#pragma once

#include "velta.h"

namespace velta::persist {

// Format version of the snapshot at `path`; 0 when it is not a snapshot;
// -1 with errno when it cannot be read (or EINVAL: a short or damaged
// header). REQUIRES: path != NULL. Throws std::bad_alloc.
int store_format(const char* path);

// 0 when the chunk trailer of the snapshot at `path` matches its CRC; 1
// when it has none; -1 with errno (EINVAL mismatch or bad header, EIO cut
// short).
// REQUIRES: path != NULL. Throws std::bad_alloc.
int verify_chunks(const char* path);

// Store path of the engine's attached log (valid until the next save or
// close), or NULL.
const char* store_path(const vl_engine* engine) noexcept;

}  // namespace velta::persist
