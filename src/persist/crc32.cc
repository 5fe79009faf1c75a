// CRC-32, slicing by eight: table 0 is the classic byte-at-a-time table
// (entry i = i through eight shift-and-conditional-xor steps with
// 0xEDB88320); table k advances table k-1 by one more zero byte, so eight
// input bytes fold in with eight lookups and no serial byte chain. The
// tables are built at compile time: nothing to initialise, nothing to race.
#include "persist/crc32.h"

#include <array>
#include <cstring>

namespace velta::persist {
namespace {

using crc_tables = std::array<std::array<std::uint32_t, 256>, 8>;

constexpr crc_tables make_tables() {
  crc_tables t{};
  for (std::uint32_t i = 0; i < 256; ++i) {
    std::uint32_t c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0xEDB88320u : c >> 1;
    t[0][i] = c;
  }
  for (std::uint32_t i = 0; i < 256; ++i) {
    for (int k = 1; k < 8; ++k) t[k][i] = (t[k - 1][i] >> 8) ^ t[0][t[k - 1][i] & 0xFF];
  }
  return t;
}

constexpr crc_tables g_crc_tab = make_tables();

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, const void* p, std::uint64_t n) noexcept {
  const auto* b = static_cast<const std::uint8_t*>(p);
  std::uint32_t s = crc ^ 0xFFFFFFFFu;
  const auto& t = g_crc_tab;
  while (n >= 8) {
    // Little-endian assembly from bytes keeps this host-independent.
    std::uint32_t lo = (std::uint32_t{b[0]} | std::uint32_t{b[1]} << 8 | std::uint32_t{b[2]} << 16 |
                        std::uint32_t{b[3]} << 24) ^
                       s;
    std::uint32_t hi = std::uint32_t{b[4]} | std::uint32_t{b[5]} << 8 | std::uint32_t{b[6]} << 16 |
                       std::uint32_t{b[7]} << 24;
    s = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
        t[3][hi & 0xFF] ^ t[2][(hi >> 8) & 0xFF] ^ t[1][(hi >> 16) & 0xFF] ^ t[0][hi >> 24];
    b += 8;
    n -= 8;
  }
  while (n-- > 0) s = (s >> 8) ^ t[0][(s ^ *b++) & 0xFF];
  return s ^ 0xFFFFFFFFu;
}

}  // namespace velta::persist
