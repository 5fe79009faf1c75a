// The velta tool's reading commands: info, ls, cat, log, diff, search,
// history, verify. Each opens its store through open_for_reading and
// changes no file.
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <dtl/dtl.hpp>
#include <fstream>
#include <functional>
#include <iostream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "commands.h"
#include "store_access.h"
#include "velta.h"

namespace velta::tool {
namespace {

// Reads are streamed in blocks of this many bytes.
constexpr std::uint64_t kBlockBytes = 1 << 20;

std::uint64_t file_size(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 ? static_cast<std::uint64_t>(st.st_size) : 0;
}

// The payload kind in the snapshot header (u32 at offset 12).
std::string layout_of(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  unsigned char hdr[16] = {};
  if (!in.read(reinterpret_cast<char*>(hdr), sizeof hdr)) return "unknown";
  const std::uint32_t flags = hdr[12] | hdr[13] << 8 | hdr[14] << 16 | hdr[15] << 24;
  switch (flags) {
    case 0:
      return "plain";
    case VL_SNAP_ZLIB:
      return "zlib";
    case VL_SNAP_ZSTD:
      return "zstd";
    case VL_SNAP_MAPPABLE:
      return "mappable";
    default:
      return "unknown";
  }
}

// Streams bytes [start, start + len) of version v to `sink` in blocks.
void stream_version(vl_engine* e, vl_object* o, std::uint32_t v, std::uint64_t start,
                    std::uint64_t len, const std::function<void(std::string_view)>& sink) {
  std::string block(std::min(len, kBlockBytes), '\0');
  while (len > 0) {
    const std::uint64_t want = std::min<std::uint64_t>(len, block.size());
    const std::uint64_t got = vl_read_version(e, o, v, start, want, block.data());
    if (got != want) fail(kExitDamaged, "version " + std::to_string(v) + " reads short");
    sink(std::string_view(block.data(), got));
    start += got;
    len -= got;
  }
}

void parse_range(const std::string& text, std::uint64_t size, std::uint64_t* start,
                 std::uint64_t* len) {
  const auto colon = text.find(':');
  if (colon == std::string::npos) fail(kExitUsage, "--range takes START:LEN, not '" + text + "'");
  *start = parse_u64(text.substr(0, colon), "range start");
  *len = parse_u64(text.substr(colon + 1), "range length");
  if (*start > size || *len > size - *start) {
    fail(kExitUsage,
         "range " + text + " ends past the version's " + std::to_string(size) + " bytes");
  }
}

std::string span_text(const Span& s) {
  if (s.removed == 0 && s.inserted == 0) return "unchanged";
  return "@" + std::to_string(s.pos) + " -" + std::to_string(s.removed) + " +" +
         std::to_string(s.inserted);
}

// Lines of a text for the diff; a last line without newline carries the
// usual marker so that adding the newline shows as a change.
std::vector<std::string> lines_of(std::string_view text) {
  std::vector<std::string> lines;
  std::size_t pos = 0;
  while (pos < text.size()) {
    const auto nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      lines.emplace_back(std::string(text.substr(pos)) + "\n\\ No newline at end of file");
      break;
    }
    lines.emplace_back(text.substr(pos, nl - pos));
    pos = nl + 1;
  }
  return lines;
}

}  // namespace

