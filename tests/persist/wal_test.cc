// Write-ahead log: the exact bytes of the header and of each record kind,
// what is and is not logged, the counters and the sync switch, and the
// stale-file guard (a log restarted or cut under an attached state).
#include "persist/wal.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "engine/engine.h"
#include "persist/wal_format.h"
#include "testutil/alloc_fail.h"
#include "velta.h"

namespace {

namespace fs = std::filesystem;
using velta::persist::wal_header_matches;
using velta::persist::wal_new;
using velta::persist::wal_open_append;
using velta::persist::wal_write_header;
using velta::testutil::HeapFailure;

using Bytes = std::string;

Bytes slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

Bytes u32(std::uint32_t v) {
  Bytes b(4, '\0');
  for (int i = 0; i < 4; ++i) b[i] = static_cast<char>(v >> (8 * i));
  return b;
}

Bytes u64(std::uint64_t v) { return u32(static_cast<std::uint32_t>(v)) + u32(v >> 32); }

std::uint32_t crc(const Bytes& b) {
  return static_cast<std::uint32_t>(
      crc32(0L, reinterpret_cast<const Bytef*>(b.data()), static_cast<uInt>(b.size())));
}

Bytes framed(const Bytes& payload) {
  return u32(static_cast<std::uint32_t>(payload.size())) + u32(crc(payload)) + payload;
}

class WalTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fs::create_directories(VELTA_TEST_TMP);
    std::string tmpl = std::string(VELTA_TEST_TMP) + "/wal-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
    store_ = dir_ + "/store";
    log_ = store_ + ".wal";
    e_ = vl_engine_new();
    ASSERT_NE(e_, nullptr);
  }
  void TearDown() override {
    vl_engine_free(e_);
    fs::remove_all(dir_);
  }
  // A fresh log at the store path attached to the engine, as save leaves it.
  vl_wal* attach(std::uint64_t generation = 7) {
    vl_wal* w = wal_new(e_, store_.c_str(), generation);
    EXPECT_NE(w, nullptr);
    EXPECT_EQ(wal_write_header(w->wal_path, generation), 0);
    EXPECT_EQ(wal_open_append(w), 0);
    vl_engine__set_wal(e_, w);
    return w;
  }
  // Replaces the log file's content with a bare header, ignoring the
  // writer lock, as a process that does not take it would.
  void clobber(std::uint64_t generation) {
    std::uint8_t h[32];
    velta::persist::wal_encode_header(h, generation);
    std::ofstream(log_, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char*>(h), sizeof h);
  }
  // Bytes the log gained since `mark` bytes.
  Bytes since(std::size_t mark) { return slurp(log_).substr(mark); }

  std::string dir_, store_, log_;
  vl_engine* e_ = nullptr;
};

TEST_F(WalTest, FreshHeaderBytes) {
  const std::uint64_t gen = 0x0102030405060708ull;
  vl_wal* w = attach(gen);
  EXPECT_EQ(std::string(w->wal_path), store_ + ".wal");
  EXPECT_EQ(std::string(w->store_path), store_);
  const Bytes head = Bytes("VELTAwal") + u32(3) + u32(0) + u64(gen);
  EXPECT_EQ(slurp(log_), head + u32(crc(head)) + u32(0));
  EXPECT_EQ(vl_wal_active(e_), 1);
  EXPECT_EQ(vl_wal_ok(e_), 1);
  EXPECT_EQ(vl_wal_records(e_), 0u);
}

// The two records whose bytes are fixed by the format's own examples.
TEST_F(WalTest, DeleteAndCreateRecordBytes) {
  ASSERT_NE(vl_create(e_, "a", "x", 1), nullptr);
  vl_wal* w = attach();
  (void)w;
  std::size_t mark = slurp(log_).size();
  ASSERT_EQ(vl_delete(e_, "a"), 0);
  const Bytes del = since(mark);
  ASSERT_EQ(del.size(), 11u);
  EXPECT_EQ(del, u32(3) + u32(crc("\x03\x01\x61")) + "\x03\x01\x61");

  mark = slurp(log_).size();
  ASSERT_NE(vl_create(e_, "ab", "xyz", 3), nullptr);
  const Bytes cr = since(mark);
  ASSERT_EQ(cr.size(), 23u);
  EXPECT_EQ(cr, framed(Bytes("\x01\x02"
                             "ab",
                             4) +
                       u64(3) + "xyz"));
  EXPECT_EQ(vl_wal_records(e_), 2u);
  EXPECT_EQ(vl_wal_bytes(e_), 11u + 23u);
}

