// Write-ahead log state attached to an engine, and the log's internal API
// used by save (restart at the next generation), open (replay, then keep
// logging) and commit. The state is the engine's change log
// (engine/change_log.h): the engine reports each change to it before
// changing memory, and it turns each report into one record.
//
// States:
//  - no log: attached_wal(engine) is NULL (engine made in memory, or the log
//    could not be opened or restarted); hooks do nothing.
//  - active: attached with `file` open and holding the log's writer lock
//    (an exclusive flock on the file, through `file`'s descriptor, so it
//    lasts exactly as long as the attachment); appends go through
//    wal_append.
//  - failed: active with failed = 1; nothing more is appended until a save
//    replaces the state.
//  - unattached: `file` NULL but the state kept, for a read-only open or a
//    read-write open that found another process attached as writer. The
//    engine knows its store and generation (commit and EROFS checks), and
//    `seen_end` is how much of the log it replayed; hooks write nothing.
//  - replaying: replaying != 0 during open; hooks write nothing.
// A save replaces the state with a fresh one (counters 0, sync 1).
//
// Stale file: every restart or cut of a log (save, commit, open) first
// takes the writer lock, so while `file` holds it nothing in the library
// truncates or restarts the file under us. Before each record wal_append
// still checks, with one lseek, that the file has not shrunk below what we
// wrote (a process ignoring the lock restarted or cut it). Where the file
// system gives no flock (`locked` 0), another process may restart the log
// (a commit truncates the same path to a fresh header of the next
// generation), and an fstat and a 32-byte pread check that the file is
// still linked, no shorter, and headed by our generation. A stale file
// gets nothing written and sets `failed`. Not seen under the lock: a
// process outside the library unlinking or renaming over the log.
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
  // 1 when `file`'s descriptor holds the writer lock (flock), so no other
  // engine can restart or cut the log while it is attached; 0 on a file
  // system without flock, where each append also reads the header back.
  int locked = 0;
  // File size we know of: at open, then after each of our records. A file
  // found shorter was truncated under us.
  std::uint64_t expected_end = 0;
  // Read-only descriptor onto the same open file, made on first need when
  // `file` was opened write-only (mode "ab") and cannot be read back; -1
  // when not made.
  int read_fd = -1;
  velta::persist::bytebuf scratch;  // record being built; reused, freed when large
  // Opened read-only: never attached, and a save or commit to store_path
  // is refused (EROFS).
  int readonly = 0;
  // Log bytes as read at open when unattached: a commit from this engine
  // may only restart a log that still ends there (nothing it has not seen).
  std::uint64_t seen_end = 0;
  // Where an open kept the bytes it cut off a damaged log (owned, malloc),
  // and how many; NULL and 0 when it kept none.
  char* damaged_path = nullptr;
  std::uint64_t damaged_bytes = 0;

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
  void log_binary(const char* name, const void* data, std::uint64_t n,
                  const vl_bin_opts& opts) noexcept override;
  void log_entries(std::uint32_t lo, std::uint32_t hi) noexcept override;
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

// Frames one finished payload (u32 length, u32 CRC-32) and appends it,
// flushed to the operating system before return (one write call for a
// record that fits the stream buffer), and fsynced when sync is 1. Does
// nothing without wal or file, or while replaying. An empty or oversized
// payload, a stale file (see still_ours in wal.cc), a short write or
// a failed flush / fsync sets `failed` and leaves the counters unchanged;
// on success records += 1 and bytes += n + 8.
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

// ------------------------------------------------------------ writer lock
//
// A log file has at most one writer process: the one whose descriptor
// holds an exclusive flock on it. Opening the log for a restart or a cut,
// or attaching it, first takes that lock without waiting.

// Opens `path` read-write for appending without blocking on a FIFO (created
// when `create`), refuses anything but a regular file (EINVAL), and takes
// the writer lock without waiting. Returns the descriptor; -1 with errno
// EWOULDBLOCK when another descriptor holds the lock, or the failing call's
// errno. A file system without flock support (ENOLCK, EINVAL from flock)
// gives the descriptor unlocked. *created, when given, tells whether the
// file was made here.
int wal_lock_open(const char* path, bool create, bool* created) noexcept;

// A log file claimed for a restart by a save: the descriptor holding the
// writer lock, and whether it is the engine's own attached stream.
struct LogClaim {
  int fd = -1;
  bool own = false;  // fd belongs to the attached wal's `file`
  LogClaim() = default;
  LogClaim(const LogClaim&) = delete;
  LogClaim& operator=(const LogClaim&) = delete;
  ~LogClaim();  // closes fd unless own or handed on
};

// Claims store_path + ".wal" for `engine`: its own attached log when that
// is the same file, else a fresh wal_lock_open. 0, or -1 with errno
// (EBUSY when another process is attached as writer; ENOMEM).
int wal_claim(vl_engine* engine, const char* store_path, LogClaim* out) noexcept;

// Truncates the claimed file to a bare header for `generation` (one write,
// then fsync). 0, or -1 with errno.
int wal_reset_fd(int fd, std::uint64_t generation) noexcept;

// Attaches the claimed (and already reset) file to `wal` as its stream and
// records its size; the claim gives up the descriptor. When the claim is
// the engine's own stream, `old` (the engine's current state) gives it up.
// 0, or -1 with errno (the claim then still owns the descriptor).
int wal_adopt(vl_wal* wal, LogClaim* claim, vl_wal* old) noexcept;

// Attaches an open, locked descriptor `fd` as wal's stream (taking it over
// on success). 0, or -1 with errno (fd untouched).
int wal_adopt_fd(vl_wal* wal, int fd) noexcept;

// True when `engine` was opened read-only from the store at `path`: a save
// or commit there must be refused.
bool wal_refuses(const vl_engine* engine, const char* path) noexcept;

// True when paths a and b name the same file: equal strings, or both exist
// with the same device and inode.
bool same_file(const char* a, const char* b) noexcept;

}  // namespace velta::persist
