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

// Licenses, then man pages from man1 in name order, up to `bytes`.
inline std::string english_text(std::size_t bytes) {
  namespace fs = std::filesystem;
  std::string all;
  std::error_code ec;
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator("/usr/share/common-licenses", ec))
    if (e.is_regular_file(ec)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  files.clear();
  for (const auto& e : fs::directory_iterator("/usr/share/man/man1", ec))
    if (e.path().extension() == ".gz" && e.is_regular_file(ec)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  char buf[65536];
  for (const auto& f : files) {
    if (all.size() >= bytes) break;
    gzFile gz = gzopen(f.c_str(), "rb");
    if (gz == nullptr) continue;
    int n;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
    gzclose(gz);
  }
  if (all.empty()) all = "no text found, ";
  const std::string base = all;
  while (all.size() < bytes) all += base;
  all.resize(bytes);
  return all;
}

// Real English without repetition, up to `bytes`: licenses, then every
// package's copyright file, then man pages from man1, each group in path
// order. Repeated only when the machine holds less than `bytes`.
inline std::string english_corpus(std::size_t bytes) {
  namespace fs = std::filesystem;
  std::string all;
  std::error_code ec;
  auto append_file = [&](const fs::path& f) {
    std::ifstream in(f, std::ios::binary);
    all.append(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  };
  std::vector<fs::path> files;
  for (const auto& e : fs::directory_iterator("/usr/share/common-licenses", ec))
    if (e.is_regular_file(ec)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  for (const auto& f : files) append_file(f);
  files.clear();
  for (const auto& e : fs::directory_iterator("/usr/share/doc", ec)) {
    const fs::path c = e.path() / "copyright";
    if (fs::is_regular_file(c, ec)) files.push_back(c);
  }
  std::sort(files.begin(), files.end());
  for (const auto& f : files) append_file(f);
  files.clear();
  for (const auto& e : fs::directory_iterator("/usr/share/man/man1", ec))
    if (e.path().extension() == ".gz" && e.is_regular_file(ec)) files.push_back(e.path());
  std::sort(files.begin(), files.end());
  char buf[65536];
  for (const auto& f : files) {
    if (all.size() >= bytes) break;
    gzFile gz = gzopen(f.c_str(), "rb");
    if (gz == nullptr) continue;
    int n;
    while ((n = gzread(gz, buf, sizeof buf)) > 0) all.append(buf, static_cast<std::size_t>(n));
    gzclose(gz);
  }
  if (all.empty()) all = "no text found, ";
  const std::string base = all;
  while (all.size() < bytes) all += base;
  all.resize(bytes);
  return all;
}

}  // namespace velta::bench
