// Open and recovery: snapshot loading (read and mapped), log header checks,
// replay of every record kind, and where a damaged log is cut.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "durability_fixture.h"
#include "velta.h"

namespace velta::testing {
namespace {

std::string u32le(std::uint32_t v) {
  std::string s(4, '\0');
  for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (8 * i));
  return s;
}
std::string u64le(std::uint64_t v) { return u32le(static_cast<std::uint32_t>(v)) + u32le(v >> 32); }
std::string name(const std::string& n) { return std::string(1, static_cast<char>(n.size())) + n; }

// One framed record around `payload`, with a correct CRC.
std::string frame(const std::string& payload) {
  auto crc =
      crc32(0L, reinterpret_cast<const Bytef*>(payload.data()), static_cast<uInt>(payload.size()));
  return u32le(static_cast<std::uint32_t>(payload.size())) +
         u32le(static_cast<std::uint32_t>(crc)) + payload;
}
std::string create_rec(const std::string& n, const std::string& text) {
  return frame("\x01" + name(n) + u64le(text.size()) + text);
}

std::uint64_t log_generation(const std::string& log) {
  std::uint64_t g = 0;
  std::memcpy(&g, log.data() + 16, 8);
  return g;
}

class Recovery : public ScratchDir {
 protected:
  // Saves an engine with objects "a" and "b" to store(); returns its generation.
  std::uint64_t make_store(int options = 0) {
    EngineHolder e(vl_engine_new());
    EXPECT_NE(vl_create(e.get(), "a", "alpha beta gamma", 16), nullptr);
    EXPECT_NE(vl_create(e.get(), "b", "one two three", 13), nullptr);
    EXPECT_EQ(vl_save_ex(e.get(), store().c_str(), options), 0);
    return vl_engine_generation(e.get());
  }

