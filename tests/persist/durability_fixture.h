// Shared pieces of the durability tests: a scratch directory per test, whole
// file reads and writes, and a comparable picture of an
// engine's objects (table order, names, version counts, texts).
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "util/holders.h"
#include "velta.h"

namespace velta::testing {

inline std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint64_t file_size(const std::string& path) {
  std::error_code ec;
  auto n = std::filesystem::file_size(path, ec);
  return ec ? 0 : static_cast<std::uint64_t>(n);
}

inline bool exists(const std::string& path) { return std::filesystem::exists(path); }

inline std::string text_of(vl_engine* e, vl_object* o, std::uint32_t version = UINT32_MAX) {
  std::uint64_t n = vl_object_bytes(o, version);
  std::string s(n, '\0');
  std::uint64_t got = version == UINT32_MAX ? vl_read(e, o, 0, n, s.data())
                                            : vl_read_version(e, o, version, 0, n, s.data());
  s.resize(got);
  return s;
}

struct ObjectPicture {
  std::string name;
  std::vector<std::string> versions;  // every version's text, oldest first
  bool operator==(const ObjectPicture&) const = default;
};
using EnginePicture = std::vector<ObjectPicture>;

inline EnginePicture picture(vl_engine* e) {
  EnginePicture p;
  for (std::uint32_t i = 0; i < vl_engine_objects(e); ++i) {
    vl_object* o = vl_engine__obj(e, i);
    ObjectPicture op{vl_object_name(o), {}};
    for (std::uint32_t v = 0; v < vl_object_versions(o); ++v)
      op.versions.push_back(text_of(e, o, v));
    p.push_back(std::move(op));
  }
  return p;
}

inline void PrintTo(const ObjectPicture& o, std::ostream* os) {
  *os << o.name << "[" << o.versions.size() << "]";
  if (!o.versions.empty()) *os << "=\"" << o.versions.back().substr(0, 40) << "\"";
}

// A fresh directory per test, removed afterwards; store() is a store path in it.
class ScratchDir : public ::testing::Test {
 protected:
  void SetUp() override {
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string name = std::string(info->test_suite_name()) + "." + info->name();
    for (char& c : name) {
      if (c == '/') c = '_';
    }
    dir_ = std::string(VELTA_TEST_TMP) + "/" + name + "." + std::to_string(::getpid());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  std::string path(const std::string& leaf) const { return dir_ + "/" + leaf; }
  std::string store() const { return path("store.vlt"); }
  std::string wal() const { return store() + ".wal"; }
  std::string lock() const { return store() + ".lock"; }

  std::string dir_;
};

}  // namespace velta::testing
