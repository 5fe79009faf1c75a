// Two engines on one store: the first attaches the log as its writer, the
// second works in memory beside it. Nothing the second does may reach the
// store, through the log or through a commit over the first's changes.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "durability_fixture.h"
#include "velta.h"

namespace velta::testing {
namespace {

class StaleLog : public ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    EngineHolder e(vl_engine_new());
    ASSERT_NE(vl_create(e.get(), "doc", "shared start", 12), nullptr);
    ASSERT_EQ(vl_commit(e.get(), store().c_str(), 0), 0);
  }

  static void append(vl_engine* e, const std::string& text) {
    vl_object* doc = vl_object_open(e, "doc");
    ASSERT_EQ(vl_update(e, doc, vl_object_bytes(doc, UINT32_MAX), 0, text.data(), text.size()), 0);
  }
};

TEST_F(StaleLog, LosingEngineReachesNothingOfTheWinnersStore) {
  EngineHolder a(vl_open(store().c_str()));
  EngineHolder b(vl_open(store().c_str()));
  ASSERT_TRUE(a && b);
  EXPECT_EQ(vl_wal_active(b.get()), 0);  // a is the writer
  append(b.get(), " B1");                // in b's memory only
  append(a.get(), " A1");
  EXPECT_EQ(vl_commit(b.get(), store().c_str(), 1), -3);  // would drop " A1"
  ASSERT_EQ(vl_commit(a.get(), store().c_str(), 1), 0);
  ASSERT_EQ(file_size(wal()), 32u);

  append(b.get(), " B2");
  EXPECT_EQ(vl_wal_ok(b.get()), 0);
  EXPECT_EQ(file_size(wal()), 32u);

  append(a.get(), " A2");
  append(b.get(), " B3");
  EXPECT_EQ(vl_wal_ok(a.get()), 1);
  EXPECT_EQ(vl_wal_records(a.get()), 1u);

  const EnginePicture winner = picture(a.get());
  EngineHolder c(vl_open(store().c_str()));
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(picture(c.get()), winner);
  EXPECT_EQ(text_of(c.get(), vl_object_open(c.get(), "doc")), "shared start A1 A2");
  EXPECT_EQ(vl_wal_replayed(c.get()), 1u);

  EXPECT_EQ(vl_engine_generation(b.get()), 1u);
  EXPECT_EQ(vl_commit(b.get(), store().c_str(), vl_engine_generation(b.get())), -2);
  EngineHolder d(vl_open(store().c_str()));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(picture(d.get()), winner);
}

TEST_F(StaleLog, LoserStaysOutAfterLaterCommitsAndOpens) {
  EngineHolder b;
  {
    EngineHolder a(vl_open(store().c_str()));
    ASSERT_NE(a, nullptr);
    b.reset(vl_open(store().c_str()));
    ASSERT_NE(b, nullptr);
    append(a.get(), " A1");
    ASSERT_EQ(vl_commit(a.get(), store().c_str(), 1), 0);
    append(a.get(), " A2");
    ASSERT_EQ(vl_commit(a.get(), store().c_str(), 2), 0);
  }
  // A third engine opens generation 3 and logs into it; the loser, still at
  // generation 1, must not slip its records in between.
  EngineHolder c(vl_open(store().c_str()));
  ASSERT_NE(c, nullptr);
  append(c.get(), " C1");
  append(b.get(), " B1");
  append(c.get(), " C2");
  EXPECT_EQ(vl_wal_ok(b.get()), 0);
  EXPECT_EQ(vl_wal_ok(c.get()), 1);

  EngineHolder d(vl_open(store().c_str()));
  ASSERT_NE(d, nullptr);
  EXPECT_EQ(text_of(d.get(), vl_object_open(d.get(), "doc")), "shared start A1 A2 C1 C2");
  EXPECT_EQ(vl_commit(b.get(), store().c_str(), 1), -2);
}

TEST_F(StaleLog, OpenersNeverClobberALogStartedByACommit) {
  // One process keeps opening the store while this one edits, commits and
  // edits again. An opener that loaded the snapshot just before a commit
  // sees a log of the next generation; restarting it at its own, older
  // generation would throw away the committer's newest, already synced
  // records and fail its log.
  pid_t opener = fork();
  ASSERT_GE(opener, 0);
  if (opener == 0) {
    for (int i = 0; i < 400; ++i) vl_close(vl_open(store().c_str()));
    _exit(0);
  }
  EngineHolder a(vl_open(store().c_str()));
  ASSERT_NE(a, nullptr);
  bool log_ok = true;
  int status = 0;
  for (int round = 0; waitpid(opener, &status, WNOHANG) == 0 && round < 400; ++round) {
    append(a.get(), " c" + std::to_string(round));
    ASSERT_EQ(vl_commit(a.get(), store().c_str(), vl_engine_generation(a.get())), 0);
    append(a.get(), " p" + std::to_string(round));
    log_ok = log_ok && vl_wal_ok(a.get()) == 1;
  }
  if (waitpid(opener, &status, 0) == opener) {
    EXPECT_TRUE(WIFEXITED(status));
  }
  EXPECT_TRUE(log_ok) << "an opener restarted the committer's log";
  const EnginePicture expected = picture(a.get());
  a.reset();
  EngineHolder b(vl_open(store().c_str()));
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(picture(b.get()), expected);
}

}  // namespace
}  // namespace velta::testing