TEST_F(WalTest, EveryKindIsLaidOutInFieldOrder) {
  vl_object* o = vl_create(e_, "doc", "hello world", 11);
  ASSERT_NE(o, nullptr);
  attach();
  std::size_t mark = slurp(log_).size();
  ASSERT_EQ(vl_update(e_, o, 6, 5, "there", 5), 0);
  EXPECT_EQ(since(mark), framed(Bytes("\x02\x03"
                                      "doc") +
                                u64(6) + u64(5) + u64(5) + "there"));

  // A pure deletion and an empty create log n = 0 and no bytes.
  mark = slurp(log_).size();
  ASSERT_EQ(vl_update(e_, o, 0, 1, nullptr, 5), 0);
  ASSERT_NE(vl_create(e_, "e", nullptr, 0), nullptr);
  EXPECT_EQ(since(mark), framed(Bytes("\x02\x03"
                                      "doc") +
                                u64(0) + u64(1) + u64(0)) +
                             framed(Bytes("\x01\x01"
                                          "e") +
                                    u64(0)));

  // The hooks of the structural edits.
  mark = slurp(log_).size();
  vl_wal__graft(e_, "dst", 1, "src", 2, 3);
  vl_wal__cut(e_, "doc", 4, 5);
  vl_wal__trim(e_, "doc", 6);
  EXPECT_EQ(since(mark), framed(Bytes("\x04\x03"
                                      "dst\x03"
                                      "src") +
                                u64(1) + u64(2) + u64(3)) +
                             framed(Bytes("\x05\x03"
                                          "doc") +
                                    u64(4) + u64(5)) +
                             framed(Bytes("\x06\x03"
                                          "doc") +
                                    u32(6)));

  // A 70-byte name is logged as its first 63 bytes.
  const std::string long_name(70, 'L');
  mark = slurp(log_).size();
  ASSERT_NE(vl_create(e_, long_name.c_str(), "", 0), nullptr);
  EXPECT_EQ(since(mark), framed(Bytes("\x01\x3f") + long_name.substr(0, 63) + u64(0)));
}

TEST_F(WalTest, RefusedAndReplayedEditsLogNothing) {
  vl_object* o = vl_create(e_, "doc", "abc", 3);
  vl_wal* w = attach();
  const Bytes before = slurp(log_);
  EXPECT_EQ(vl_update(e_, o, 4, 0, "x", 1), -1);
  EXPECT_EQ(vl_update(e_, o, UINT64_MAX, 0, "x", 1), -1);
  EXPECT_EQ(vl_delete(e_, "missing"), -1);
  w->replaying = 1;
  ASSERT_EQ(vl_update(e_, o, 0, 0, "x", 1), 0);
  ASSERT_NE(vl_create(e_, "r", "r", 1), nullptr);
  w->replaying = 0;
  EXPECT_EQ(slurp(log_), before);
  EXPECT_EQ(vl_wal_records(e_), 0u);
  vl_engine* bare = vl_engine_new();
  EXPECT_EQ(vl_wal_set_sync(bare, 1), -1);  // no log
  vl_engine_free(bare);
}

TEST_F(WalTest, SyncSwitchReturnsThePreviousValue) {
  attach();
  EXPECT_EQ(vl_wal_set_sync(e_, 0), 1);
  EXPECT_EQ(vl_wal_set_sync(e_, 0), 0);
  ASSERT_NE(vl_create(e_, "n", "unsynced", 8), nullptr);
  EXPECT_EQ(vl_wal_records(e_), 1u);  // still flushed to the file
  EXPECT_EQ(slurp(log_).size(), 32u + 8 + 1 + 2 + 8 + 8);
  EXPECT_EQ(vl_wal_set_sync(e_, 5), 0);
  EXPECT_EQ(vl_wal_set_sync(e_, 1), 1);
}