int cmd_info(const Options& o) {
  Engine e = open_for_reading(o.store);
  const int format = vl_store_format(o.store.c_str());
  std::uint64_t versions = 0, all_bytes = 0, current_bytes = 0;
  const std::uint32_t n = vl_engine_objects(e.get());
  for (std::uint32_t i = 0; i < n; ++i) {
    const vl_object* obj = vl_engine_object(e.get(), static_cast<int>(i));
    const std::uint32_t nv = vl_object_versions(obj);
    versions += nv;
    for (std::uint32_t v = 0; v < nv; ++v) all_bytes += vl_object_bytes(obj, v);
    current_bytes += vl_object_bytes(obj, 0xFFFFFFFFu);
  }
  const auto holder = lock_holder(o.store);
  const std::string lock = vl_lock_held(o.store.c_str())
                               ? (holder ? "held by process " + std::to_string(*holder) : "held")
                               : "none";
  struct Fact {
    const char* key;
    std::string value;
    bool number;
  };
  const std::vector<Fact> facts = {
      {"format", std::to_string(format), true},
      {"layout", layout_of(o.store), false},
      {"generation", std::to_string(vl_store_generation(o.store.c_str())), true},
      {"snapshot_bytes", std::to_string(file_size(o.store)), true},
      {"log_bytes", std::to_string(file_size(o.store + ".wal")), true},
      {"log_records", std::to_string(vl_wal_replayed(e.get())), true},
      {"lock", lock, false},
      {"objects", std::to_string(n), true},
      {"versions", std::to_string(versions), true},
      {"current_bytes", std::to_string(current_bytes), true},
      {"history_bytes", std::to_string(all_bytes), true},
      {"dictionary_entries", std::to_string(vl_dict_entries(e.get())), true},
      {"chunks", std::to_string(vl_store_chunk_count(e.get())), true},
      {"token_bytes", std::to_string(vl_store_token_bytes(e.get())), true},
  };
  if (o.json) {
    std::string out = "{";
    for (const Fact& f : facts) {
      if (out.size() > 1) out += ", ";
      out += json_string(f.key) + ": " + (f.number ? f.value : json_string(f.value));
    }
    std::printf("%s}\n", out.c_str());
  } else {
    for (const Fact& f : facts) std::printf("%-20s %s\n", f.key, f.value.c_str());
  }
  return kExitOk;
}

int cmd_ls(const Options& o) {
  Engine e = open_for_reading(o.store);
  const std::uint32_t n = vl_engine_objects(e.get());
  std::string json = "[";
  for (std::uint32_t i = 0; i < n; ++i) {
    const vl_object* obj = vl_engine_object(e.get(), static_cast<int>(i));
    const char* name = vl_object_name(obj);
    const unsigned nv = vl_object_versions(obj);
    const auto bytes = static_cast<unsigned long long>(vl_object_bytes(obj, 0xFFFFFFFFu));
    const char* kind = is_binary(obj) ? "binary" : "text";
    if (o.json) {
      if (i) json += ", ";
      json += "{\"name\": " + json_string(name) + ", \"versions\": " + std::to_string(nv) +
              ", \"bytes\": " + std::to_string(bytes) + ", \"kind\": \"" + kind + "\"}";
    } else {
      std::printf("%-32s %6u versions %12llu bytes  %s\n", name, nv, bytes, kind);
    }
  }
  if (o.json) std::printf("%s]\n", json.c_str());
  return kExitOk;
}

int cmd_cat(const Options& o) {
  Engine e = open_for_reading(o.store);
  vl_object* obj = find_object(e.get(), o.name);
  const std::uint32_t v =
      o.version.empty() ? vl_object_versions(obj) - 1 : parse_version(obj, o.version, "-v");
  const std::uint64_t size = vl_object_bytes(obj, v);
  std::uint64_t start = 0, len = size;
  if (!o.range.empty()) parse_range(o.range, size, &start, &len);
  if (!o.output.empty()) {
    std::string text;
    stream_version(e.get(), obj, v, start, len, [&](std::string_view b) { text.append(b); });
    write_file_atomically(o.output, text);
    return kExitOk;
  }
  stream_version(e.get(), obj, v, start, len, [](std::string_view b) {
    if (std::fwrite(b.data(), 1, b.size(), stdout) != b.size()) {
      fail(kExitIo, "cannot write standard output: " + error_text(errno));
    }
  });
  if (std::fflush(stdout) != 0) fail(kExitIo, "cannot write standard output: " + error_text(errno));
  return kExitOk;
}

