// Store access for the velta tool; see store_access.h.
//
// Why write commands detach the log: an engine opened with vl_open appends
// every edit to path.wal before it changes memory, and the next open
// replays those records. A command that edits such an engine and then fails
// to commit (lock held, store changed, disk full) would still have its edit
// show up later, and a retry would apply it twice. So a write transaction
// opens the store, notes the generation, detaches and closes the log, edits
// in memory only, and makes everything durable with one vl_commit: it
// either writes a complete new snapshot (and restarts the log) or writes
// nothing. An engine without log commits as if it were at the expected
// generation, so the store's generation still moves forward by one.
#include "store_access.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <iterator>

namespace velta::tool {
namespace {

// Commits that lose the generation race are retried this many times in all.
constexpr int kCommitAttempts = 4;
// Names keep at most this many bytes in the library.
constexpr std::size_t kMaxNameBytes = 63;

std::string parent_dir(const std::string& path) {
  const auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// A new store needs its directory; the library would report a missing one
// as a lock it could not take.
void check_parent_dir(const std::string& path) {
  const std::string dir = parent_dir(path);
  struct stat st {};
  if (::stat(dir.c_str(), &st) != 0) {
    fail(kExitIo, "cannot create " + path + ": directory " + dir + ": " + error_text(errno));
  }
  if (!S_ISDIR(st.st_mode))
    fail(kExitIo, "cannot create " + path + ": " + dir + " is not a directory");
  if (::access(dir.c_str(), W_OK) != 0) {
    fail(kExitIo, "cannot write in " + dir + ": " + error_text(errno));
  }
}

[[noreturn]] void open_failed(const std::string& path, int err) {
  if (err == ENOMEM) fail(kExitIo, "out of memory opening " + path);
  if (err == ENOENT) fail(kExitNotFound, "no store at " + path);
  if (err == EACCES || err == EIO || err == EISDIR) {
    fail(kExitIo, "cannot read " + path + ": " + error_text(err));
  }
  fail(kExitDamaged, path + ": damaged store (" + error_text(err) + ")");
}

vl_engine* open_readonly(const char* path) noexcept {
#ifdef VL_OPEN_READONLY
  return vl_open_ex(path, VL_OPEN_READONLY);
#else
  return vl_open(path);
#endif
}

// A store opened for one write transaction: the engine, its log detached,
// and the generation its snapshot carried.
struct Session {
  Engine engine;
  std::uint64_t generation = 0;
};

Session open_for_writing(const std::string& path, bool create) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 && errno == ENOENT) {
    if (!create) fail(kExitNotFound, "no store at " + path);
    check_parent_dir(path);
    Engine e(vl_engine_new());
    if (!e) fail(kExitIo, "out of memory");
    return {std::move(e), 0};
  }
  check_store_file(path);
  errno = 0;
  Engine e(vl_open(path.c_str()));
  const int err = errno;
  if (!e) open_failed(path, err);
  if (!vl_wal_active(e.get())) {
    // Without its log the engine may lack edits other processes logged,
    // and its generation is unknown: committing it would lose their work.
    const std::string wal = path + ".wal";
    const int why = ::access(wal.c_str(), R_OK | W_OK) != 0 ? errno : err;
    fail(kExitIo, "cannot write the store's log " + wal + ": " + error_text(why ? why : EIO));
  }
  Session s{std::move(e), 0};
  s.generation = vl_engine_generation(s.engine.get());
  vl_wal* wal = vl_engine__wal(s.engine.get());
  vl_engine__set_wal(s.engine.get(), nullptr);
  vl_wal__destroy(wal);
  return s;
}

[[noreturn]] void locked(const std::string& path) {
  const auto pid = lock_holder(path);
  std::string who = pid ? "process " + std::to_string(*pid) : "another process";
  fail(kExitConflict, path + " is locked by " + who + " (" + path +
                          ".lock); if that process is gone, run: velta unlock " + path);
}

// The commit lock taken by the tool itself, for saves with options that
// vl_commit does not take. Same protocol: exclusive creation, "%ld\n".
class ToolLock {
 public:
  explicit ToolLock(std::string path) : path_(std::move(path)) {}
  ToolLock(const ToolLock&) = delete;
  ToolLock& operator=(const ToolLock&) = delete;
  ~ToolLock() {
    if (held_) ::remove(path_.c_str());
  }
  bool take() {
    const int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (fd < 0) return false;
    held_ = true;
    const std::string line = std::to_string(static_cast<long>(::getpid())) + "\n";
    (void)!::write(fd, line.data(), line.size());
    (void)::fsync(fd);
    ::close(fd);
    return true;
  }

