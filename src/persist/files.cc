// path_with_suffix, read_whole_file and the directory sync.
#include "persist/files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <string>

#include "persist/io.h"
#include "util/holders.h"

namespace velta::persist {
char* path_with_suffix(const char* a, const char* b) noexcept {
  std::size_t la = std::strlen(a);
  std::size_t lb = std::strlen(b);
  auto* s = static_cast<char*>(std::malloc(la + lb + 1));
  if (s == nullptr) return nullptr;
  std::memcpy(s, a, la);
  std::memcpy(s + la, b, lb + 1);
  return s;
}

int open_regular(const char* path) noexcept {
  // O_NONBLOCK: opening a FIFO for reading would otherwise wait for a
  // writer. Only regular files have a length worth reading (a directory
  // "seeks" to 2^63 - 1).
  Fd fd(io().open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC, 0));
  if (fd.get() < 0) return -1;
  struct stat st;
  if (io().fstat(fd.get(), &st) != 0) return -1;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return -1;
  }
  if (io().set_fl(fd.get(), 0) != 0) return -1;
  return fd.release();
}

std::FILE* fopen_regular(const char* path) noexcept {
  Fd fd(open_regular(path));
  if (fd.get() < 0) return nullptr;
  std::FILE* f = io().fdopen(fd.get(), "rb");
  if (f != nullptr) (void)fd.release();
  return f;
}

void* read_whole_file(const char* path, std::uint64_t* out_len) noexcept {
  *out_len = 0;
  FileHolder f(fopen_regular(path));
  if (!f) return nullptr;
  if (std::fseek(f.get(), 0, SEEK_END) != 0) return nullptr;
  long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) return nullptr;
  auto len = static_cast<std::uint64_t>(size);
  auto* buf = static_cast<std::uint8_t*>(std::malloc(len + 1));
  if (buf == nullptr) return nullptr;
  if (len > 0 && std::fread(buf, 1, len, f.get()) != len) {
    std::free(buf);
    return nullptr;
  }
  buf[len] = 0;
  *out_len = len;
  return buf;
}

int sync_parent_dir(const char* file_path) noexcept {
  const char* slash = std::strrchr(file_path, '/');
  try {
    const std::string dir = slash == nullptr     ? std::string(".")
                            : slash == file_path ? std::string("/")
                                                 : std::string(file_path, slash - file_path);
    Fd fd(io().open(dir.c_str(), O_RDONLY | O_CLOEXEC, 0));
    if (fd.get() < 0) return -1;
    return io().fsync(fd.get());  // a close cannot take back what the sync made durable
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return -1;
  }
}

}  // namespace velta::persist
