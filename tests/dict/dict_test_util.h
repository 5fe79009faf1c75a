// Helpers shared by the dictionary tests: an owning handle, text builders
// and the real English text the tests read at run time.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "dict/dict.h"
#include "velta.h"

namespace velta::dict::test {

struct DictFree {
  void operator()(vl_dict* d) const noexcept { vl_dict_free(d); }
};
using DictPtr = std::unique_ptr<vl_dict, DictFree>;

inline DictPtr new_dict() { return DictPtr(vl_dict_new()); }

inline std::string bytes_of(const vl_dict* d, std::uint32_t id) {
  std::uint64_t n = 0;
  const std::uint8_t* p = vl_dict_text(d, id, &n);
  return p != nullptr ? std::string(reinterpret_cast<const char*>(p), n) : std::string();
}

inline std::uint32_t lookup(const vl_dict* d, const std::string& s) {
  return vl_dict_lookup(d, s.data(), s.size());
}

inline std::vector<std::uint32_t> tokens(const vl_dict* d, const std::string& s) {
  std::vector<std::uint32_t> ids(s.size() + 1);
  const std::uint64_t n = vl_tokenize(d, s.data(), s.size(), ids.data(), ids.size());
  ids.resize(n == UINT64_MAX ? 0 : n);
  return ids;
}

inline std::string detok(const vl_dict* d, const std::vector<std::uint32_t>& ids) {
  std::string out(vl_detok_len(d, ids.data(), ids.size()), '\0');
  out.resize(vl_detokenize(d, ids.data(), ids.size(), out.data(), out.size()));
  return out;
}

// All of /usr/share/common-licenses concatenated (sorted by name), or "".
inline std::string license_text() {
  namespace fs = std::filesystem;
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/usr/share/common-licenses", ec))
    if (e.is_regular_file(ec)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  std::string all;
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    all += ss.str();
  }
  return all;
}

inline std::string random_bytes(std::mt19937_64& rng, std::size_t n) {
  std::string s(n, '\0');
  for (auto& c : s) c = static_cast<char>(rng() & 0xFF);
  return s;
}

// Words and punctuation from a small vocabulary, so runs repeat.
inline std::string random_words(std::mt19937_64& rng, std::size_t n_words) {
  static const char* const kWords[] = {"the",       "of",  "and",     "to",  "license",
                                       "work",      "you", "Program", "x_1", "42",
                                       "copyright", "GNU", "a"};
  static const char* const kSeps[] = {" ", ", ", ". ", "\n", " (", ") ", "; ", " -- "};
  std::string s;
  for (std::size_t i = 0; i < n_words; ++i) {
    s += kWords[rng() % std::size(kWords)];
    s += kSeps[rng() % std::size(kSeps)];
  }
  return s;
}

}  // namespace velta::dict::test
