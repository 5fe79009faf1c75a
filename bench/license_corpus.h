// Benchmark input for the edits and search benchmarks: real English text
// from /usr/share/common-licenses, repeated with variation up to a given
// size. Made at run time; nothing is committed.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

namespace velta::bench {

inline std::string license_text() {
  std::string all;
  for (const auto& entry : std::filesystem::directory_iterator("/usr/share/common-licenses")) {
    if (!entry.is_regular_file()) continue;
    std::ifstream in(entry.path(), std::ios::binary);
    all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  return all;
}

// `bytes` bytes of license text. Each copy of the source is varied: after
// every space, with probability 1/64, a numbered word is inserted, so the
// copies differ and the dictionary keeps learning a little.
inline std::string varied_text(const std::string& source, std::uint64_t bytes, std::uint32_t seed) {
  std::string out;
  out.reserve(bytes + 64);
  std::mt19937 rng(seed);
  while (out.size() < bytes && !source.empty()) {
    for (char c : source) {
      out += c;
      if (c == ' ' && rng() % 64 == 0) out += "v" + std::to_string(rng() % 100000) + " ";
      if (out.size() >= bytes) break;
    }
  }
  return out;
}

}  // namespace velta::bench
