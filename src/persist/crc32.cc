// CRC-32, slicing by eight: table 0 is the classic byte-at-a-time table
// (entry i = i through eight shift-and-conditional-xor steps with
// 0xEDB88320); table k advances table k-1 by one more zero byte, so eight
// input bytes fold in with eight lookups and no serial byte chain. The
// tables are built at compile time: nothing to initialise, nothing to race.
//
// On x86-64 processors with carry-less multiply, runs of 64 bytes or more
// are folded four 16-byte lanes at a time instead (a mapped store's whole
// body is checksummed at open, so this bounds how fast a large store
// opens). Folding keeps a 128-bit value whose CRC, fed from state 0, equals
// the state after everything folded so far; the table finishes it.
#include "persist/crc32.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VELTA_CRC_CLMUL 1
#endif

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

// The raw state (no initial or final xor) after n more bytes.
std::uint32_t crc_tables_raw(std::uint32_t s, const std::uint8_t* b, std::uint64_t n) noexcept {
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
  return s;
}

#ifdef VELTA_CRC_CLMUL
// x^(512+32) and x^(512-32) mod P, then x^(128+32) and x^(128-32) mod P,
// bit-reflected as the reflected CRC needs them (33-bit values).
constexpr long long kFold4Lo = 0x154442bd4, kFold4Hi = 0x1c6e41596;
constexpr long long kFold1Lo = 0x1751997d0, kFold1Hi = 0x0ccaa009e;

__attribute__((target("pclmul,sse2"))) inline __m128i fold(__m128i x, __m128i k,
                                                           __m128i data) noexcept {
  return _mm_xor_si128(
      _mm_xor_si128(_mm_clmulepi64_si128(x, k, 0x00), _mm_clmulepi64_si128(x, k, 0x11)), data);
}

// Raw state after the whole 16-byte blocks of b (at least four); the
// caller handles n % 16 tail bytes.
__attribute__((target("pclmul,sse2"))) std::uint32_t crc_clmul_raw(std::uint32_t s,
                                                                   const std::uint8_t* b,
                                                                   std::uint64_t n) noexcept {
  const auto ld = [](const std::uint8_t* q) {
    return _mm_loadu_si128(reinterpret_cast<const __m128i*>(q));
  };
  __m128i x0 = _mm_xor_si128(ld(b), _mm_cvtsi32_si128(static_cast<int>(s)));
  __m128i x1 = ld(b + 16);
  __m128i x2 = ld(b + 32);
  __m128i x3 = ld(b + 48);
  b += 64;
  n -= 64;
  const __m128i k4 = _mm_set_epi64x(kFold4Hi, kFold4Lo);
  while (n >= 64) {
    x0 = fold(x0, k4, ld(b));
    x1 = fold(x1, k4, ld(b + 16));
    x2 = fold(x2, k4, ld(b + 32));
    x3 = fold(x3, k4, ld(b + 48));
    b += 64;
    n -= 64;
  }
  const __m128i k1 = _mm_set_epi64x(kFold1Hi, kFold1Lo);
  __m128i x = fold(fold(fold(x0, k1, x1), k1, x2), k1, x3);
  while (n >= 16) {
    x = fold(x, k1, ld(b));
    b += 16;
    n -= 16;
  }
  std::uint8_t rest[16];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(rest), x);
  return crc_tables_raw(0, rest, sizeof rest);
}

bool have_clmul() noexcept {
  static const bool yes = __builtin_cpu_supports("pclmul") && __builtin_cpu_supports("sse2");
  return yes;
}
#endif

}  // namespace

std::uint32_t crc32_update(std::uint32_t crc, const void* p, std::uint64_t n) noexcept {
  const auto* b = static_cast<const std::uint8_t*>(p);
  std::uint32_t s = crc ^ 0xFFFFFFFFu;
#ifdef VELTA_CRC_CLMUL
  if (n >= 64 && have_clmul()) {
    const std::uint64_t whole = n & ~std::uint64_t{15};
    s = crc_clmul_raw(s, b, whole);
    b += whole;
    n -= whole;
  }
#endif
  return crc_tables_raw(s, b, n) ^ 0xFFFFFFFFu;
}

}  // namespace velta::persist
