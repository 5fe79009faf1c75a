// velta: a command-line window onto stores, built on libvelta.so alone.
//
//   velta info STORE                 format, generation, objects, counters
//   velta ls STORE                   one line per object: versions, bytes
//   velta cat STORE OBJECT [-v N]    an object's text (newest, or version N)
//   velta put STORE OBJECT FILE      create or replace an object, then commit
//   velta search STORE PATTERN       every occurrence in current texts
//   velta history STORE OBJECT START LEN   versions that changed a range
//   velta verify STORE               header and chunk-trailer checks
//
// Writes go through vl_commit, so two tools editing one store never lose
// each other's work silently: the loser reports the generation conflict.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "velta.h"

namespace {

struct EngineCloser {
  void operator()(vl_engine* e) const noexcept { vl_close(e); }
};
using Engine = std::unique_ptr<vl_engine, EngineCloser>;

Engine open_store(const std::string& path) {
  Engine e(vl_open_ex(path.c_str(), VL_OPEN_READONLY));  // read commands change nothing
  if (!e) {
    throw std::runtime_error("cannot open " + path + ": " + std::strerror(errno));
  }
  return e;
}

vl_object* find_object(vl_engine* e, const std::string& name) {
  vl_object* o = vl_object_open(e, name.c_str());
  if (!o) throw std::runtime_error("no object named '" + name + "'");
  return o;
}

// Reads a whole version in one call: byte counts are known up front.
std::string read_all(vl_engine* e, vl_object* o, uint32_t version) {
  std::string out(vl_object_bytes(o, version), '\0');
  uint32_t index = version == 0xFFFFFFFFu ? vl_object_versions(o) - 1 : version;
  uint64_t n = vl_read_version(e, o, index, 0, out.size(), out.data());
  out.resize(n);
  return out;
}

int cmd_info(const std::string& store) {
  int format = vl_store_format(store.c_str());
  if (format < 0) throw std::runtime_error(store + ": damaged header: " + std::strerror(errno));
  if (format == 0) throw std::runtime_error(store + " is not a velta store");
  Engine e = open_store(store);
  vl_stats st{};
  vl_engine_stats(e.get(), &st);
  std::printf("format          %d\n", format);
  std::printf("generation      %llu\n", (unsigned long long)vl_engine_generation(e.get()));
  std::printf("mapped          %s\n", vl_store_is_mapped(e.get()) ? "yes" : "no");
  std::printf("log records     %llu replayed\n", (unsigned long long)vl_wal_replayed(e.get()));
  std::printf("objects         %u\n", vl_engine_objects(e.get()));
  std::printf("dict entries    %u\n", vl_dict_entries(e.get()));
  std::printf("chunks          %u (%llu token bytes)\n", vl_store_chunk_count(e.get()),
              (unsigned long long)vl_store_token_bytes(e.get()));
  std::printf("chunks put      %llu (%llu deduplicated)\n", (unsigned long long)st.chunks_put,
              (unsigned long long)st.chunks_deduped);
  std::printf("bytes ingested  %llu\n", (unsigned long long)st.bytes_ingested);
  return 0;
}

int cmd_ls(const std::string& store) {
  Engine e = open_store(store);
  uint32_t n = vl_engine_objects(e.get());
  for (uint32_t i = 0; i < n; ++i) {
    vl_object* o = vl_engine_object(e.get(), static_cast<int>(i));
    std::printf("%-32s %6u versions %12llu bytes\n", vl_object_name(o), vl_object_versions(o),
                (unsigned long long)vl_object_bytes(o, 0xFFFFFFFFu));
  }
  return 0;
}

int cmd_cat(const std::string& store, const std::string& name, int64_t version) {
  Engine e = open_store(store);
  vl_object* o = find_object(e.get(), name);
  uint32_t v = version < 0 ? 0xFFFFFFFFu : static_cast<uint32_t>(version);
  if (!vl_object_has_version(o, v)) throw std::runtime_error("no such version");
  std::string text = read_all(e.get(), o, v);
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

int cmd_put(const std::string& store, const std::string& name, const std::string& file) {
  std::ifstream in(file, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + file);
  std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  Engine e(vl_open(store.c_str()));
  if (!e) {
    if (errno != ENOENT) throw std::runtime_error("cannot open " + store + ": " + std::strerror(errno));
    e.reset(vl_engine_new());  // a new store: commit creates it
    if (!e) throw std::runtime_error("out of memory");
  }
  uint64_t generation = vl_engine_generation(e.get());
  vl_object* o = vl_object_open(e.get(), name.c_str());
  if (o) {
    if (vl_update(e.get(), o, 0, vl_object_bytes(o, 0xFFFFFFFFu), text.data(), text.size()) != 0)
      throw std::runtime_error("update refused");
  } else if (!vl_create(e.get(), name.c_str(), text.data(), text.size())) {
    throw std::runtime_error("out of memory");
  }
  int rc = vl_commit(e.get(), store.c_str(), generation);
  if (rc == -2) throw std::runtime_error("the store changed since it was opened; try again");
  if (rc == -3) throw std::runtime_error("the store is locked (vl_lock_break if stale)");
  if (rc != 0) throw std::runtime_error(std::string("commit failed: ") + std::strerror(errno));
  return 0;
}

int cmd_search(const std::string& store, const std::string& pattern, uint64_t max_hits) {
  Engine e = open_store(store);
  std::vector<uint64_t> pos(max_hits);
  std::vector<int> obj(max_hits);
  uint64_t n =
      vl_search_flat(e.get(), pattern.data(), pattern.size(), pos.data(), obj.data(), max_hits);
  for (uint64_t i = 0; i < n; ++i) {
    std::printf("%s:%llu\n", vl_object_name(vl_engine_object(e.get(), obj[i])),
                (unsigned long long)pos[i]);
  }
  return n ? 0 : 1;
}

int cmd_history(const std::string& store, const std::string& name, uint64_t start,
                uint64_t len) {
  Engine e = open_store(store);
  vl_object* o = find_object(e.get(), name);
  uint32_t nv = vl_object_versions(o);
  std::vector<uint32_t> out(nv ? nv : 1);
  uint32_t n = vl_range_history(o, start, len, out.data(), static_cast<uint32_t>(out.size()));
  for (uint32_t i = 0; i < n; ++i) std::printf("%u\n", out[i]);
  return 0;
}

int cmd_verify(const std::string& store) {
  int format = vl_store_format(store.c_str());
  if (format <= 0) {
    std::printf("%s: %s\n", store.c_str(), format == 0 ? "not a store" : std::strerror(errno));
    return 1;
  }
  int rc = vl_verify_chunks(store.c_str());
  if (rc < 0) {
    std::printf("%s: chunk trailer damaged: %s\n", store.c_str(), std::strerror(errno));
    return 1;
  }
  std::printf("%s: format %d, %s\n", store.c_str(), format,
              rc == 1 ? "no chunk trailer" : "chunk trailer intact");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"velta: inspect and edit velta stores"};
  app.require_subcommand(1);
  std::string store, name, file, pattern;
  int64_t version = -1;
  uint64_t start = 0, len = 0, max_hits = 100;
  int rc = 0;

  auto* info = app.add_subcommand("info", "format, generation, objects and counters");
  info->add_option("store", store)->required();
  info->callback([&] { rc = cmd_info(store); });

  auto* ls = app.add_subcommand("ls", "list objects");
  ls->add_option("store", store)->required();
  ls->callback([&] { rc = cmd_ls(store); });

  auto* cat = app.add_subcommand("cat", "print an object's text");
  cat->add_option("store", store)->required();
  cat->add_option("object", name)->required();
  cat->add_option("-v,--version", version, "version index (0 = oldest)");
  cat->callback([&] { rc = cmd_cat(store, name, version); });

  auto* put = app.add_subcommand("put", "create or replace an object from a file, then commit");
  put->add_option("store", store)->required();
  put->add_option("object", name)->required();
  put->add_option("file", file)->required();
  put->callback([&] { rc = cmd_put(store, name, file); });

  auto* search = app.add_subcommand("search", "find a byte string in every current text");
  search->add_option("store", store)->required();
  search->add_option("pattern", pattern)->required();
  search->add_option("-n,--max", max_hits, "most hits to print");
  search->callback([&] { rc = cmd_search(store, pattern, max_hits); });

  auto* history = app.add_subcommand("history", "versions that changed a byte range");
  history->add_option("store", store)->required();
  history->add_option("object", name)->required();
  history->add_option("start", start)->required();
  history->add_option("length", len)->required();
  history->callback([&] { rc = cmd_history(store, name, start, len); });

  auto* verify = app.add_subcommand("verify", "check the header and chunk trailer");
  verify->add_option("store", store)->required();
  verify->callback([&] { rc = cmd_verify(store); });

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "velta: %s\n", e.what());
    return 2;
  }
  return rc;
}
