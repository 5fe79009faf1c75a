// Property: opening a valid snapshot beside an arbitrary log never crashes
// and always gives an engine, and the log that open leaves behind reopens
// to the same engine (same objects in the same order, same version texts)
// without being cut again.
//
// Input, by its first byte:
//  'R'  the rest is the whole log file, so damaged headers are covered;
//  'F'  the rest is a list of payloads, each one length byte and that many
//       bytes, framed with correct lengths and CRCs behind a valid header
//       (so mutations reach the record decoders); bytes left over after
//       the last whole payload are appended raw, as a torn tail;
//  else the whole input follows a valid header as it is.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "persist/crc32.h"
#include "persist/wal.h"
#include "velta.h"

namespace {

struct Picture {
  std::vector<std::string> names;
  std::vector<std::vector<std::string>> versions;
  bool operator==(const Picture&) const = default;
};

Picture picture(vl_engine* e) {
  Picture p;
  for (std::uint32_t i = 0; i < vl_engine_objects(e); ++i) {
    vl_object* o = vl_engine__obj(e, i);
    p.names.emplace_back(vl_object_name(o));
    p.versions.emplace_back();
    for (std::uint32_t v = 0; v < vl_object_versions(o); ++v) {
      std::string s(vl_object_bytes(o, v), '\0');
      s.resize(vl_read_version(e, o, v, 0, s.size(), s.data()));
      p.versions.back().push_back(std::move(s));
    }
  }
  return p;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void put(const std::string& path, const void* data, std::size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f || std::fwrite(data, 1, n, f) != n || std::fclose(f) != 0) abort();
}

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "wal_replay: %s\n", what);
  abort();
}

std::string make_dir(std::string tmpl) { return mkdtemp(tmpl.data()) ? tmpl : std::string(); }

// The store every input is replayed over, made once per process and
// removed at exit.
struct Store {
  std::string dir;
  std::string path;
  std::uint64_t generation = 0;

  Store() {
    // tmpfs when there is one: every open syncs the log it cuts or starts.
    dir = make_dir("/dev/shm/velta_wal_fuzz_XXXXXX");
    if (dir.empty()) dir = make_dir("/tmp/velta_wal_fuzz_XXXXXX");
    if (dir.empty()) fail("mkdtemp");
    path = dir + "/store.vlt";
    vl_engine* e = vl_engine_new();
    vl_create(e, "a", "alpha beta gamma delta", 22);
    vl_create(e, "b", "one two three four five six", 27);
    vl_object* b = vl_object_open(e, "b");
    vl_update(e, b, 4, 4, "2 ", 2);
    vl_create(e, "", "", 0);
    if (vl_save(e, path.c_str()) != 0) fail("save");
    generation = vl_engine_generation(e);
    vl_close(e);
  }
  ~Store() { std::filesystem::remove_all(dir); }
  Store(const Store&) = delete;
  Store& operator=(const Store&) = delete;
};

}  // namespace

// Also called by the plain test build, which replays the seed corpus.
extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const Store store;
  const std::string wal = store.path + ".wal";
  if (size > 0 && data[0] == 'R') {
    put(wal, data + 1, size - 1);
  } else {
    std::uint8_t header[32];
    velta::persist::wal_encode_header(header, store.generation);
    std::string log(reinterpret_cast<const char*>(header), sizeof header);
    std::size_t pos = 0;
    if (size > 0 && data[0] == 'F') {
      pos = 1;
      while (pos < size && pos + 1 + data[pos] <= size) {
        const std::uint8_t* payload = data + pos + 1;
        const std::uint32_t n = data[pos];
        const std::uint32_t crc = velta::persist::crc32_update(0, payload, n);
        for (std::uint32_t v : {n, crc}) {
          for (int i = 0; i < 4; ++i) log += static_cast<char>(v >> (8 * i));
        }
        log.append(reinterpret_cast<const char*>(payload), n);
        pos += 1 + n;
      }
    }
    log.append(reinterpret_cast<const char*>(data + pos), size - pos);
    put(wal, log.data(), log.size());
  }

  vl_engine* first = vl_open(store.path.c_str());
  if (!first) fail("open of a valid snapshot failed");
  const Picture p1 = picture(first);
  const std::uint64_t replayed = vl_wal_replayed(first);
  vl_close(first);
  const std::string kept = slurp(wal);

  vl_engine* second = vl_open(store.path.c_str());
  if (!second) fail("reopen failed");
  if (vl_wal_replayed(second) != replayed) fail("reopen replayed a different count");
  if (!(picture(second) == p1)) fail("reopen gave a different engine");
  vl_close(second);
  if (slurp(wal) != kept) fail("reopen cut the log again");
  return 0;
}
