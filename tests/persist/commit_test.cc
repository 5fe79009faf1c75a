// Commit under the lock file, generations, and the lock-file calls.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include "durability_fixture.h"
#include "velta.h"

namespace velta::testing {
namespace {

class Commit : public ScratchDir {
 protected:
  // Brings the store at store() to generation `gen` with one object "doc".
  void make_store_at(std::uint64_t gen) {
    EngineHolder e(vl_engine_new());
    ASSERT_NE(vl_create(e.get(), "doc", "base text", 9), nullptr);
    ASSERT_EQ(vl_commit(e.get(), store().c_str(), 0), 0);
    while (vl_engine_generation(e.get()) < gen) {
      ASSERT_EQ(vl_commit(e.get(), store().c_str(), vl_engine_generation(e.get())), 0);
    }
    ASSERT_EQ(vl_store_generation(store().c_str()), gen);
  }

  std::string doc_text(vl_engine* e) { return text_of(e, vl_object_open(e, "doc")); }
};

TEST_F(Commit, FirstCommitOfAMemoryEngineCreatesTheStore) {
  EngineHolder e(vl_engine_new());
  EXPECT_EQ(vl_engine_generation(e.get()), 0u);
  ASSERT_NE(vl_create(e.get(), "a", "hello", 5), nullptr);
  ASSERT_EQ(vl_commit(e.get(), store().c_str(), 0), 0);

  EXPECT_EQ(vl_store_generation(store().c_str()), 1u);
  EXPECT_EQ(vl_engine_generation(e.get()), 1u);
  const std::string log = read_file(wal());
  ASSERT_EQ(log.size(), 32u);
  EXPECT_EQ(log.substr(0, 8), "VELTAwal");
  EXPECT_EQ(static_cast<unsigned char>(log[16]), 1u);
  EXPECT_FALSE(exists(lock()));
  EXPECT_EQ(vl_lock_held(store().c_str()), 0);
}

TEST_F(Commit, SecondCommitFromTheSameGenerationConflicts) {
  make_store_at(5);
  EngineHolder a(vl_open(store().c_str()));
  EngineHolder b(vl_open(store().c_str()));
  ASSERT_TRUE(a && b);
  ASSERT_EQ(vl_engine_generation(a.get()), 5u);
  ASSERT_EQ(vl_update(a.get(), vl_object_open(a.get(), "doc"), 0, 4, "A's", 3), 0);
  ASSERT_EQ(vl_update(b.get(), vl_object_open(b.get(), "doc"), 0, 4, "B's", 3), 0);

  EXPECT_EQ(vl_commit(a.get(), store().c_str(), 5), 0);
  EXPECT_EQ(vl_store_generation(store().c_str()), 6u);
  EXPECT_EQ(vl_commit(b.get(), store().c_str(), 5), -2);
  EXPECT_EQ(vl_store_generation(store().c_str()), 6u);
  EXPECT_FALSE(exists(lock()));

  EngineHolder c(vl_open(store().c_str()));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(doc_text(c.get()), "A's text");
}

TEST_F(Commit, HeldLockGivesMinus3UntilBroken) {
  make_store_at(1);
  EngineHolder e(vl_open(store().c_str()));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(vl_lock_held(store().c_str()), 0);
  errno = 0;
  EXPECT_EQ(vl_lock_break(store().c_str()), -1);
  EXPECT_EQ(errno, ENOENT);

  write_file(lock(), "12345\n");  // a holder that died
  EXPECT_EQ(vl_lock_held(store().c_str()), 1);
  EXPECT_EQ(vl_commit(e.get(), store().c_str(), 1), -3);
  EXPECT_EQ(read_file(lock()), "12345\n");  // somebody else's lock is left alone
  EXPECT_EQ(vl_store_generation(store().c_str()), 1u);

  EXPECT_EQ(vl_lock_break(store().c_str()), 0);
  EXPECT_EQ(vl_lock_held(store().c_str()), 0);
  EXPECT_EQ(vl_commit(e.get(), store().c_str(), 1), 0);
  EXPECT_FALSE(exists(lock()));
  EXPECT_EQ(vl_store_generation(store().c_str()), 2u);
}

TEST_F(Commit, StoreGenerationOfFilesThatAreNotSnapshots) {
  EXPECT_EQ(vl_store_generation(path("missing").c_str()), 0u);
  EXPECT_EQ(vl_store_generation(nullptr), 0u);
  make_store_at(3);
  const std::string snap = read_file(store());
  write_file(path("short"), snap.substr(0, 63));
  EXPECT_EQ(vl_store_generation(path("short").c_str()), 0u);
  std::string other = snap;
  other[0] = 'X';
  write_file(path("other"), other);
  EXPECT_EQ(vl_store_generation(path("other").c_str()), 0u);
  // Neither the header CRC nor the version is looked at.
  std::string odd = snap;
  odd[8] = 9;
  write_file(path("odd"), odd);
  EXPECT_EQ(vl_store_generation(path("odd").c_str()), 3u);
}

TEST_F(Commit, EngineWithoutLogConflictsWithAnExistingStore) {
  make_store_at(2);
  EngineHolder mem(vl_engine_new());
  EXPECT_EQ(vl_commit(mem.get(), store().c_str(), vl_engine_generation(mem.get())), -2);

  // A log path that cannot be a file leaves the opened engine without log.
  std::filesystem::remove(wal());
  std::filesystem::create_directory(wal());
  EngineHolder e(vl_open(store().c_str()));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(vl_wal_active(e.get()), 0);
  EXPECT_EQ(vl_engine_generation(e.get()), 0u);
  EXPECT_EQ(vl_commit(e.get(), store().c_str(), vl_engine_generation(e.get())), -2);
  EXPECT_FALSE(exists(lock()));
}

TEST_F(Commit, GenerationNeverMovesBackward) {
  // Forcing a commit from an engine of a lower generation (by naming the
  // disk's generation) must still advance the store, so that an engine
  // that opened the store before cannot commit over this change.
  make_store_at(4);
  // Opened beside a writer, so it holds no lock once the writer is gone.
  EngineHolder writer(vl_open(store().c_str()));
  EngineHolder stale(vl_open(store().c_str()));
  ASSERT_NE(stale, nullptr);
  writer.reset();

  EngineHolder mem(vl_engine_new());
  ASSERT_NE(vl_create(mem.get(), "doc", "replaced", 8), nullptr);
  ASSERT_EQ(vl_commit(mem.get(), store().c_str(), 4), 0);
  EXPECT_EQ(vl_store_generation(store().c_str()), 5u);
  EXPECT_EQ(vl_engine_generation(mem.get()), 5u);

  ASSERT_EQ(vl_commit(mem.get(), store().c_str(), 5), 0);  // 6
  mem.reset();  // the log's writer since its first commit
  EngineHolder low(vl_open(store().c_str()));
  ASSERT_NE(low, nullptr);
  ASSERT_EQ(vl_commit(low.get(), store().c_str(), 6), 0);  // 7, from an opened engine
  low.reset();
  EngineHolder older(vl_engine_new());
  ASSERT_EQ(vl_save(older.get(), path("elsewhere.vlt").c_str()), 0);  // generation 1
  ASSERT_EQ(vl_commit(older.get(), store().c_str(), 7), 0);
  EXPECT_EQ(vl_store_generation(store().c_str()), 8u);

  EXPECT_EQ(vl_commit(stale.get(), store().c_str(), 4), -2);
}

TEST_F(Commit, SaveFailureGivesMinus1AndReleasesTheLock) {
  // A directory where the snapshot should be: the lock is taken, the
  // generation reads 0, and the save's rename fails.
  std::filesystem::create_directory(store());
  EngineHolder e(vl_engine_new());
  errno = 0;
  EXPECT_EQ(vl_commit(e.get(), store().c_str(), 0), -1);
  EXPECT_NE(errno, 0);
  EXPECT_FALSE(exists(lock()));
  EXPECT_EQ(vl_commit(nullptr, store().c_str(), 0), -1);
  EXPECT_EQ(vl_commit(e.get(), nullptr, 0), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Commit, TwoProcessesRacingFromOneGenerationHaveOneWinner) {
  make_store_at(3);
  int go[2];
  ASSERT_EQ(pipe(go), 0);
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    kids[k] = fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] == 0) {
      vl_engine* e = vl_open(store().c_str());
      if (!e) _exit(10);
      std::string mine = "child " + std::to_string(k);
      vl_update(e, vl_object_open(e, "doc"), 0, 4, mine.data(), mine.size());
      char c;
      if (read(go[0], &c, 1) != 1) _exit(11);
      int rc = vl_commit(e, store().c_str(), 3);
      vl_close(e);
      // -3: the other child is attached as the log's writer.
      _exit(rc == 0 ? 0 : rc == -2 ? 2 : rc == -3 ? 3 : 12);
    }
  }
  close(go[0]);
  ASSERT_EQ(write(go[1], "xx", 2), 2);  // both commits start together
  close(go[1]);
  int outcomes[4] = {0, 0, 0, 0};
  for (pid_t kid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(kid, &status, 0), kid);
    ASSERT_TRUE(WIFEXITED(status));
    int code = WEXITSTATUS(status);
    ASSERT_TRUE(code == 0 || code == 2 || code == 3) << "child exit " << code;
    outcomes[code]++;
  }
  EXPECT_EQ(outcomes[0], 1);
  EXPECT_EQ(outcomes[2] + outcomes[3], 1);
  EXPECT_EQ(vl_store_generation(store().c_str()), 4u);
  EXPECT_FALSE(exists(lock()));
  EngineHolder e(vl_open(store().c_str()));
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(doc_text(e.get()).substr(0, 6), "child ");
}

}  // namespace
}  // namespace velta::testing