 private:
  std::string path_;
  bool held_ = false;
};

}  // namespace

void fail(int code, const std::string& message) { throw Failure(code, message); }

std::string error_text(int err) { return std::strerror(err); }

int check_store_file(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) fail(kExitNotFound, "no store at " + path);
    fail(kExitIo, "cannot read " + path + ": " + error_text(errno));
  }
  if (S_ISDIR(st.st_mode)) fail(kExitUsage, path + " is a directory, not a store");
  if (::access(path.c_str(), R_OK) != 0) {
    fail(kExitIo, "cannot read " + path + ": " + error_text(errno));
  }
  errno = 0;
  const int format = vl_store_format(path.c_str());
  if (format == 0) fail(kExitDamaged, path + " is not a velta store");
  if (format < 0) {
    if (errno == EINVAL) fail(kExitDamaged, path + ": damaged store header");
    fail(kExitIo, "cannot read " + path + ": " + error_text(errno));
  }
  if (format != vl_format_version()) {
    fail(kExitDamaged, path + " has format " + std::to_string(format) + "; this library reads " +
                           std::to_string(vl_format_version()));
  }
  return format;
}

Engine open_for_reading(const std::string& path) {
  check_store_file(path);
  errno = 0;
  Engine e(open_readonly(path.c_str()));
  if (!e) open_failed(path, errno);
  return e;
}

void write_transaction(const std::string& path, bool create,
                       const std::function<bool(vl_engine*)>& apply) {
  for (int attempt = 1; attempt <= kCommitAttempts; ++attempt) {
    Session s = open_for_writing(path, create);
    if (!apply(s.engine.get())) return;
    errno = 0;
    const int rc = vl_commit(s.engine.get(), path.c_str(), s.generation);
    const int err = errno;
    if (rc == 0) return;
    if (rc == -2) continue;  // someone committed first: start again from theirs
    if (rc == -3) {
      if (vl_lock_held(path.c_str())) locked(path);
      fail(kExitIo, "cannot create the lock file " + path + ".lock: " + error_text(err));
    }
    if (err == ENOMEM) fail(kExitIo, "out of memory writing " + path);
    fail(kExitIo, "cannot write " + path + ": " + error_text(err) + "; the store is unchanged");
  }
  fail(kExitConflict, path + " kept changing under this command (" +
                          std::to_string(kCommitAttempts) + " attempts); nothing was written");
}

std::optional<long> lock_holder(const std::string& path) {
  std::ifstream in(path + ".lock");
  long pid = 0;
  if (in >> pid && pid > 0) return pid;
  return std::nullopt;
}

void save_store(const std::string& path, int save_options) {
  check_store_file(path);
  errno = 0;
  Engine e(vl_open(path.c_str()));
  if (!e) open_failed(path, errno);
  if (!vl_wal_active(e.get())) {
    fail(kExitIo, "cannot write the store's log " + path + ".wal: " + error_text(EACCES));
  }
  ToolLock lock(path + ".lock");
  if (!lock.take()) {
    if (vl_lock_held(path.c_str())) locked(path);
    fail(kExitIo, "cannot create the lock file " + path + ".lock: " + error_text(errno));
  }
  if (vl_store_generation(path.c_str()) != vl_engine_generation(e.get())) {
    fail(kExitConflict, path + " changed while it was being saved; nothing was written");
  }
  if (vl_save_ex(e.get(), path.c_str(), save_options) != 0) {
    fail(kExitIo, "cannot write " + path + ": " + error_text(errno) + "; the store is unchanged");
  }
}

vl_object* find_object(vl_engine* e, const std::string& name) {
  check_name(name);
  vl_object* o = vl_object_open(e, name.c_str());
  if (!o) fail(kExitNotFound, "no object named '" + name + "'");
  return o;
}

void check_name(const std::string& name) {
  if (name.empty()) fail(kExitUsage, "an object name cannot be empty");
  if (name.find('\0') != std::string::npos) fail(kExitUsage, "an object name cannot hold NUL");
  if (name.size() > kMaxNameBytes) {
    fail(kExitUsage, "object name is " + std::to_string(name.size()) +
                         " bytes; names hold at most " + std::to_string(kMaxNameBytes));
  }
}