// Another process restarts the log at the next generation (same path,
// truncated to a fresh header). Our records must not land in its log.
TEST_F(WalTest, RestartedLogUnderUsIsNotWrittenTo) {
  vl_object* o = vl_create(e_, "doc", "abc", 3);
  EXPECT_EQ(attach(7)->locked, 1);  // appends look only at the file's size
  ASSERT_EQ(vl_update(e_, o, 3, 0, "d", 1), 0);
  ASSERT_EQ(vl_wal_records(e_), 1u);
  EXPECT_EQ(wal_write_header(log_.c_str(), 8), -1);  // we hold the writer lock
  clobber(8);
  const Bytes theirs = slurp(log_);
  ASSERT_EQ(theirs.size(), 32u);

  ASSERT_EQ(vl_update(e_, o, 4, 0, "e", 1), 0);  // the edit itself goes ahead
  EXPECT_EQ(slurp(log_), theirs);
  EXPECT_EQ(vl_wal_active(e_), 1);
  EXPECT_EQ(vl_wal_ok(e_), 0);
  EXPECT_EQ(vl_wal_records(e_), 1u);
  ASSERT_NE(vl_create(e_, "later", "x", 1), nullptr);
  EXPECT_EQ(slurp(log_), theirs);
  std::string text(5, '\0');
  EXPECT_EQ(vl_read(e_, o, 0, 5, text.data()), 5u);
  EXPECT_EQ(text, "abcde");
}

// The same generation rewritten (another opener found the log damaged and
// restarted it) shrinks the file below what we wrote.
TEST_F(WalTest, LogCutBelowOurRecordsIsNotWrittenTo) {
  vl_object* o = vl_create(e_, "doc", "abc", 3);
  attach(7);
  ASSERT_EQ(vl_update(e_, o, 0, 1, nullptr, 0), 0);
  clobber(7);
  ASSERT_EQ(vl_update(e_, o, 0, 1, nullptr, 0), 0);
  EXPECT_EQ(slurp(log_).size(), 32u);
  EXPECT_EQ(vl_wal_ok(e_), 0);
}

// A stream opened write-only, as an opener may do, is still checked; it
// holds no writer lock, so header and all.
TEST_F(WalTest, WriteOnlyStreamIsCheckedToo) {
  vl_object* o = vl_create(e_, "doc", "abc", 3);
  vl_wal* w = wal_new(e_, store_.c_str(), 3);
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(wal_write_header(w->wal_path, 3), 0);
  w->file = std::fopen(w->wal_path, "ab");
  ASSERT_NE(w->file, nullptr);
  vl_engine__set_wal(e_, w);
  ASSERT_EQ(vl_update(e_, o, 0, 0, "z", 1), 0);
  EXPECT_EQ(vl_wal_records(e_), 1u);
  ASSERT_EQ(wal_write_header(log_.c_str(), 4), 0);
  ASSERT_EQ(vl_update(e_, o, 0, 0, "y", 1), 0);
  EXPECT_EQ(slurp(log_).size(), 32u);
  EXPECT_EQ(vl_wal_ok(e_), 0);
}

TEST_F(WalTest, HeaderCheckAndWriteFailures) {
  std::uint8_t h[32];
  velta::persist::wal_encode_header(h, 9);
  EXPECT_EQ(wal_header_matches(h, 32, 9), 1);
  EXPECT_EQ(wal_header_matches(h, 32, 8), 0);
  EXPECT_EQ(wal_header_matches(h, 31, 9), 0);
  h[12] = 0x55;  // reserved: inside the CRC, so a changed value fails it
  EXPECT_EQ(wal_header_matches(h, 32, 9), 0);
  velta::persist::wal_encode_header(h, 9);
  h[29] = 0x55;  // padding: outside the CRC, ignored
  EXPECT_EQ(wal_header_matches(h, 32, 9), 1);
  for (const int at : {0, 8, 16, 24}) {
    velta::persist::wal_encode_header(h, 9);
    h[at] ^= 1;
    EXPECT_EQ(wal_header_matches(h, 32, 9), 0) << "byte " << at;
  }
  EXPECT_EQ(wal_write_header((dir_ + "/no/such/dir/x.wal").c_str(), 1), -1);
  EXPECT_EQ(wal_write_header(nullptr, 1), -1);
  EXPECT_EQ(wal_new(e_, nullptr, 1), nullptr);
}

