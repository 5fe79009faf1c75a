// Growable output buffer with sticky failure and little-endian appenders.
#include "persist/bytebuf.h"

#include <cstdlib>
#include <cstring>

namespace velta::persist {
namespace {

constexpr std::uint64_t kFirstCap = 4096;
constexpr std::uint64_t kMaxCap = std::uint64_t{1} << 63;

}  // namespace

int make_room(bytebuf* b, std::uint64_t n) noexcept {
  if (b->failed) return -1;
  std::uint64_t need = b->len + n;
  if (need < b->len) {  // len + n wrapped: no capacity can hold it
    b->failed = 1;
    return -1;
  }
  if (b->cap >= need) return 0;
  if (b->fixed || need > kMaxCap) {
    b->failed = 1;
    return -1;
  }
  std::uint64_t cap = b->cap == 0 ? kFirstCap : b->cap;
  while (cap < need)
    cap *= 2;  // cannot pass 2^63: need <= 2^63 and cap is 2^k or from a prior grow
  void* p = std::realloc(b->data, cap);
  if (p == nullptr) {
    b->failed = 1;
    return -1;
  }
  b->data = static_cast<std::uint8_t*>(p);
  b->cap = cap;
  return 0;
}

void put_u32(bytebuf* b, std::uint32_t v) noexcept {
  if (make_room(b, 4) != 0) return;
  std::uint8_t* p = b->data + b->len;
  p[0] = static_cast<std::uint8_t>(v);
  p[1] = static_cast<std::uint8_t>(v >> 8);
  p[2] = static_cast<std::uint8_t>(v >> 16);
  p[3] = static_cast<std::uint8_t>(v >> 24);
  b->len += 4;
}

void put_u64(bytebuf* b, std::uint64_t v) noexcept {
  put_u32(b, static_cast<std::uint32_t>(v));
  put_u32(b, static_cast<std::uint32_t>(v >> 32));
}

void put_bytes(bytebuf* b, const void* p, std::uint64_t n) noexcept {
  if (make_room(b, n) != 0 || n == 0) return;
  std::memcpy(b->data + b->len, p, n);
  b->len += n;
}

void put_u8(bytebuf* b, std::uint8_t v) noexcept {
  if (make_room(b, 1) == 0) b->data[b->len++] = v;
}

void put_name(bytebuf* b, const char* name) noexcept {
  const std::size_t m = kept_name_len(name);
  if (make_room(b, 1) != 0) return;
  b->data[b->len++] = static_cast<std::uint8_t>(m);
  if (m == 0) return;
  put_bytes(b, name, m);
}

void free_buffer(bytebuf* b) noexcept {
  if (!b->fixed) std::free(b->data);
  *b = bytebuf{};
}

}  // namespace velta::persist
