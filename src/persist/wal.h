// Write-ahead log state attached to an engine, and the log's internal API
// used by save (restart at the next generation), open (replay, then keep
// logging) and commit. The state is the engine's change log
// (engine/change_log.h): the engine reports each change to it before
// changing memory, and it turns each report into one record.
//
// States:
//  - no log: attached_wal(engine) is NULL (engine made in memory, or the log
//    could not be opened or restarted); hooks do nothing.
//  - active: attached with `file` open; appends go through wal_append.
//  - failed: active with failed = 1; appends are still attempted (a stale
//    file, below, keeps refusing them).
//  - replaying: replaying != 0 during open; hooks write nothing.
// A save replaces the state with a fresh one (counters 0, sync 1).
//
// Stale file: another process may restart the log under us (commit
// truncates the same path to a fresh header of the next generation). Before
// each record wal_append checks, with one fstat and one 32-byte pread, that
// the file still carries this log's header and has not shrunk below what we
// wrote; otherwise it writes nothing and sets `failed`.
#pragma once

#include <cstdint>
#include <cstdio>
#include <span>

#include "engine/change_log.h"
#include "persist/bytebuf.h"
#include "velta.h"

struct vl_wal final : velta::engine::ChangeLog {
  char* store_path = nullptr;  // owned (malloc); the snapshot this log continues
  char* wal_path = nullptr;    // owned (malloc); store_path + ".wal"
  std::FILE* file = nullptr;   // opened for appending, or NULL
  std::uint64_t generation = 0;
  int sync = 1;                // 1: flush + fsync each record; 0: flush only
  int replaying = 0;           // hooks write nothing while set
  int failed = 0;              // sticky; set by the first failed append
  std::uint64_t records = 0;   // records appended through this state
  std::uint64_t bytes = 0;     // payload + 8 per record; header not counted
  std::uint64_t replayed = 0;  // records applied when the log was opened
  vl_engine* engine = nullptr;
  // File size we know of: at open, then after each of our records. A file
  // found shorter was truncated under us.
  std::uint64_t expected_end = 0;
  // Read-only descriptor onto the same open file, made on first need when
  // `file` was opened write-only (mode "ab") and cannot be read back; -1
  // when not made.
  int read_fd = -1;
  velta::persist::bytebuf scratch;  // record being built; reused, freed when large

  vl_wal() = default;
  vl_wal(const vl_wal&) = delete;
  vl_wal& operator=(const vl_wal&) = delete;
  ~vl_wal() override;  // closes `file` and read_fd, frees paths and scratch; writes nothing

  // The change reports (wal_records.cc): each builds one record in
  // `scratch` and appends it. Nothing while replaying; a record that cannot
  // be built or written sets `failed`.
  bool is_replaying() const noexcept override { return replaying != 0; }
  void mark_failed() noexcept override;
  void log_create(const char* name, const void* text, std::uint64_t n) noexcept override;
  void log_update(const char* name, std::uint64_t pos, std::uint64_t del, const void* text,
                  std::uint64_t n) noexcept override;
  void log_delete(const char* name) noexcept override;
  void log_graft(const char* dst, std::uint64_t dst_pos, const char* src, std::uint64_t src_pos,
                 std::uint64_t len) noexcept override;
  void log_cut(const char* name, std::uint64_t pos, std::uint64_t len) noexcept override;
  void log_trim(const char* name, std::uint32_t keep) noexcept override;
};

namespace velta::persist {

// A new log state for `engine`: store_path copied, wal_path = store_path +
// ".wal", generation set, sync 1, counters 0, no file open. Not attached.
// NULL with errno ENOMEM on out of memory, EINVAL for a NULL path. Free
// with vl_wal__destroy.
vl_wal* wal_new(vl_engine* engine, const char* store_path, std::uint64_t generation) noexcept;

// Opens wal->wal_path for appending (created when missing) into wal->file
// and records its size. REQUIRES: wal->file is NULL. 0, or -1 with errno.
int wal_open_append(vl_wal* wal) noexcept;

// Creates or truncates `path` and writes a complete 32-byte header for
// `generation` with one write, then fsyncs. 0, or -1 (errno as the failing
// call left it) on any failure. Same as wal_restart(path, generation, false).
int wal_write_header(const char* path, std::uint64_t generation) noexcept;

// Restarts the log at `path` as a bare header for `generation`. The file is
// held under an exclusive advisory lock (flock) from before it is looked at
// until the header is synced, so a commit restarting the log and an open
// restarting or cutting it never interleave: neither can truncate records
// the other wrote after its own check. With `keep_if_current`, a file that
// already starts with a valid header for `generation` is left alone (a
// commit restarted it for that very snapshot and may have appended since).
// Returns 0 restarted, 1 left alone, -1 on failure (errno set).
int wal_restart(const char* path, std::uint64_t generation, bool keep_if_current) noexcept;

// The 32 header bytes for `generation`.
void wal_encode_header(std::uint8_t (&out)[32], std::uint64_t generation) noexcept;

// 1 when the n bytes at hdr start with a valid header (magic, version 3,
// header CRC) carrying `generation`, else 0. Reserved bytes are ignored.
int wal_header_matches(const std::uint8_t* hdr, std::size_t n, std::uint64_t generation) noexcept;

// Frames one finished payload (u32 length, u32 CRC-32) and appends it with
// two writes, then flushes (and fsyncs when sync is 1). Does nothing without
// wal or file, or while replaying. An empty or oversized payload, a stale
// file, a short write or a failed flush / fsync sets `failed` and leaves the
// counters unchanged; on success records += 1 and bytes += n + 8.
void wal_append(vl_wal* wal, std::span<const std::uint8_t> payload) noexcept;

// The same for a finished bytebuf; a buffer whose `failed` is set only sets
// the log's `failed` (nothing is written).
void wal_append(vl_wal* wal, const bytebuf& payload) noexcept;

// The write-ahead log attached to `engine`, or NULL (no engine, nothing
// attached, or a change log of another kind).
vl_wal* attached_wal(const vl_engine* engine) noexcept;

// Attaches `wal` (NULL detaches) to `engine`, which then owns it. The
// previous state, if any, is let go without being destroyed: its holder
// destroys it.
void attach_wal(vl_engine* engine, vl_wal* wal) noexcept;

}  // namespace velta::persist
