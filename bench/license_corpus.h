// Benchmark input: real English text from /usr/share/common-licenses (and
// man pages), repeated, or repeated with variation, up to a given size.
// Made at run time; nothing is committed.
#pragma once

#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

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

namespace corpus {

namespace fs = std::filesystem;

// Regular files directly in `dir` with extension `ext` (any when empty),
// in path order; none when the folder is missing.
inline std::vector<fs::path> files_in(const char* dir, const char* ext = "") {
  std::vector<fs::path> files;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator(dir, ec)) {
    if ((*ext == 0 || e.path().extension() == ext) && e.is_regular_file(ec)) {
      files.push_back(e.path());
    }
  }
  std::sort(files.begin(), files.end());
  return files;
}

inline void append_file(std::string& all, const fs::path& f) {
  std::ifstream in(f, std::ios::binary);
  all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Man pages of man1, decompressed, until `all` holds `bytes`.
inline void append_man_pages(std::string& all, std::size_t bytes) {
  char buf[65536];
  for (const auto& f : files_in("/usr/share/man/man1", ".gz")) {
    if (all.size() >= bytes) break;
    gzFile gz = gzopen(f.c_str(), "rb");
    if (gz == nullptr) continue;
    int n;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
    gzclose(gz);
  }
}

// `all` cut to, or repeated up to, exactly `bytes`.
inline std::string sized(std::string all, std::size_t bytes) {
  if (all.empty()) all = "no text found, ";
  const std::string base = all;
  while (all.size() < bytes) all += base;
  all.resize(bytes);
  return all;
}

}  // namespace corpus

// Licenses, then man pages from man1 in name order, up to `bytes`.
inline std::string english_text(std::size_t bytes) {
  std::string all;
  for (const auto& f : corpus::files_in("/usr/share/common-licenses")) corpus::append_file(all, f);
  corpus::append_man_pages(all, bytes);
  return corpus::sized(std::move(all), bytes);
}

// Real English without repetition, up to `bytes`: licenses, then every
// package's copyright file, then man pages from man1, each group in path
// order. Repeated only when the machine holds less than `bytes`.
inline std::string english_corpus(std::size_t bytes) {
  namespace fs = std::filesystem;
  std::string all;
  for (const auto& f : corpus::files_in("/usr/share/common-licenses")) corpus::append_file(all, f);
  std::vector<fs::path> copyrights;
  std::error_code ec;
  for (const auto& e : fs::directory_iterator("/usr/share/doc", ec)) {
    const fs::path c = e.path() / "copyright";
    if (fs::is_regular_file(c, ec)) copyrights.push_back(c);
  }
  std::sort(copyrights.begin(), copyrights.end());
  for (const auto& f : copyrights) corpus::append_file(all, f);
  corpus::append_man_pages(all, bytes);
  return corpus::sized(std::move(all), bytes);
}

// Text of `n` words drawn from a vocabulary of 50,000 with a xorshift
// generator, so chunks do not repeat and the dictionary stays small.
inline std::string vocabulary_words(std::uint64_t n, std::uint64_t seed) {
  std::string s;
  s.reserve(n * 7);
  std::uint64_t x = seed | 1;
  for (std::uint64_t i = 0; i < n; ++i) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    s += 'w';
    s += std::to_string(x % 50000);
    s += ' ';
  }
  return s;
}

}  // namespace velta::bench
