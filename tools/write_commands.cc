// The velta tool's writing commands: init, put, rm, mv, merge, train, trim,
// save, unlock. Each edit runs inside write_transaction, so a command that
// reports failure leaves the store exactly as it found it.
#include <signal.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "commands.h"
#include "store_access.h"
#include "velta.h"

namespace velta::tool {
namespace {

std::uint32_t parse_u32(const std::string& text, const std::string& what) {
  const std::uint64_t v = parse_u64(text, what);
  if (v > UINT32_MAX) fail(kExitUsage, what + " must be at most " + std::to_string(UINT32_MAX));
  return static_cast<std::uint32_t>(v);
}

vl_bin_opts binary_options(const Options& o) {
  vl_bin_opts opts{};
  vl_bin_opts_default(&opts);
  if (!o.chunk_size.empty()) opts.target_size = parse_u32(o.chunk_size, "--chunk-size");
  if (!o.min_chunk.empty()) opts.min_size = parse_u32(o.min_chunk, "--min-chunk");
  if (!o.max_chunk.empty()) opts.max_size = parse_u32(o.max_chunk, "--max-chunk");
  if (opts.max_size != 0 && opts.min_size > opts.max_size) {
    fail(kExitUsage, "--min-chunk is larger than --max-chunk");
  }
  opts.fixed_size = o.fixed_chunks ? 1 : 0;
  return opts;
}

vl_object* create_object(vl_engine* e, const std::string& name, std::string_view data,
                         const vl_bin_opts* binary) {
  vl_object* obj = binary ? vl_create_binary(e, name.c_str(), data.data(), data.size(), binary)
                          : vl_create(e, name.c_str(), data.data(), data.size());
  if (!obj) fail(kExitIo, "out of memory creating '" + name + "'");
  return obj;
}

bool process_alive(long pid) { return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM; }

}  // namespace

int cmd_init(const Options& o) {
  struct stat st {};
  if (::stat(o.store.c_str(), &st) == 0) fail(kExitConflict, o.store + " already exists");
  write_transaction(o.store, true, [](vl_engine*) { return true; });
  std::printf("created %s\n", o.store.c_str());
  return kExitOk;
}

int cmd_put(const Options& o) {
  check_name(o.name);
  const std::string data = read_input(o.file.empty() ? "-" : o.file);
  if (!o.binary && std::memchr(data.data(), '\0', data.size()) != nullptr) {
    fail(kExitUsage, (o.file.empty() ? std::string("input") : o.file) +
                         " holds NUL bytes; store it with --binary");
  }
  const vl_bin_opts opts = binary_options(o);
  std::string outcome;
  write_transaction(o.store, true, [&](vl_engine* e) {
    vl_object* obj = vl_object_open(e, o.name.c_str());
    if (!obj) {
      create_object(e, o.name, data, o.binary ? &opts : nullptr);
      outcome = "created (" + std::to_string(data.size()) + " bytes)";
      return true;
    }
    const std::string old = read_version(e, obj, vl_object_versions(obj) - 1);
    if (!splice_to(e, obj, old, data, o.force)) {
      outcome = "unchanged; no version added (--force adds one)";
      return false;
    }
    const Span s = changed_span(old, data);
    outcome = "version " + std::to_string(vl_object_versions(obj) - 1) + ": ";
    outcome += s.removed == 0 && s.inserted == 0
                   ? std::string("same content (--force)")
                   : "bytes " + std::to_string(s.pos) + ".." + std::to_string(s.pos + s.removed) +
                         " replaced by " + std::to_string(s.inserted) + " bytes";
    return true;
  });
  std::printf("%s: %s\n", o.name.c_str(), outcome.c_str());
  return kExitOk;
}

int cmd_rm(const Options& o) {
  write_transaction(o.store, false, [&](vl_engine* e) {
    find_object(e, o.name);
    if (vl_delete(e, o.name.c_str()) != 0) fail(kExitNotFound, "no object named '" + o.name + "'");
    return true;
  });
  std::printf("removed %s\n", o.name.c_str());
  return kExitOk;
}

// The library has no rename: the new name gets every version again, each
// spliced from the one before, so history and storage sharing survive.
int cmd_mv(const Options& o) {
  check_name(o.new_name);
  write_transaction(o.store, false, [&](vl_engine* e) {
    vl_object* src = find_object(e, o.name);
    if (vl_object_open(e, o.new_name.c_str())) {
      fail(kExitConflict, "an object named '" + o.new_name + "' already exists");
    }
    const std::uint32_t nv = vl_object_versions(src);
    vl_bin_opts opts{};
    vl_bin_opts_default(&opts);
    std::string previous = read_version(e, src, 0);
    vl_object* dst = create_object(e, o.new_name, previous, is_binary(src) ? &opts : nullptr);
    for (std::uint32_t v = 1; v < nv; ++v) {
      std::string text = read_version(e, src, v);
      splice_to(e, dst, previous, text, true);
      previous = std::move(text);
    }
    if (vl_delete(e, o.name.c_str()) != 0) fail(kExitIo, "cannot delete '" + o.name + "'");
    return true;
  });
  return kExitOk;
}

int cmd_merge(const Options& o) {
  auto run = [&](vl_engine* e) {
    vl_object* obj = find_object(e, o.name);
    const std::uint32_t base = parse_version(obj, o.a, "BASE");
    const std::uint32_t other = parse_version(obj, o.b, "OTHER");
    const std::uint32_t before = vl_object_versions(obj);
    vl_merge_report rep{};
    const int rc = o.preview ? vl_merge_preview(e, obj, base, other, &rep)
                             : vl_merge(e, obj, base, other, &rep);
    auto range = [](std::uint64_t a, std::uint64_t b) {
      return std::to_string(a) + ".." + std::to_string(b);
    };
    const std::string sides = "ours changed bytes " + range(rep.ours_pos, rep.ours_end) +
                              " of the base, theirs " + range(rep.theirs_pos, rep.theirs_end);
    if (rc == -2) fail(kExitConflict, "conflict: " + sides);
    if (rc != 0) fail(kExitIo, "merge failed (out of memory?)");
    if (o.preview) {
      std::printf("mergeable: %s%s\n", sides.c_str(), rep.same ? " (the same change)" : "");
      return false;
    }
    const bool added = vl_object_versions(obj) > before;
    std::printf(added ? "merged as version %u\n" : "nothing to merge; still version %u\n",
                vl_object_versions(obj) - 1);
    return added;
  };
  if (o.preview) {
    Engine e = open_for_reading(o.store);
    run(e.get());
  } else {
    write_transaction(o.store, false, run);
  }
  return kExitOk;
}

int cmd_train(const Options& o) {
  const std::uint32_t passes = parse_u32(o.passes, "--passes");
  const std::uint32_t per_pass = parse_u32(o.per_pass, "--per-pass");
  const std::uint32_t min_count = parse_u32(o.min_count, "--min-count");
  const std::string sample = read_input(o.file);
  write_transaction(o.store, false, [&](vl_engine* e) {
    const std::uint32_t before = vl_dict_entries(e);
    const int after = vl_train(e, sample.data(), sample.size(), passes, per_pass, min_count);
    if (after < 0) fail(kExitIo, "training failed");
    std::printf("dictionary: %u entries, %u learned\n", static_cast<unsigned>(after),
                static_cast<unsigned>(after) - before);
    return static_cast<std::uint32_t>(after) != before;
  });
  return kExitOk;
}

int cmd_trim(const Options& o) {
  const std::uint64_t keep = parse_u64(o.keep, "--keep");
  if (keep == 0 || keep > UINT32_MAX) {
    fail(kExitUsage, "--keep must be from 1 to " + std::to_string(UINT32_MAX));
  }
  write_transaction(o.store, false, [&](vl_engine* e) {
    vl_object* obj = find_object(e, o.name);
    const int dropped = vl_trim_history(e, obj, static_cast<std::uint32_t>(keep));
    if (dropped < 0) fail(kExitIo, "trim failed");
    std::printf("%s: %d versions dropped, %u kept\n", o.name.c_str(), dropped,
                vl_object_versions(obj));
    return dropped > 0;
  });
  return kExitOk;
}

int cmd_save(const Options& o) {
  int options = 0;
  if (o.layout == "mappable") {
    options = VL_SAVE_MAPPABLE;
  } else if (o.layout == "plain") {
    options = VL_SAVE_UNCOMPRESSED;
  } else if (o.layout == "zlib") {
    fail(kExitUsage,
         "the library compresses with zstd and falls back to zlib only when zstd does not "
         "shrink the body; it cannot be asked for zlib");
  }
  save_store(o.store, options);
  return kExitOk;
}

int cmd_unlock(const Options& o) {
  if (!vl_lock_held(o.store.c_str())) fail(kExitNotFound, o.store + " is not locked");
  const auto pid = lock_holder(o.store);
  if (pid && process_alive(*pid) && !o.force) {
    fail(kExitConflict, "process " + std::to_string(*pid) + " holding " + o.store +
                            ".lock is still running; --force removes the lock anyway");
  }
  if (!pid && !o.force) {
    fail(kExitConflict, o.store + ".lock names no process; --force removes it");
  }
  if (vl_lock_break(o.store.c_str()) != 0) {
    fail(kExitIo, "cannot remove " + o.store + ".lock: " + error_text(errno));
  }
  std::printf("removed %s.lock\n", o.store.c_str());
  return kExitOk;
}

}  // namespace velta::tool
