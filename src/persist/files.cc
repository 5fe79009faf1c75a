// cat2 and slurp_file.
#include "persist/files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

namespace velta::persist {
namespace {

struct file_closer {
  void operator()(std::FILE* f) const noexcept { std::fclose(f); }
};

}  // namespace

char* cat2(const char* a, const char* b) noexcept {
  std::size_t la = std::strlen(a);
  std::size_t lb = std::strlen(b);
  auto* s = static_cast<char*>(std::malloc(la + lb + 1));
  if (s == nullptr) return nullptr;
  std::memcpy(s, a, la);
  std::memcpy(s + la, b, lb + 1);
  return s;
}

void* slurp_file(const char* path, std::uint64_t* out_len) noexcept {
  *out_len = 0;
  std::unique_ptr<std::FILE, file_closer> f(std::fopen(path, "rb"));
  if (!f) return nullptr;
  // fopen accepts a directory, whose "size" from seeking to its end is
  // 2^63 - 1 on Linux; only regular files have a length worth reading.
  struct stat st;
  if (::fstat(fileno(f.get()), &st) != 0) return nullptr;
  if (!S_ISREG(st.st_mode)) {
    errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
    return nullptr;
  }
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

}  // namespace velta::persist
