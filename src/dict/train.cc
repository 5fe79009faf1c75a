// Phrase training (pending: only the initial learning of runs so far).
#include "dict/dict.h"

namespace velta::dict {

std::uint32_t train(vl_dict& d, const std::uint8_t* sample, std::uint64_t len, std::uint32_t,
                    std::uint32_t, std::uint32_t, const PairTableShape&) noexcept {
  (void)learn(d, sample, len, 0x1000000);
  return d.size;
}

}  // namespace velta::dict
