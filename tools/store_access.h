// How the velta tool reaches stores: exit codes, the one failure type every
// command throws, opening for reading, all-or-nothing write transactions,
// the commit lock, and the checked conversions of command-line numbers.
//
// Exit codes (documented in velta.1; scripts rely on them):
//   0 ok, 1 not found or no hits, 2 usage, 3 conflict or locked,
//   4 damaged store, 5 I/O error (out of memory included).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include "velta.h"

namespace velta::tool {

enum Exit : int {
  kExitOk = 0,
  kExitNotFound = 1,
  kExitUsage = 2,
  kExitConflict = 3,
  kExitDamaged = 4,
  kExitIo = 5,
};

// What a command reports when it stops: an exit code and one line for stderr.
class Failure : public std::runtime_error {
 public:
  Failure(int code, const std::string& message) : std::runtime_error(message), code_(code) {}
  int code() const noexcept { return code_; }

 private:
  int code_;
};

[[noreturn]] void fail(int code, const std::string& message);
// strerror(err) as a string.
std::string error_text(int err);

struct EngineClose {
  void operator()(vl_engine* e) const noexcept { vl_close(e); }
};
using Engine = std::unique_ptr<vl_engine, EngineClose>;

// Checks that `path` names a readable snapshot of the format this library
// reads; throws the matching Failure otherwise (1 missing, 2 a directory,
// 4 not a store or damaged header, 5 unreadable). Returns the format.
int check_store_file(const std::string& path);

// Opens a store for commands that only read. Every read command opens
// through here, so the read-only open is used the moment the library has it.
Engine open_for_reading(const std::string& path);

// Runs one write command as a transaction on the store at `path`.
//
// `apply` edits an engine that has no log attached, so nothing it does
// reaches the disk until the single vl_commit at the end; it returns false
// when there is nothing to write (then nothing is committed), and may throw
// Failure, which also leaves the store untouched. A commit that loses the
// race against another process (generation changed) reopens the store and
// runs `apply` again, a few times at most. With `create`, a missing store
// starts as an empty engine and the commit creates it.
void write_transaction(const std::string& path, bool create,
                       const std::function<bool(vl_engine*)>& apply);

// The process id in path.lock, if the file is there and holds one.
std::optional<long> lock_holder(const std::string& path);

// Rewrites the store in the layout `save_options` (VL_SAVE_*) selects, under
// the commit lock and only if nobody committed since it was opened.
void save_store(const std::string& path, int save_options);

// The object named `name`, or Failure 1.
vl_object* find_object(vl_engine* e, const std::string& name);
// Refuses (usage) names the library would cut or cannot hold.
void check_name(const std::string& name);
// True for objects made from raw bytes (their first version learned nothing).
bool is_binary(const vl_object* o);

// Version `v` (valid) in full.
std::string read_version(vl_engine* e, vl_object* o, std::uint32_t v);

// Replaces the object's current text with `text` by rewriting only the span
// where the two differ (common prefix and suffix kept), so the new version
// shares everything around the change. Identical text adds a version only
// with `force`. Returns true when a version was added.
bool splice_to(vl_engine* e, vl_object* o, std::string_view old_text, std::string_view text,
               bool force);

// The differing span of two texts: common prefix length, then the lengths
// of the replaced and replacing middles.
struct Span {
  std::uint64_t pos = 0;
  std::uint64_t removed = 0;
  std::uint64_t inserted = 0;
};
Span changed_span(std::string_view before, std::string_view after);

// A whole input file, or standard input for "-"; Failure 5 when unreadable.
std::string read_input(const std::string& file);
// Writes `data` to `path` through path.tmp and a rename, so a failed write
// never leaves a partial file under the name asked for.
void write_file_atomically(const std::string& path, std::string_view data);

// Parses a decimal u64 (no sign, no spaces); Failure 2 naming `what`.
std::uint64_t parse_u64(const std::string& text, const std::string& what);
// A valid version index of `o`; Failure 2 with the valid range.
std::uint32_t parse_version(const vl_object* o, const std::string& text, const std::string& what);

// JSON string literal of arbitrary bytes (invalid UTF-8 escaped bytewise).
std::string json_string(std::string_view s);

}  // namespace velta::tool
