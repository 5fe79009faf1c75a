// File-name and whole-file helpers of the persistence layer. Both hand
// out malloc'd memory that the caller frees with std::free.
#pragma once

#include <cstdint>
#include <cstdio>

#include "persist/io.h"

namespace velta::persist {

// a followed by b in a new NUL-terminated malloc'd string (with b "" a
// copy of a); NULL when allocation fails. Forms "P.tmp", "P.wal",
// "P.lock".
char* path_with_suffix(const char* a, const char* b) noexcept;

// The whole file at `path` in a new malloc'd buffer of size + 1 bytes, the
// last one NUL, with *out_len = size (an empty file gives a 1-byte buffer
// and 0). NULL with *out_len = 0 when the file cannot be opened, sized or
// read in full, is not a regular file (errno EISDIR for a directory,
// EINVAL otherwise), or the buffer cannot be allocated; errno is otherwise
// as the C library left it (possibly 0 for a short read).
void* read_whole_file(const char* path, std::uint64_t* out_len) noexcept;

// Opens `path` read-only without waiting on a FIFO or device and keeps it
// only when it is a regular file: the descriptor (blocking, close-on-exec),
// or -1 with errno (EISDIR for a directory, EINVAL for any other
// non-regular file, or the failing call's).
int open_regular(const char* path) noexcept;

// The same as a stdio stream for reading; NULL with errno.
std::FILE* fopen_regular(const char* path) noexcept;

// Fsyncs the directory holding `file_path` ("." for a bare name, "/" for
// "/name") so that a rename into it, or a file created in it, survives a
// crash. 0, or -1 with errno (ENOMEM, or the failing open or fsync's).
int sync_parent_dir(const char* file_path) noexcept;

}  // namespace velta::persist
