// Deep verify: whenever damage makes an open fail or give other content,
// verify says damaged, naming the stage the damage sits in; sound stores
// verify clean; and verify never changes, cuts or creates a file. Each
// snapshot layout is damaged by single bit flips and truncations; the log
// by a flip at and a cut after every byte.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "durability_fixture.h"
#include "persist/snapshot_format.h"
#include "persist/wal.h"
#include "snapshot_test_util.h"
#include "velta.h"

namespace velta::testing {
namespace {

namespace fs = std::filesystem;
namespace st = velta::snaptest;
using persist::kSnapHeaderSize;

enum class Layout { kPlain, kZstd, kZlib, kMappable };

struct Store {
  std::string snap;
  std::string log;
  EnginePicture want;  // what an open of the intact store gives
};

// A damaged copy of the store and the verdicts verify may give for it.
struct Case {
  std::string what;
  std::string snap;
  std::string log;
  std::set<int> snap_states;
  std::set<int> log_states;  // empty: any
  // A log cut between records is a sound shorter log; no check can tell.
  bool clean_cut = false;
};

using Cases = std::vector<Case>;
void add(Cases& cs, std::string what, std::string snap, std::string log, std::set<int> snap_states,
         std::set<int> log_states = {}, bool clean_cut = false) {
  cs.push_back({std::move(what), std::move(snap), std::move(log), std::move(snap_states),
                std::move(log_states), clean_cut});
}

std::map<std::string, std::string> dir_state(const std::string& dir) {
  std::map<std::string, std::string> files;
  for (const auto& e : fs::directory_iterator(dir)) {
    files[e.path().filename().string()] = read_file(e.path().string());
  }
  return files;
}

std::string flip(std::string s, std::size_t off) {
  s[off] = static_cast<char>(s[off] ^ (1 << (off * 5 % 8)));
  return s;
}

class VerifyTest : public ScratchDir {
 protected:
  // A store of two objects saved in `layout`, then three logged edits.
  Store make_store(Layout layout) {
    const std::string p = path("src");
    vl_engine* e = vl_engine_new();
    std::string text;
    for (int i = 0; i < 300; ++i) text += "line " + std::to_string(i % 23) + " of the store\n";
    vl_object* doc = vl_create(e, "doc", text.data(), text.size());
    vl_update(e, doc, 10, 5, "EDIT", 4);
    vl_create(e, "note", "a short note", 12);
    const int options = layout == Layout::kMappable ? VL_SAVE_MAPPABLE
                        : layout == Layout::kZstd   ? 0
                                                    : VL_SAVE_UNCOMPRESSED;
    EXPECT_EQ(vl_save_ex(e, p.c_str(), options), 0);
    EXPECT_EQ(vl_update(e, doc, 0, 0, "head ", 5), 0);
    EXPECT_NE(vl_create(e, "late", "late text", 9), nullptr);
    EXPECT_EQ(vl_delete(e, "note"), 0);
    vl_close(e);
    Store s{read_file(p), read_file(p + ".wal"), {}};
    if (layout == Layout::kZlib) {
      const st::Bytes f(s.snap.begin(), s.snap.end());
      const st::Bytes body(f.begin() + kSnapHeaderSize, f.end());
      const st::Bytes z =
          st::make_file(body, persist::kSnapFlagZlib, st::get64(f, persist::kSnapOffGeneration));
      s.snap.assign(z.begin(), z.end());
    }
    const std::uint32_t want_flags[] = {0, VL_SNAP_ZSTD, VL_SNAP_ZLIB, VL_SNAP_MAPPABLE};
    EXPECT_EQ(st::get32(st::Bytes(s.snap.begin(), s.snap.end()), persist::kSnapOffFlags),
              want_flags[static_cast<int>(layout)]);
    std::uint64_t replayed = 0;
    s.want = open_copy(s.snap, s.log, &replayed).value_or(EnginePicture{});
    EXPECT_EQ(replayed, 3u);
    return s;
  }

  // Writes the store into the folder `leaf` (no log when `log` is none).
  std::string place(const std::string& leaf, const std::string& snap,
                    const std::optional<std::string>& log) {
    fs::remove_all(path(leaf));
    fs::create_directories(path(leaf));
    const std::string p = path(leaf) + "/s";
    write_file(p, snap);
    if (log) write_file(p + ".wal", *log);
    return p;
  }

  // What an open of a copy gives, or none when it fails.
  std::optional<EnginePicture> open_copy(const std::string& snap, const std::string& log,
                                         std::uint64_t* replayed) {
    vl_engine* e = vl_open(place("open", snap, log).c_str());
    if (e == nullptr) return std::nullopt;
    EnginePicture p = picture(e);
    *replayed = vl_wal_replayed(e);
    vl_close(e);
    return p;
  }