int cmd_log(const Options& o) {
  Engine e = open_for_reading(o.store);
  vl_object* obj = find_object(e.get(), o.name);
  const std::uint32_t n = vl_object_versions(obj);
  std::string previous, json = "[";
  if (!o.json) std::printf("%7s %12s %10s  %s\n", "version", "bytes", "tokens", "change");
  for (std::uint32_t v = 0; v < n; ++v) {
    std::string text = read_version(e.get(), obj, v);
    const auto bytes = static_cast<unsigned long long>(text.size());
    const auto tokens = static_cast<unsigned long long>(vl_object_tokens(obj, v));
    const Span s = changed_span(previous, text);
    if (o.json) {
      if (v) json += ", ";
      json += "{\"version\": " + std::to_string(v) + ", \"bytes\": " + std::to_string(bytes) +
              ", \"tokens\": " + std::to_string(tokens) + ", \"pos\": " + std::to_string(s.pos) +
              ", \"removed\": " + std::to_string(s.removed) +
              ", \"inserted\": " + std::to_string(s.inserted) + "}";
    } else {
      const std::string change = v == 0 ? "created" : span_text(s);
      std::printf("%7u %12llu %10llu  %s\n", v, bytes, tokens, change.c_str());
    }
    previous = std::move(text);
  }
  if (o.json) std::printf("%s]\n", json.c_str());
  return kExitOk;
}

int cmd_diff(const Options& o) {
  Engine e = open_for_reading(o.store);
  vl_object* obj = find_object(e.get(), o.name);
  const std::uint32_t a = parse_version(obj, o.a, "version A");
  const std::uint32_t b = parse_version(obj, o.b, "version B");
  const std::vector<std::string> before = lines_of(read_version(e.get(), obj, a));
  const std::vector<std::string> after = lines_of(read_version(e.get(), obj, b));
  if (before == after) return kExitOk;
  dtl::Diff<std::string, std::vector<std::string>> diff(before, after);
  diff.onHuge();
  diff.compose();
  diff.composeUnifiedHunks();
  std::cout << "--- " << o.name << "@" << a << "\n+++ " << o.name << "@" << b << "\n";
  diff.printUnifiedFormat(std::cout);
  std::cout.flush();
  if (!std::cout) fail(kExitIo, "cannot write standard output");
  return kExitOk;
}

int cmd_search(const Options& o) {
  if (o.pattern.empty()) fail(kExitUsage, "the search pattern cannot be empty");
  const std::uint64_t max_hits = parse_u64(o.max_hits, "-n");
  Engine e = open_for_reading(o.store);
  const std::string_view pat = o.pattern;
  std::uint64_t total = 0, shown = 0;
  std::string json;
  const std::uint32_t n = vl_engine_objects(e.get());
  for (std::uint32_t i = 0; i < n; ++i) {
    vl_object* obj = vl_engine_object(e.get(), static_cast<int>(i));
    const std::string name = vl_object_name(obj);
    const std::uint32_t nv = vl_object_versions(obj);
    for (std::uint32_t v = o.all_versions ? 0 : nv - 1; v < nv; ++v) {
      std::uint64_t in_version = 0;
      // Blocks overlap by pattern length - 1 so no match straddles unseen.
      std::string window;
      std::uint64_t window_pos = 0;
      stream_version(e.get(), obj, v, 0, vl_object_bytes(obj, v), [&](std::string_view block) {
        window.append(block);
        std::size_t at = 0;
        while ((at = window.find(pat, at)) != std::string::npos) {
          ++in_version;
          if (!o.count && shown < max_hits) {
            ++shown;
            const std::uint64_t pos = window_pos + at;
            if (o.json) {
              json += std::string(json.empty() ? "" : ", ") + "{\"object\": " + json_string(name) +
                      ", \"version\": " + std::to_string(v) + ", \"pos\": " + std::to_string(pos) +
                      "}";
            } else if (o.all_versions) {
              std::printf("%s@%u:%llu\n", name.c_str(), v, static_cast<unsigned long long>(pos));
            } else {
              std::printf("%s:%llu\n", name.c_str(), static_cast<unsigned long long>(pos));
            }
          }
          ++at;
        }
        const std::size_t keep = std::min(window.size(), pat.size() - 1);
        window_pos += window.size() - keep;
        window.erase(0, window.size() - keep);
      });
      if (o.count && in_version > 0 && !o.json) {
        if (o.all_versions) {
          std::printf("%s@%u %llu\n", name.c_str(), v, static_cast<unsigned long long>(in_version));
        } else {
          std::printf("%s %llu\n", name.c_str(), static_cast<unsigned long long>(in_version));
        }
      }
      total += in_version;
    }
  }
  if (o.json) {
    std::printf("{\"total\": %llu, \"shown\": %llu, \"hits\": [%s]}\n",
                static_cast<unsigned long long>(total), static_cast<unsigned long long>(shown),
                json.c_str());
  } else if (!o.count && total > shown) {
    std::fprintf(stderr, "velta: %llu more hits not shown (raise -n to see them)\n",
                 static_cast<unsigned long long>(total - shown));
  }
  return total ? kExitOk : kExitNotFound;
}

