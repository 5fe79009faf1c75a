// Bounded little-endian reader with sticky failure, and the name decoder.
#include "persist/bytereader.h"

#include <cstring>

namespace velta::persist {
namespace {

// True when n more bytes can be read; otherwise marks the reader failed.
bool have(bytereader* r, std::uint64_t n) noexcept {
  if (r->failed) return false;
  if (r->pos > r->size || n > r->size - r->pos) {
    r->failed = 1;
    return false;
  }
  return true;
}

}  // namespace

std::uint8_t read_u8(bytereader* r) noexcept {
  if (!have(r, 1)) return 0;
  return r->data[r->pos++];
}

std::uint32_t read_u32(bytereader* r) noexcept {
  if (!have(r, 4)) return 0;
  const std::uint8_t* p = r->data + r->pos;
  r->pos += 4;
  return load_u32(p);
}

std::uint64_t read_u64(bytereader* r) noexcept {
  std::uint64_t lo = read_u32(r);
  std::uint64_t hi = read_u32(r);
  return hi << 32 | lo;
}

const std::uint8_t* read_bytes(bytereader* r, std::uint64_t n) noexcept {
  if (!have(r, n)) return nullptr;
  const std::uint8_t* p = r->data + r->pos;
  r->pos += n;
  return p;
}

bool read_name(bytereader* r, char (&out)[kNameBufBytes]) noexcept {
  if (!have(r, 1)) return false;
  const std::uint8_t m = r->data[r->pos++];
  if (m > kNameMax) {
    r->failed = 1;
    return false;
  }
  if (!have(r, m)) return false;
  std::memcpy(out, r->data + r->pos, m);
  out[m] = '\0';
  r->pos += m;
  return true;
}

}  // namespace velta::persist