bool is_binary(const vl_object* o) {
  return vl_object_dict_version(o, 0) == 0 && vl_object_bytes(o, 0) > 0;
}

std::string read_version(vl_engine* e, vl_object* o, std::uint32_t v) {
  std::string out(vl_object_bytes(o, v), '\0');
  const std::uint64_t got = vl_read_version(e, o, v, 0, out.size(), out.data());
  if (got != out.size()) {
    fail(kExitDamaged, "version " + std::to_string(v) + " of '" + vl_object_name(o) + "' reads " +
                           std::to_string(got) + " of its " + std::to_string(out.size()) +
                           " bytes");
  }
  return out;
}

Span changed_span(std::string_view before, std::string_view after) {
  const std::size_t limit = std::min(before.size(), after.size());
  std::size_t prefix = 0;
  while (prefix < limit && before[prefix] == after[prefix]) ++prefix;
  std::size_t suffix = 0;
  while (suffix < limit - prefix &&
         before[before.size() - 1 - suffix] == after[after.size() - 1 - suffix]) {
    ++suffix;
  }
  return {prefix, before.size() - prefix - suffix, after.size() - prefix - suffix};
}

bool splice_to(vl_engine* e, vl_object* o, std::string_view old_text, std::string_view text,
               bool force) {
  const Span span = changed_span(old_text, text);
  if (span.removed == 0 && span.inserted == 0 && !force) return false;
  if (vl_update(e, o, span.pos, span.removed, text.data() + span.pos, span.inserted) != 0) {
    fail(kExitIo, "the library refused the edit of '" + std::string(vl_object_name(o)) +
                      "' (out of memory?)");
  }
  return true;
}

std::string read_input(const std::string& file) {
  if (file == "-") {
    std::string data((std::istreambuf_iterator<char>(std::cin)), std::istreambuf_iterator<char>());
    if (std::cin.bad()) fail(kExitIo, "cannot read standard input");
    return data;
  }
  struct stat st {};
  if (::stat(file.c_str(), &st) != 0)
    fail(kExitIo, "cannot read " + file + ": " + error_text(errno));
  if (S_ISDIR(st.st_mode)) fail(kExitUsage, file + " is a directory, not a file");
  std::FILE* f = std::fopen(file.c_str(), "rb");
  if (!f) fail(kExitIo, "cannot read " + file + ": " + error_text(errno));
  std::string data;
  char block[1 << 16];
  std::size_t n;
  while ((n = std::fread(block, 1, sizeof block, f)) > 0) data.append(block, n);
  const bool bad = std::ferror(f) != 0;
  const int err = errno;
  std::fclose(f);
  if (bad) fail(kExitIo, "cannot read " + file + ": " + error_text(err));
  return data;
}

void write_file_atomically(const std::string& path, std::string_view data) {
  const std::string tmp = path + ".tmp" + std::to_string(::getpid());
  std::FILE* f = std::fopen(tmp.c_str(), "wb");
  if (!f) fail(kExitIo, "cannot write " + path + ": " + error_text(errno));
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = std::fclose(f) == 0 && ok;
  const int err = errno;
  if (!ok || std::rename(tmp.c_str(), path.c_str()) != 0) {
    const int why = ok ? errno : err;
    std::remove(tmp.c_str());
    fail(kExitIo, "cannot write " + path + ": " + error_text(why));
  }
}

std::uint64_t parse_u64(const std::string& text, const std::string& what) {
  std::uint64_t v = 0;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end) {
    fail(kExitUsage, what + " must be a whole number from 0 to " + std::to_string(UINT64_MAX) +
                         ", not '" + text + "'");
  }
  return v;
}

std::uint32_t parse_version(const vl_object* o, const std::string& text, const std::string& what) {
  const std::uint32_t n = vl_object_versions(o);
  std::uint64_t v = UINT64_MAX;
  const char* end = text.data() + text.size();
  auto [p, ec] = std::from_chars(text.data(), end, v);
  if (text.empty() || ec != std::errc() || p != end || v >= n) {
    fail(kExitUsage, what + " must be a version of '" + vl_object_name(o) + "' from 0 to " +
                         std::to_string(n - 1) + ", not '" + text + "'");
  }
  return static_cast<std::uint32_t>(v);
}

std::string json_string(std::string_view s) {
  std::string out = "\"";
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "\\u%04x", u);
      out += buf;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

}  // namespace velta::tool