// An open restarting a stale log must not truncate one that a commit has
// meanwhile restarted for the same snapshot and appended to.
TEST_F(WalTest, RestartKeepsALogAlreadyCurrentForItsGeneration) {
  attach(7);
  ASSERT_NE(vl_create(e_, "a", "xyz", 3), nullptr);
  const Bytes before = slurp(log_);
  ASSERT_GT(before.size(), 32u);
  errno = 0;
  EXPECT_EQ(velta::persist::wal_restart(log_.c_str(), 7, true), -1);  // attached writer
  EXPECT_EQ(errno, EWOULDBLOCK);
  vl_wal__destroy(vl_engine__wal(e_));
  vl_engine__set_wal(e_, nullptr);
  EXPECT_EQ(velta::persist::wal_restart(log_.c_str(), 7, true), 1);
  EXPECT_EQ(slurp(log_), before);
  EXPECT_EQ(velta::persist::wal_restart(log_.c_str(), 8, true), 0);
  EXPECT_EQ(slurp(log_).size(), 32u);
  EXPECT_EQ(velta::persist::wal_restart(log_.c_str(), 8, false), 0);
  EXPECT_EQ(slurp(log_).size(), 32u);
}

// Failing the 1st, 2nd, ... allocation of an edit: each failed call reports
// ENOMEM and leaves the versions, the table and the log as they were; the
// retry that finally succeeds gives the right text.
TEST_F(WalTest, AllocationFailureChangesNothing) {
  vl_object* o = vl_create(e_, "doc", "alpha beta gamma", 16);
  attach();
  ASSERT_EQ(vl_update(e_, o, 0, 0, "w", 1), 0);  // warms the record buffer
  Bytes log_before = slurp(log_);
  const std::uint32_t versions = o->n_versions();
  int failures = 0;
  std::uint64_t entry_records = 0;
  // A failed edit may have learned its text; only an entries record of
  // those ids may follow, so replay gives the same ids.
  auto only_entries_added = [&] {
    const Bytes added = slurp(log_).substr(log_before.size());
    if (added.empty()) return true;
    log_before += added;
    ++entry_records;
    return added.size() > 8 && added[8] == 8 && framed(added.substr(8)) == added;
  };
  for (long n = 0;; ++n) {
    errno = 0;
    int rc;
    bool fired;
    {
      HeapFailure fail(n);
      rc = vl_update(e_, o, 7, 4, "BETA!", 5);
      fired = fail.fired();
    }
    if (rc == 0) break;
    ASSERT_TRUE(fired);
    ASSERT_EQ(rc, -1);
    EXPECT_EQ(errno, ENOMEM);
    ASSERT_EQ(o->n_versions(), versions);
    ASSERT_TRUE(only_entries_added());
    ++failures;
  }
  EXPECT_GT(failures, 0);
  EXPECT_EQ(vl_wal_ok(e_), 1);
  std::string text(o->current().bytes, '\0');
  vl_read(e_, o, 0, text.size(), text.data());
  EXPECT_EQ(text, "walpha BETA! gamma");

  const std::uint32_t objects = vl_engine_objects(e_);
  log_before = slurp(log_);
  for (long n = 0;; ++n) {
    vl_object* c;
    {
      HeapFailure fail(n);
      c = vl_create(e_, "new", "fresh words here", 16);
    }
    if (c != nullptr) break;
    ASSERT_EQ(vl_engine_objects(e_), objects);
    ASSERT_EQ(vl_object_open(e_, "new"), nullptr);
    ASSERT_TRUE(only_entries_added());
  }
  EXPECT_EQ(vl_engine_objects(e_), objects + 1);
  EXPECT_GT(entry_records, 0u);
  EXPECT_EQ(vl_wal_records(e_), 3u + entry_records);
}

}  // namespace
