// SimIo: the seam table whose entries count, fail and track durability,
// and the stream wrapper that routes a stream's reads and writes through
// the seam.
#include "persist/sim_io.h"

#include <sys/mman.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "persist/io.h"

namespace velta::testing {
namespace {

using persist::FileIo;
using persist::io;
using persist::real_io;

SimIo* g_sim = nullptr;
std::map<std::FILE*, int> g_streams;  // stream made by sim_fdopen -> its descriptor

bool fails(int* err) { return g_sim->hit(err); }

template <class R, class Call>
R guarded(R failed, Call call) {
  int err = 0;
  if (fails(&err)) {
    errno = err;
    return failed;
  }
  return call();
}

// ---- streams whose bytes go through the seam

struct Cookie {
  int fd;
  std::FILE* f = nullptr;
};

ssize_t cookie_read(void* c, char* buf, std::size_t n) {
  return io().read(static_cast<Cookie*>(c)->fd, buf, n);
}

ssize_t cookie_write(void* c, const char* buf, std::size_t n) {
  std::size_t done = 0;
  while (done < n) {
    const ssize_t w = io().write(static_cast<Cookie*>(c)->fd, buf + done, n - done);
    if (w <= 0) return done > 0 ? static_cast<ssize_t>(done) : -1;
    done += static_cast<std::size_t>(w);
  }
  return static_cast<ssize_t>(n);
}

int cookie_seek(void* c, off64_t* pos, int whence) {
  const off_t r = io().lseek(static_cast<Cookie*>(c)->fd, *pos, whence);
  if (r < 0) return -1;
  *pos = r;
  return 0;
}

int cookie_close(void* c) {
  auto* cookie = static_cast<Cookie*>(c);
  g_streams.erase(cookie->f);
  const int rc = io().close(cookie->fd);
  delete cookie;
  return rc;
}

std::FILE* sim_fdopen(int fd, const char* mode) {
  int err = 0;
  if (fails(&err)) {
    errno = err;
    return nullptr;
  }
  auto* cookie = new Cookie{fd};
  std::FILE* f =
      ::fopencookie(cookie, mode, {cookie_read, cookie_write, cookie_seek, cookie_close});
  if (f == nullptr) {
    delete cookie;
    return nullptr;
  }
  cookie->f = f;
  g_streams[f] = fd;
  return f;
}

int sim_fileno(std::FILE* f) {
  auto it = g_streams.find(f);
  return it != g_streams.end() ? it->second : ::fileno(f);
}

// ---- the table

int sim_close(int fd) {
  int err = 0;
  const bool fail = fails(&err);
  const int rc = real_io().close(fd);  // a close always lets the descriptor go
  if (fail) errno = err;
  return fail ? -1 : rc;
}

int sim_sync(int fd) {
  return guarded(-1, [&] {
    g_sim->synced(fd);
    return 0;
  });
}

const FileIo kSimIo = {
    .open = [](const char* p, int fl,
               mode_t m) { return guarded(-1, [&] { return real_io().open(p, fl, m); }); },
    .close = sim_close,
    .read =
        [](int fd, void* b, std::size_t n) {
          return guarded<ssize_t>(-1, [&] { return real_io().read(fd, b, n); });
        },
    .pread =
        [](int fd, void* b, std::size_t n, off_t o) {
          return guarded<ssize_t>(-1, [&] { return real_io().pread(fd, b, n, o); });
        },
    .write =
        [](int fd, const void* b, std::size_t n) {
          return guarded<ssize_t>(-1, [&] { return real_io().write(fd, b, n); });
        },
    .pwrite =
        [](int fd, const void* b, std::size_t n, off_t o) {
          return guarded<ssize_t>(-1, [&] { return real_io().pwrite(fd, b, n, o); });
        },
    .lseek = [](int fd, off_t o,
                int w) { return guarded<off_t>(-1, [&] { return real_io().lseek(fd, o, w); }); },
    .fstat = [](int fd,
                struct stat* st) { return guarded(-1, [&] { return real_io().fstat(fd, st); }); },
    .stat = [](const char* p,
               struct stat* st) { return guarded(-1, [&] { return real_io().stat(p, st); }); },
    .set_fl = [](int fd, int fl) { return guarded(-1, [&] { return real_io().set_fl(fd, fl); }); },
    .fsync = sim_sync,
    .fdatasync = sim_sync,
    .ftruncate = [](int fd,
                    off_t n) { return guarded(-1, [&] { return real_io().ftruncate(fd, n); }); },
    .rename = [](const char* a,
                 const char* b) { return guarded(-1, [&] { return real_io().rename(a, b); }); },
    .unlink = [](const char* p) { return guarded(-1, [&] { return real_io().unlink(p); }); },
    .remove = [](const char* p) { return guarded(-1, [&] { return real_io().remove(p); }); },
    .flock = [](int fd, int op) { return guarded(-1, [&] { return real_io().flock(fd, op); }); },
    .map_file =
        [](int fd, std::size_t n) {
          return guarded(MAP_FAILED, [&] { return real_io().map_file(fd, n); });
        },
    .unmap = [](void* p, std::size_t n) { return real_io().unmap(p, n); },
    .fdopen = sim_fdopen,
    .fileno = sim_fileno,
};

std::string slurp(const std::filesystem::path& p) {
  std::ifstream in(p, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

SimIo::SimIo(std::string dir) : dir_(std::move(dir)) {
  capture();
  g_sim = this;
  persist::testing::set_io(&kSimIo);
}

SimIo::~SimIo() {
  persist::testing::set_io(nullptr);
  g_sim = nullptr;
}

void SimIo::arm(std::uint64_t fail_at, int fail_errno, std::uint64_t crash_at) {
  armed_ = true;
  calls_ = 0;
  fail_at_ = fail_at;
  fail_errno_ = fail_errno;
  crash_at_ = crash_at;
}

bool SimIo::hit(int* err) {
  if (!down_ && armed_) {
    ++calls_;
    if (calls_ == crash_at_) down_ = true;
    if (calls_ == fail_at_) {
      *err = fail_errno_;
      return true;
    }
  }
  *err = EIO;
  return down_;
}

void SimIo::synced(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    struct stat dir_st;
    if (::stat(dir_.c_str(), &dir_st) != 0 || dir_st.st_ino != st.st_ino) return;
    entries_.clear();
    for (const auto& ent : std::filesystem::directory_iterator(dir_)) {
      struct stat fst;
      if (ent.is_regular_file() && ::stat(ent.path().c_str(), &fst) == 0) {
        entries_[ent.path().filename().string()] = fst.st_ino;
      }
    }
    return;
  }
  // The descriptor may be write-only: read the file through /proc instead.
  content_[st.st_ino] = slurp("/proc/self/fd/" + std::to_string(fd));
}

void SimIo::power_cut() {
  for (const auto& ent : std::filesystem::directory_iterator(dir_)) {
    if (ent.is_regular_file()) std::filesystem::remove(ent.path());
  }
  for (const auto& [name, ino] : entries_) {
    auto it = content_.find(ino);
    std::ofstream out(std::filesystem::path(dir_) / name, std::ios::binary);
    if (it != content_.end()) out.write(it->second.data(), std::ssize(it->second));
  }
  capture();  // the rewritten files are all durable, under new inode numbers
}

void SimIo::capture() {
  entries_.clear();
  content_.clear();
  for (const auto& ent : std::filesystem::directory_iterator(dir_)) {
    struct stat st;
    if (!ent.is_regular_file() || ::stat(ent.path().c_str(), &st) != 0) continue;
    entries_[ent.path().filename().string()] = st.st_ino;
    content_[st.st_ino] = slurp(ent.path());
  }
  down_ = false;
  armed_ = false;
}

}  // namespace velta::testing
