// The I/O seam of the persistence layer: every call that touches a file,
// a directory entry or a mapping goes through the table that io() returns.
// By default it is the real POSIX and stdio calls, so the layer behaves
// exactly as if it called them directly. Tests swap in another table
// (testing::set_io) to fail chosen calls or to keep only what was synced;
// it is also where another storage back end would plug in.
//
// Streams: the layer writes some files through stdio streams. It makes
// every stream from a descriptor with io().fdopen and asks for a stream's
// descriptor with io().fileno, so a table that wraps its descriptors in
// streams of its own (fopencookie) sees the bytes those streams move. The
// buffered calls themselves (fwrite, fread, fflush, fseek, fclose) stay
// stdio's.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>

namespace velta::persist {

// One entry per call; each has the contract of the POSIX or C call it is
// named after (result, errno), except where noted.
struct FileIo {
  int (*open)(const char* path, int flags, mode_t mode);
  int (*close)(int fd);  // releases fd whatever the result
  ssize_t (*read)(int fd, void* buf, std::size_t n);
  ssize_t (*pread)(int fd, void* buf, std::size_t n, off_t off);
  ssize_t (*write)(int fd, const void* buf, std::size_t n);
  ssize_t (*pwrite)(int fd, const void* buf, std::size_t n, off_t off);
  off_t (*lseek)(int fd, off_t off, int whence);
  int (*fstat)(int fd, struct stat* st);
  int (*stat)(const char* path, struct stat* st);
  int (*set_fl)(int fd, int flags);  // fcntl(fd, F_SETFL, flags)
  int (*fsync)(int fd);              // on a directory's descriptor: the directory sync
  int (*fdatasync)(int fd);
  int (*ftruncate)(int fd, off_t len);
  int (*rename)(const char* from, const char* to);
  int (*unlink)(const char* path);
  int (*remove)(const char* path);
  int (*flock)(int fd, int op);
  // A read-only private mapping of the first len bytes of fd; MAP_FAILED
  // with errno on failure.
  void* (*map_file)(int fd, std::size_t len);
  int (*unmap)(void* base, std::size_t len);
  std::FILE* (*fdopen)(int fd, const char* mode);  // the stream owns fd on success
  int (*fileno)(std::FILE* f);
};

// The table in use. Process-wide, like the rest of the layer's state.
const FileIo& io() noexcept;

// The real calls.
const FileIo& real_io() noexcept;

// An owned file descriptor (-1 for none), closed through the seam.
class Fd {
 public:
  explicit Fd(int fd) noexcept : fd_(fd) {}
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  ~Fd() { close(); }
  int get() const noexcept { return fd_; }
  void close() noexcept {
    if (fd_ >= 0) (void)io().close(fd_);
    fd_ = -1;
  }
  // Hands the descriptor on; the holder then owns none.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_;
};

namespace testing {
// Test seam: makes `table` the one io() returns (NULL restores the real
// calls) and returns the previous one. The table must outlive its use. Not
// part of the library's interface: only tests linked against the static
// library reach it, and the shared library does not export it.
const FileIo* set_io(const FileIo* table) noexcept;
}  // namespace testing

}  // namespace velta::persist
