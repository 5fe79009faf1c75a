// Deep verify of a store without the C boundary: every check a snapshot and
// its log can be put through, run on copies in memory, so that a store can
// be judged without opening it (an open cuts and restarts the log).
#pragma once

#include "velta.h"

namespace velta::persist {

// Checks the store at `path` and fills *out (zeroed first), as
// vl_verify_store documents: 0 sound, 1 (VL_VERIFY_DAMAGED) damaged, -1
// with errno when a file cannot be read (ENOENT: no snapshot) or memory
// runs out. Reads only: no file is written, truncated or created.
// REQUIRES: path != NULL, out != NULL. Throws std::bad_alloc.
// Memory: the snapshot file, one copy of the engine it holds, then the log.
int verify_store(const char* path, vl_verify_report* out);

}  // namespace velta::persist