  // Verifies the case in place, checks that verify changed nothing and
  // named an allowed stage, and that it said damaged if an open of a copy
  // fails or differs.
  void check(const Store& s, const Case& c) {
    SCOPED_TRACE(c.what);
    const std::string p = place("v", c.snap, c.log);
    const auto before = dir_state(path("v"));
    vl_verify_report rep;
    const int rc = vl_verify_store(p.c_str(), &rep);
    EXPECT_EQ(dir_state(path("v")), before);
    ASSERT_NE(rc, -1) << std::strerror(errno);
    EXPECT_EQ(rc, static_cast<int>(rep.damaged));
    EXPECT_EQ(c.snap_states.count(static_cast<int>(rep.snapshot)), 1u)
        << "snapshot " << rep.snapshot;
    if (!c.log_states.empty()) {
      EXPECT_EQ(c.log_states.count(static_cast<int>(rep.log)), 1u) << "log " << rep.log;
    }

    std::uint64_t replayed = 0;
    const std::optional<EnginePicture> got = open_copy(c.snap, c.log, &replayed);
    if ((!got || *got != s.want) && !c.clean_cut) {
      EXPECT_EQ(rc, VL_VERIFY_DAMAGED);
    }
    if (got && rep.snapshot == VL_VERIFY_SNAP_SOUND && rep.log != VL_VERIFY_LOG_HEADER &&
        rep.log != VL_VERIFY_LOG_NEWER) {
      EXPECT_EQ(rep.log_replayed, replayed);
      EXPECT_EQ(rep.objects, got->size());
    }
  }
};

class VerifyLayoutTest : public VerifyTest, public ::testing::WithParamInterface<Layout> {};

TEST_P(VerifyLayoutTest, SoundStoreVerifiesCleanAndUntouched) {
  const Store s = make_store(GetParam());
  for (const bool with_log : {true, false}) {
    const std::string p = place("v", s.snap, with_log ? std::optional(s.log) : std::nullopt);
    const auto before = dir_state(path("v"));
    vl_verify_report rep;
    ASSERT_EQ(vl_verify_store(p.c_str(), &rep), 0);
    EXPECT_EQ(dir_state(path("v")), before);  // no log created either
    EXPECT_EQ(rep.damaged, 0u);
    EXPECT_EQ(rep.snapshot, VL_VERIFY_SNAP_SOUND);
    EXPECT_EQ(rep.snapshot_bytes, s.snap.size());
    EXPECT_GT(rep.chunks, 0u);
    EXPECT_GT(rep.nodes, 0u);
    if (with_log) {
      EXPECT_EQ(rep.log, VL_VERIFY_LOG_SOUND);
      EXPECT_EQ(rep.objects, s.want.size());
      EXPECT_EQ(rep.log_records, 3u);
      EXPECT_EQ(rep.log_replayed, 3u);
      EXPECT_EQ(rep.log_valid_bytes, s.log.size());
      EXPECT_EQ(rep.log_replayed_bytes, s.log.size());
    } else {
      EXPECT_EQ(rep.log, VL_VERIFY_LOG_ABSENT);
      EXPECT_EQ(rep.objects, 2u);
      EXPECT_EQ(rep.versions, 3u);
    }
  }
}

TEST_P(VerifyLayoutTest, DamagedSnapshotIsFoundAtItsStage) {
  const Store s = make_store(GetParam());
  const std::size_t size = s.snap.size();
  const std::size_t body_end = kSnapHeaderSize + st::get64(st::Bytes(s.snap.begin(), s.snap.end()),
                                                           persist::kSnapOffBodyLen);
  const bool compressed = GetParam() == Layout::kZstd || GetParam() == Layout::kZlib;
  Cases cs;
  // Header bytes 60..63 are reserved, outside the header CRC and never read.
  for (std::size_t off = 0; off < kSnapHeaderSize; ++off) {
    add(cs, "header flip at " + std::to_string(off), flip(s.snap, off), s.log,
        {off < persist::kSnapOffReserved ? VL_VERIFY_SNAP_HEADER : VL_VERIFY_SNAP_SOUND});
  }
  std::vector<std::size_t> offs;
  for (std::size_t i = 0; i < 48; ++i) offs.push_back(kSnapHeaderSize + (size - 64) * i / 48);
  for (std::size_t i = 0; i < 8 && body_end < size; ++i) offs.push_back(body_end + i * 4);
  for (std::size_t off : offs) {
    std::set<int> states{VL_VERIFY_SNAP_BODY_CRC};
    if (compressed) states = {VL_VERIFY_SNAP_PAYLOAD, VL_VERIFY_SNAP_BODY_CRC};
    if (!compressed && off >= body_end) states = {VL_VERIFY_SNAP_TRAILER};
    add(cs, "payload flip at " + std::to_string(off), flip(s.snap, off), s.log, states);
  }
  for (std::size_t len : {0ul, 7ul, 63ul, 64ul, 65ul, size / 2, size - 4, size - 1}) {
    add(cs, "cut at " + std::to_string(len), s.snap.substr(0, len), s.log,
        {len < kSnapHeaderSize ? VL_VERIFY_SNAP_HEADER : VL_VERIFY_SNAP_LENGTHS});
  }
  for (const Case& c : cs) check(s, c);
}

std::string layout_name(const ::testing::TestParamInfo<Layout>& p) {
  static const char* const kNames[] = {"Plain", "Zstd", "Zlib", "Mappable"};
  return kNames[static_cast<int>(p.param)];
}

INSTANTIATE_TEST_SUITE_P(Layouts, VerifyLayoutTest,
                         ::testing::Values(Layout::kPlain, Layout::kZstd, Layout::kZlib,
                                           Layout::kMappable),
                         layout_name);

TEST_F(VerifyTest, DamagedLogIsFoundWheneverRecordsAreLost) {
  const Store s = make_store(Layout::kPlain);
  const std::string& log = s.log;
  std::set<std::size_t> ends{32};  // record ends: a cut there leaves a sound shorter log
  for (std::size_t pos = 32; pos + 8 <= log.size(); ends.insert(pos)) {
    pos += 8 + st::get32(st::Bytes(log.begin() + pos, log.begin() + pos + 4), 0);
  }
  Cases cs;
  for (std::size_t off = 0; off < log.size(); ++off) {
    // Header bytes 28..31 are padding outside the header CRC.
    std::set<int> states{VL_VERIFY_LOG_TORN, VL_VERIFY_LOG_UNREPLAYABLE};
    if (off < 32) states = {off < 28 ? VL_VERIFY_LOG_HEADER : VL_VERIFY_LOG_SOUND};
    add(cs, "log flip at " + std::to_string(off), s.snap, flip(log, off), {0}, states);
    const bool clean = ends.count(off) != 0;
    add(cs, "log cut at " + std::to_string(off), s.snap, log.substr(0, off), {0},
        {off < 32 ? VL_VERIFY_LOG_HEADER
         : clean  ? VL_VERIFY_LOG_SOUND
                  : VL_VERIFY_LOG_TORN},
        clean);
  }
  std::uint8_t newer[32];
  persist::wal_encode_header(newer, vl_store_generation(place("g", s.snap, {}).c_str()) + 1);
  add(cs, "log of a newer generation", s.snap,
      std::string(reinterpret_cast<char*>(newer), 32) + log.substr(32), {0}, {VL_VERIFY_LOG_NEWER});
  for (const Case& c : cs) check(s, c);
}

TEST_F(VerifyTest, LogLeftByAnInterruptedSaveIsStaleNotDamage) {
  const Store s = make_store(Layout::kZstd);
  const std::string p = place("v", s.snap, s.log);
  vl_engine* e = vl_open(p.c_str());
  ASSERT_NE(e, nullptr);
  ASSERT_EQ(vl_save(e, p.c_str()), 0);
  vl_close(e);
  write_file(p + ".wal", s.log);  // as if the save stopped before restarting the log
  vl_verify_report rep;
  EXPECT_EQ(vl_verify_store(p.c_str(), &rep), 0);
  EXPECT_EQ(rep.log, VL_VERIFY_LOG_STALE);
  EXPECT_EQ(rep.objects, s.want.size());
}

TEST_F(VerifyTest, CannotLookGivesMinusOneWithErrno) {
  vl_verify_report rep;
  errno = 0;
  EXPECT_EQ(vl_verify_store(path("missing").c_str(), &rep), -1);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(exists(path("missing.wal")));
  EXPECT_EQ(vl_verify_store(nullptr, &rep), -1);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(vl_verify_store(dir_.c_str(), nullptr), -1);  // a directory is no snapshot
  EXPECT_EQ(errno, EISDIR);
  const Store s = make_store(Layout::kPlain);
  EXPECT_EQ(vl_verify_store(place("v", s.snap, s.log).c_str(), nullptr), 0);
}

}  // namespace
}  // namespace velta::testing
