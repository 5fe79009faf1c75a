// The real calls behind the I/O seam, and the one process-wide pointer to
// the table in use.
#include "persist/io.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>

#include <cstdio>

namespace velta::persist {
namespace {

int real_open(const char* path, int flags, mode_t mode) { return ::open(path, flags, mode); }
int real_set_fl(int fd, int flags) { return ::fcntl(fd, F_SETFL, flags); }
void* real_map_file(int fd, std::size_t len) {
  return ::mmap(nullptr, len, PROT_READ, MAP_PRIVATE, fd, 0);
}
int real_fileno(std::FILE* f) { return ::fileno(f); }

constexpr FileIo kRealIo = {
    .open = real_open,
    .close = ::close,
    .read = ::read,
    .pread = ::pread,
    .write = ::write,
    .pwrite = ::pwrite,
    .lseek = ::lseek,
    .fstat = ::fstat,
    .stat = ::stat,
    .set_fl = real_set_fl,
    .fsync = ::fsync,
    .fdatasync = ::fdatasync,
    .ftruncate = ::ftruncate,
    .rename = ::rename,
    .unlink = ::unlink,
    .remove = ::remove,
    .flock = ::flock,
    .map_file = real_map_file,
    .unmap = ::munmap,
    .fdopen = ::fdopen,
    .fileno = real_fileno,
};

const FileIo* g_io = &kRealIo;

}  // namespace

const FileIo& io() noexcept { return *g_io; }

const FileIo& real_io() noexcept { return kRealIo; }

namespace testing {
const FileIo* set_io(const FileIo* table) noexcept {
  const FileIo* prev = g_io;
  g_io = table != nullptr ? table : &kRealIo;
  return prev;
}
}  // namespace testing

}  // namespace velta::persist
