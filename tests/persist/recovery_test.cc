// Open and recovery: snapshot loading (read and mapped), log header checks,
// replay of every record kind, and where a damaged log is cut.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zlib.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

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
  EXPECT_EQ(vl_wal_damaged_bytes(e.get()), 0u);  // a torn append is not kept
  EXPECT_FALSE(exists(store() + ".wal.damaged"));
}

TEST_F(Recovery, ReplayStopsAtRecordsThatAreNotValid) {
  make_store();
  const std::string header = read_file(wal());
  const std::string good = create_rec("x", "kept");
  const std::string bad_records[] = {
      frame(std::string(1, '\0') + name("x")),                  // kind 0
      frame("\x09" + name("x")),                                // kind 9
      u32le(0) + u32le(0),                                      // empty payload
      frame("\x01" + std::string(1, '\x40') + "x" + u64le(0)),  // name length 64
      frame("\x01" + name("x") + u64le(~0ull) + "abc"),         // byte count overflows
      frame("\x02" + name("a") + u64le(0) + u64le(0)),          // update cut short
      frame("\x06" + name("a") + "\x01\x00"),                   // trim count cut short
      create_rec("y", "bad crc").replace(4, 1, "\xEE"),         // CRC mismatch
      create_rec("y", "too short").substr(0, 15),               // runs past the end
      // Intact but cannot be applied: later records were made on a state
      // replay cannot rebuild.
      frame("\x02" + name("ghost") + u64le(0) + u64le(1) + u64le(1) + "Z"),
      frame("\x05" + name("ghost") + u64le(0) + u64le(1)),
      frame("\x06" + name("a") + u32le(5)),  // nothing to trim
      frame("\x04" + name("a") + name("ghost") + u64le(0) + u64le(0) + u64le(1)),
      frame("\x03" + name("ghost")),
      frame("\x02" + name("a") + u64le(999) + u64le(0) + u64le(1) + "Z"),
  };
  std::string kept = store() + ".wal.damaged";  // never overwritten: .1, .2, ... next
  for (std::size_t i = 0; i < std::size(bad_records); ++i) {
    const std::string cut = bad_records[i] + create_rec("z", "after");
    write_file(wal(), header + good + cut);
    EngineHolder e = open();
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(vl_wal_replayed(e.get()), 1u);
    EXPECT_NE(vl_object_open(e.get(), "x"), nullptr);
    EXPECT_EQ(vl_object_open(e.get(), "y"), nullptr);
    EXPECT_EQ(vl_object_open(e.get(), "z"), nullptr);
    EXPECT_EQ(read_file(wal()), header + good);
    // Intact records went with the cut: the bytes are kept aside.
    EXPECT_EQ(vl_wal_damaged_bytes(e.get()), cut.size()) << i;
    EXPECT_EQ(std::string(vl_wal_damaged_path(e.get())), kept) << i;
    EXPECT_EQ(read_file(kept), cut) << i;
    kept = store() + ".wal.damaged." + std::to_string(i + 1);
  }
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
  // A failed log stays failed: even edits of the first object of the name
  // are no longer appended, so replay never skips the unlogged ones.
  ASSERT_EQ(vl_update(e.get(), first, 0, 0, "Y", 1), 0);
  EXPECT_EQ(read_file(wal()), log_before);
  e.reset();

  EngineHolder r = open();
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(text_of(r.get(), vl_object_open(r.get(), "a")), "alpha beta gamma");
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

namespace velta::testing {
namespace {

// Each dictionary id with its bytes: replay must rebuild the very ids.
std::vector<std::string> dict_picture(vl_engine* e) {
  std::vector<std::string> ids;
  vl_dict* d = vl_engine_dict(e);
  for (std::uint32_t id = 1; id <= vl_dict_size(d); ++id) {
    std::uint64_t n = 0;
    const std::uint8_t* p = vl_dict_text(d, id, &n);
    ids.emplace_back(reinterpret_cast<const char*>(p), n);
  }
  return ids;
}

// Every call that succeeds with the log attached is recovered exactly:
// binary objects (same chunks) and dictionary growth that no logged text
// carries (same ids) included. Seeded random steps; after each, a
// read-only open of the store must show what the engine holds.
TEST_F(Recovery, EveryAcknowledgedChangeReplaysExactly) {
  make_store();
  EngineHolder e = open();
  ASSERT_EQ(vl_wal_ok(e.get()), 1);
  const unsigned seed = 20240613;
  std::srand(seed);
  std::string blob(9000, '\0');
  for (char& c : blob) c = static_cast<char>(std::rand() % 7);
  for (int step = 0; step < 40; ++step) {
    vl_engine* w = e.get();
    vl_object* a = vl_object_open(w, "a");
    const std::string word = "w" + std::to_string(std::rand() % 50) + " ";
    switch (std::rand() % 6) {
      case 0: {  // a binary object, then grafted into text
        const std::string name = "bin" + std::to_string(step);
        vl_bin_opts o{64, 0, 0, static_cast<std::uint32_t>(step % 2)};
        vl_object* b = vl_create_binary(w, name.c_str(), blob.data() + step, 3000 + step, &o);
        ASSERT_NE(b, nullptr);
        ASSERT_EQ(vl_graft(w, a, 0, b, 0, 5), 0);
        break;
      }
      case 1:
        vl_train(w, blob.data(), 2000, 1, 4, 2);
        break;
      case 2:
        vl_dict_learn(vl_engine_dict(w), word.data(), word.size(), 10);
        break;
      case 3:  // a new id past the end, then over an existing one
        vl_net__install_entry(vl_engine_dict(w), vl_dict_size(vl_engine_dict(w)) + 2, "zq", 2);
        vl_net__install_entry(vl_engine_dict(w), 1, word.data(), 2);
        break;
      default:
        ASSERT_EQ(vl_update(w, a, 0, 0, word.data(), word.size()), 0);
    }
    ASSERT_EQ(vl_wal_ok(w), 1) << "seed " << seed << " step " << step;
    EngineHolder r(vl_open_ex(store().c_str(), VL_OPEN_READONLY));
    ASSERT_NE(r, nullptr);
    ASSERT_EQ(picture(r.get()), picture(w)) << "seed " << seed << " step " << step;
    ASSERT_EQ(dict_picture(r.get()), dict_picture(w)) << "seed " << seed << " step " << step;
    for (std::uint32_t i = 0; i < vl_engine_objects(w); ++i) {
      ASSERT_EQ(vl_bin_chunk_count(vl_engine__obj(r.get(), i), UINT32_MAX),
                vl_bin_chunk_count(vl_engine__obj(w, i), UINT32_MAX));
    }
  }
}

// A mappable snapshot never opens with wrong content: each damaged copy
// (bit flips anywhere, truncations) either fails or opens to the original
// objects; a flipped trailer bit fails with EIO, in a search as in a read.
// Non-regular files are refused at once instead of blocking.
TEST_F(Recovery, DamagedMappableSnapshotsNeverOpenWithWrongContent) {
  EngineHolder src(vl_engine_new());
  std::string bytes(20000, '\0');
  for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<char>(i * 31 % 251);
  ASSERT_NE(vl_create_binary(src.get(), "bin", bytes.data(), bytes.size(), nullptr), nullptr);
  ASSERT_NE(vl_create(src.get(), "txt", "some text here", 14), nullptr);
  ASSERT_EQ(vl_save_ex(src.get(), store().c_str(), VL_SAVE_MAPPABLE), 0);
  const EnginePicture want = picture(src.get());
  // Hits in both objects: damage must not shorten the list unreported.
  std::vector<vl_hit> want_hits(256);
  const std::uint64_t want_n = vl_search(src.get(), "e", 1, want_hits.data(), want_hits.size());
  ASSERT_GT(want_n, 0u);
  want_hits.resize(want_n);
  src.reset();
  const std::string good = read_file(store());
  std::uint64_t body_len = 0;
  std::memcpy(&body_len, good.data() + 44, 8);  // header field body_len
  std::srand(7);
  for (int trial = 0; trial < 300; ++trial) {
    std::string bad = good;
    const bool trailer = trial % 3 == 0;
    if (trial % 5 == 4) {
      bad.resize(static_cast<std::size_t>(std::rand()) % good.size());
    } else {
      const std::size_t at = trailer ? 64 + body_len + std::rand() % (good.size() - 64 - body_len)
                                     : std::rand() % good.size();
      bad[at] = static_cast<char>(bad[at] ^ (1 << (std::rand() % 8)));
    }
    write_file(store(), bad);
    std::filesystem::remove(wal());
    errno = 0;
    EngineHolder e(vl_open_ex(store().c_str(), VL_OPEN_READONLY));
    if (!e) {
      if (trailer && trial % 5 != 4) {
        EXPECT_EQ(errno, EIO) << "trial " << trial;
      }
      continue;
    }
    ASSERT_EQ(vl_engine_objects(e.get()), want.size()) << "trial " << trial;
    // Damaged tokens are found at first use: a search either finds every
    // hit or fails whole with EIO...
    std::vector<vl_hit> hits(256);
    errno = 0;
    const std::uint64_t n = vl_search(e.get(), "e", 1, hits.data(), hits.size());
    if (n == 0) {
      EXPECT_EQ(errno, EIO) << "trial " << trial;
    } else {
      ASSERT_EQ(n, want_n) << "trial " << trial;
      for (std::uint64_t h = 0; h < n; ++h) {
        EXPECT_EQ(hits[h].pos, want_hits[h].pos) << "trial " << trial;
        EXPECT_STREQ(hits[h].object_name, want_hits[h].object_name) << "trial " << trial;
      }
      EXPECT_FALSE(trailer && trial % 5 != 4) << "trial " << trial;
    }
    // ...and a read either gives the true text or fails whole with EIO; a
    // flipped trailer bit fails one.
    int failed_reads = 0;
    for (std::uint32_t i = 0; i < want.size(); ++i) {
      vl_object* o = vl_engine__obj(e.get(), i);
      ASSERT_EQ(vl_object_name(o), want[i].name);
      ASSERT_EQ(vl_object_versions(o), want[i].versions.size());
      for (std::uint32_t v = 0; v < want[i].versions.size(); ++v) {
        std::string text(vl_object_bytes(o, v), '\0');
        errno = 0;
        const std::uint64_t got = vl_read_version(e.get(), o, v, 0, text.size(), text.data());
        if (got == text.size()) {
          EXPECT_EQ(text, want[i].versions[v]) << "trial " << trial;
        } else {
          EXPECT_EQ(got, 0u) << "trial " << trial;
          EXPECT_EQ(errno, EIO) << "trial " << trial;
          ++failed_reads;
        }
      }
    }
    if (trailer && trial % 5 != 4) {
      EXPECT_GT(failed_reads, 0) << "trial " << trial;
    }
  }
  std::filesystem::remove(store());
  ASSERT_EQ(mkfifo(store().c_str(), 0644), 0);
  errno = 0;
  EXPECT_EQ(vl_open(store().c_str()), nullptr);
  EXPECT_EQ(errno, EINVAL);
  EXPECT_EQ(vl_store_generation(store().c_str()), 0u);
  std::filesystem::remove(store());
  write_file(store(), good);
  ASSERT_EQ(mkfifo(wal().c_str(), 0644), 0);  // a log that is no file
  EngineHolder e = open();
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(vl_wal_active(e.get()), 0);
  EXPECT_EQ(picture(e.get()), want);
}

}  // namespace
}  // namespace velta::testing
