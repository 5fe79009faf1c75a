// Snapshot writer: serialises a whole engine into one body, compresses it
// when that pays, replaces the snapshot file atomically (path.tmp, fsync,
// rename, directory fsync) and restarts the engine's log at the new
// generation. Its C entry points, vl_save_ex and vl_save, are in
// persist_api.cc.
//
// Shared tree structure is written once: the post-order node walk gives
// every distinct reachable node an id in the order it is written, children
// first, and parents and versions refer to nodes by id.
#pragma once

#include <cstdint>

#include "persist/wal.h"
#include "velta.h"

namespace velta::persist {

// vl_save_ex without the C boundary. Until the rename it only reads the
// engine; afterwards it replaces the engine's log state. Returns 0, or -1
// with errno: EINVAL (no engine or path), ENOTSUP (dictionary cannot be
// exported), EOVERFLOW (a count does not fit its field, or a tree is deeper
// than the loader accepts; nothing written), EIO (the engine borrows chunks
// from a mapped snapshot whose trailer no longer matches its checksum;
// nothing written), EROFS (the engine was opened read-only from `path`),
// EBUSY (another engine is attached to path.wal as writer), ENOMEM, or the
// failing system call's. Throws std::bad_alloc only before any file is
// touched. `claim`: path.wal already claimed by the caller (commit), or
// NULL to claim it here, before the snapshot is replaced.
int snap_save(vl_engine* engine, const char* path, int options, LogClaim* claim = nullptr);

}  // namespace velta::persist
