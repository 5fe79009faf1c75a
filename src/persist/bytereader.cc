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

std::uint8_t ru8(bytereader* r) noexcept {
  if (!have(r, 1)) return 0;
  return r->data[r->pos++];
}

std::uint32_t ru32(bytereader* r) noexcept {
  if (!have(r, 4)) return 0;
  const std::uint8_t* p = r->data + r->pos;
  r->pos += 4;
  return std::uint32_t{p[0]} | std::uint32_t{p[1]} << 8 | std::uint32_t{p[2]} << 16 |
         std::uint32_t{p[3]} << 24;
}

std::uint64_t ru64(bytereader* r) noexcept {
  std::uint64_t lo = ru32(r);
  std::uint64_t hi = ru32(r);
  return hi << 32 | lo;
}

const std::uint8_t* rbytes(bytereader* r, std::uint64_t n) noexcept {
  if (!have(r, n)) return nullptr;
  const std::uint8_t* p = r->data + r->pos;
  r->pos += n;
  return p;
}

const char* rname(bytereader* r) noexcept {
  static char nm[64];
  if (!have(r, 1)) return nullptr;
  std::uint8_t m = r->data[r->pos++];
  if (m > 63) {
    r->failed = 1;
    return nullptr;
  }
  if (!have(r, m)) return nullptr;
  std::memcpy(nm, r->data + r->pos, m);
  nm[m] = '\0';
  r->pos += m;
  return nm;
}

}  // namespace velta::persist