  // Opens store() expecting success.
  EngineHolder open() {
    EngineHolder e(vl_open(store().c_str()));
    EXPECT_NE(e, nullptr) << "errno " << errno;
    return e;
  }
};

TEST_F(Recovery, MissingStoreFailsAndCreatesNothing) {
  errno = 0;
  EXPECT_EQ(vl_open(store().c_str()), nullptr);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_FALSE(exists(wal()));
  errno = 0;
  EXPECT_EQ(vl_open(nullptr), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Recovery, DamagedSnapshotFailsWithTheLoadersError) {
  make_store();
  std::string snap = read_file(store());
  snap[snap.size() / 2] = static_cast<char>(snap[snap.size() / 2] ^ 0x10);
  write_file(store(), snap);
  std::filesystem::remove(wal());
  errno = 0;
  EXPECT_EQ(vl_open(store().c_str()), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_FALSE(exists(wal()));
}

TEST_F(Recovery, SnapshotWithoutLogGetsAFreshLog) {
  const std::uint64_t gen = make_store();
  std::filesystem::remove(wal());
  EngineHolder e = open();
  ASSERT_NE(e, nullptr);
  const std::string log = read_file(wal());
  ASSERT_EQ(log.size(), 32u);
  EXPECT_EQ(log_generation(log), gen);
  EXPECT_EQ(vl_engine_generation(e.get()), gen);
  EXPECT_EQ(vl_wal_replayed(e.get()), 0u);
  EXPECT_EQ(vl_wal_ok(e.get()), 1);
}

class RecoveryLayout : public Recovery, public ::testing::WithParamInterface<int> {};

TEST_P(RecoveryLayout, ReplaysEveryRecordKind) {
  make_store(GetParam());
  EnginePicture expected;
  std::uint64_t log_len = 0;
  {
    EngineHolder e = open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(vl_store_is_mapped(e.get()), GetParam() == VL_SAVE_MAPPABLE ? 1 : 0);
    vl_engine* g = e.get();
    ASSERT_NE(vl_create(g, "c", "delta epsilon", 13), nullptr);                          // 1
    ASSERT_EQ(vl_update(g, vl_object_open(g, "a"), 6, 4, "BETA", 4), 0);                 // 2
    ASSERT_EQ(vl_update(g, vl_object_open(g, "a"), 0, 0, nullptr, 0), 0);                // 2, empty
    ASSERT_EQ(vl_graft(g, vl_object_open(g, "c"), 0, vl_object_open(g, "b"), 4, 4), 0);  // 4
    ASSERT_EQ(vl_cut(g, vl_object_open(g, "b"), 0, 4), 0);                               // 5
    ASSERT_GE(vl_trim_history(g, vl_object_open(g, "a"), 1), 1);                         // 6
    ASSERT_EQ(vl_delete(g, "b"), 0);                                                     // 3
    ASSERT_NE(vl_create(g, "a", "second a", 8), nullptr);                                // 1
    EXPECT_EQ(vl_wal_records(g), 8u);
    EXPECT_EQ(vl_wal_ok(g), 1);
    expected = picture(g);
    log_len = file_size(wal());
  }
  EngineHolder e = open();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(picture(e.get()), expected);
  EXPECT_EQ(vl_wal_replayed(e.get()), 8u);
  EXPECT_EQ(vl_wal_records(e.get()), 0u);
  EXPECT_EQ(vl_wal_bytes(e.get()), 0u);
  EXPECT_EQ(file_size(wal()), log_len);
  EXPECT_EQ(vl_store_is_mapped(e.get()), GetParam() == VL_SAVE_MAPPABLE ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(Layouts, RecoveryLayout, ::testing::Values(0, VL_SAVE_MAPPABLE),
                         [](const auto& p) { return p.param ? "Mapped" : "Read"; });

TEST_F(Recovery, LogOfAnotherGenerationIsReplacedUnapplied) {
  make_store();
  std::string old_log;
  {
    EngineHolder e = open();
    ASSERT_NE(vl_create(e.get(), "x", "in the old log", 14), nullptr);
    old_log = read_file(wal());
    // A save that crashed after its rename leaves the new snapshot beside
    // the old log, whose records the snapshot already holds.
    ASSERT_EQ(vl_save(e.get(), store().c_str()), 0);
  }
  write_file(wal(), old_log);
  EngineHolder e = open();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(vl_wal_replayed(e.get()), 0u);
  EXPECT_EQ(vl_engine_objects(e.get()), 3u);  // a, b, and x exactly once
  const std::string log = read_file(wal());
  ASSERT_EQ(log.size(), 32u);
  EXPECT_EQ(log_generation(log), vl_engine_generation(e.get()));
}

TEST_F(Recovery, DamagedLogHeaderRestartsTheLog) {
  make_store();
  const std::string good = read_file(wal()) + create_rec("x", "never");
  for (int at : {0, 8, 16, 24}) {  // magic, version, generation, CRC
    std::string bad = good;
    bad[at] = static_cast<char>(bad[at] ^ 1);
    write_file(wal(), bad);
    EngineHolder e = open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(vl_object_open(e.get(), "x"), nullptr) << "byte " << at;
    EXPECT_EQ(file_size(wal()), 32u);
  }
  // The reserved word (under the CRC) and the padding are not looked at.
  for (int at : {12, 28}) {
    std::string odd = good;
    odd[at] = 7;
    if (at < 24) {
      odd.replace(24, 4,
                  u32le(static_cast<std::uint32_t>(
                      crc32(0L, reinterpret_cast<const Bytef*>(odd.data()), 24))));
    }
    write_file(wal(), odd);
    EngineHolder e = open();
    ASSERT_NE(e, nullptr);
    EXPECT_NE(vl_object_open(e.get(), "x"), nullptr) << "byte " << at;
    EXPECT_EQ(vl_wal_replayed(e.get()), 1u);
  }
}

TEST_F(Recovery, ShortTailsAreCut) {
  make_store();
  const std::string header = read_file(wal());
  for (std::size_t extra = 1; extra <= 7; ++extra) {
    write_file(wal(), header + std::string(extra, '\x05'));
    EngineHolder e = open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(vl_wal_replayed(e.get()), 0u);
    EXPECT_EQ(file_size(wal()), 32u) << extra;
  }
  // The same after a complete record.
  const std::string one = header + create_rec("x", "kept");
  write_file(wal(), one + "\x09\x00\x00");
  EngineHolder e = open();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(vl_wal_replayed(e.get()), 1u);
  EXPECT_EQ(read_file(wal()), one);
}

TEST_F(Recovery, ReplayStopsAtRecordsThatAreNotValid) {
  make_store();
  const std::string header = read_file(wal());
  const std::string good = create_rec("x", "kept");
  const std::string bad_records[] = {
      frame(std::string(1, '\0') + name("x")),                  // kind 0
      frame("\x07" + name("x")),                                // kind 7
      u32le(0) + u32le(0),                                      // empty payload
      frame("\x01" + std::string(1, '\x40') + "x" + u64le(0)),  // name length 64
      frame("\x01" + name("x") + u64le(~0ull) + "abc"),         // byte count overflows
      frame("\x02" + name("a") + u64le(0) + u64le(0)),          // update cut short
      frame("\x06" + name("a") + "\x01\x00"),                   // trim count cut short
      create_rec("y", "bad crc").replace(4, 1, "\xEE"),         // CRC mismatch
      create_rec("y", "too short").substr(0, 15),               // runs past the end
  };
  for (const std::string& bad : bad_records) {
    write_file(wal(), header + good + bad + create_rec("z", "after"));
    EngineHolder e = open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(vl_wal_replayed(e.get()), 1u);
    EXPECT_NE(vl_object_open(e.get(), "x"), nullptr);
    EXPECT_EQ(vl_object_open(e.get(), "y"), nullptr);
    EXPECT_EQ(vl_object_open(e.get(), "z"), nullptr);
    EXPECT_EQ(read_file(wal()), header + good);
  }
}

TEST_F(Recovery, RecordsForMissingObjectsCountAsReplayed) {
  make_store();
  const std::string header = read_file(wal());
  write_file(wal(), header + frame("\x02" + name("ghost") + u64le(0) + u64le(1) + u64le(1) + "Z") +
                        frame("\x05" + name("ghost") + u64le(0) + u64le(1)) +
                        frame("\x06" + name("ghost") + u32le(1)) +
                        frame("\x04" + name("a") + name("ghost") + u64le(0) + u64le(0) + u64le(1)) +
                        frame("\x03" + name("ghost")) +
                        // Out of range for "a": refused, still replayed.
                        frame("\x02" + name("a") + u64le(999) + u64le(0) + u64le(1) + "Z") +
                        // Extra bytes after the last field are ignored.
                        frame("\x03" + name("b") + "trailing"));
  EngineHolder e = open();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(vl_wal_replayed(e.get()), 7u);
  EXPECT_EQ(vl_object_open(e.get(), "b"), nullptr);
  EXPECT_EQ(text_of(e.get(), vl_object_open(e.get(), "a")), "alpha beta gamma");
  EXPECT_EQ(vl_object_versions(vl_object_open(e.get(), "a")), 1u);
}

// Replay finds objects by name, the first in table order. Edits of a later
// object that shares its name are not logged under that name (they would
// land on the earlier one); the log says it can no longer recover.
TEST_F(Recovery, EditsOfAShadowedNameNeverReplayOntoTheFirstObject) {
  make_store();
  EngineHolder e = open();
  ASSERT_NE(e, nullptr);
  vl_object* first = vl_object_open(e.get(), "a");
  vl_object* shadow = vl_create(e.get(), "a", "shadow text", 11);
  vl_object* other = vl_object_open(e.get(), "b");
  ASSERT_NE(shadow, nullptr);
  const std::string log_before = read_file(wal());
  ASSERT_EQ(vl_update(e.get(), shadow, 0, 0, "X", 1), 0);
  ASSERT_EQ(vl_cut(e.get(), shadow, 0, 1), 0);
  ASSERT_EQ(vl_graft(e.get(), shadow, 0, other, 0, 3), 0);
  ASSERT_EQ(vl_graft(e.get(), other, 0, shadow, 0, 3), 0);
  ASSERT_EQ(vl_trim_history(e.get(), shadow, 1), 3);
  EXPECT_EQ(read_file(wal()), log_before);
  EXPECT_EQ(vl_wal_ok(e.get()), 0);
  // Edits of the first object of the name are still logged.
  ASSERT_EQ(vl_update(e.get(), first, 0, 0, "Y", 1), 0);
  EXPECT_GT(read_file(wal()).size(), log_before.size());
  e.reset();

  EngineHolder r = open();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(text_of(r.get(), vl_object_open(r.get(), "a")), "Yalpha beta gamma");
  EXPECT_EQ(text_of(r.get(), vl_object_open(r.get(), "b")), "one two three");
}

TEST_F(Recovery, LogThatCannotBeKeptLeavesTheEngineWithoutLog) {
  make_store();
  std::filesystem::remove(wal());
  std::filesystem::create_directory(wal());
  EngineHolder e = open();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(vl_wal_active(e.get()), 0);
  EXPECT_EQ(vl_store_path(e.get()), nullptr);
  EXPECT_EQ(text_of(e.get(), vl_object_open(e.get(), "b")), "one two three");
  // Edits still work; they are just not logged.
  EXPECT_EQ(vl_update(e.get(), vl_object_open(e.get(), "b"), 0, 3, "1", 1), 0);
  EXPECT_TRUE(std::filesystem::is_directory(wal()));
}

}  // namespace
}  // namespace velta::testing