int cmd_history(const Options& o) {
  Engine e = open_for_reading(o.store);
  vl_object* obj = find_object(e.get(), o.name);
  const std::uint64_t start = parse_u64(o.start, "START");
  const std::uint64_t len = parse_u64(o.length, "LEN");
  const std::uint64_t size = vl_object_bytes(obj, 0xFFFFFFFFu);
  if (len == 0) fail(kExitUsage, "LEN must be at least 1");
  if (start >= size || len > size - start) {
    fail(kExitUsage, "bytes " + o.start + "+" + o.length + " are not within the " +
                         std::to_string(size) + " bytes of the newest version");
  }
  const std::uint32_t nv = vl_object_versions(obj);
  std::vector<std::uint32_t> out(nv);
  const std::uint32_t hits = vl_range_history(obj, start, len, out.data(), nv);
  std::string json;
  for (std::uint32_t i = 0; i < hits; ++i) {
    if (o.json) {
      json += (i ? ", " : "") + std::to_string(out[i]);
    } else {
      std::printf("%u\n", out[i]);
    }
  }
  if (o.json) std::printf("[%s]\n", json.c_str());
  return hits ? kExitOk : kExitNotFound;
}

namespace {

const char* snapshot_state(std::uint32_t s) {
  static const char* const kText[] = {"sound",
                                      "bad header (size, magic, version or header checksum)",
                                      "payload cut short or length fields inconsistent",
                                      "compressed payload does not decompress to its length",
                                      "body checksum mismatch",
                                      "chunk trailer checksum mismatch",
                                      "a section the loader refuses (field, chunk key or tree)",
                                      "trees, chunk keys or reference counts fail the audit"};
  return s < std::size(kText) ? kText[s] : "unknown";
}

const char* log_state(std::uint32_t s) {
  static const char* const kText[] = {
      "sound",
      "absent (an open starts one)",
      "stale: older generation, its records are in the snapshot",
      "bad header: its records are lost",
      "newer than the snapshot: its records are lost",
      "a record that does not replay: it and all after it are lost",
      "torn tail: bytes after the last sound record (an open cuts them)"};
  return s < std::size(kText) ? kText[s] : "unknown";
}

}  // namespace

// The deep check reads the snapshot and the log into memory and writes
// nothing; damage goes to stderr with exit 4, a failed read exits 5.
int cmd_verify(const Options& o) {
  const int format = check_store_file(o.store);
  vl_verify_report r{};
  errno = 0;
  const int rc = vl_verify_store(o.store.c_str(), &r);
  if (rc < 0) fail(kExitIo, "cannot verify " + o.store + ": " + error_text(errno));
  const auto u = [](std::uint64_t v) { return static_cast<unsigned long long>(v); };
  if (rc != 0) {
    std::fprintf(stderr, "%s: damaged\n  snapshot: %s\n  log: %s\n", o.store.c_str(),
                 snapshot_state(r.snapshot), log_state(r.log));
    if (r.log != VL_VERIFY_LOG_ABSENT) {
      std::fprintf(stderr, "  log: %llu bytes, %llu sound records up to byte %llu, %llu replay\n",
                   u(r.log_bytes), u(r.log_records), u(r.log_valid_bytes), u(r.log_replayed));
    }
    return kExitDamaged;
  }
  std::printf("%s: ok: format %d, %s layout, %llu objects, %llu versions, %llu chunks, %s\n",
              o.store.c_str(), format, layout_of(o.store).c_str(), u(r.objects), u(r.versions),
              u(r.chunks),
              r.flags & VL_SNAP_MAPPABLE ? "chunk trailer intact" : "no chunk trailer");
  std::printf("  log: %s, %llu records\n", log_state(r.log), u(r.log_records));
  return kExitOk;
}

}  // namespace velta::tool
