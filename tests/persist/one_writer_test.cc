// Several engines and processes on one store: a read-only open changes no
// file; a log has one writer; commits never drop acknowledged edits. The
// multi-process cases run real processes against a model of what each
// acknowledged.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "durability_fixture.h"
#include "velta.h"

namespace velta::testing {
namespace {

// Every file in the directory with its bytes and modification time (ns).
std::map<std::string, std::pair<std::string, long long>> dir_picture(const std::string& dir) {
  std::map<std::string, std::pair<std::string, long long>> files;
  for (const auto& entry : std::filesystem::directory_iterator(dir)) {
    struct stat st;
    const std::string p = entry.path().string();
    EXPECT_EQ(::stat(p.c_str(), &st), 0);
    files[p] = {read_file(p), st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec};
  }
  return files;
}

void append(vl_engine* e, const std::string& text) {
  vl_object* doc = vl_object_open(e, "doc");
  ASSERT_NE(doc, nullptr);
  ASSERT_EQ(vl_update(e, doc, vl_object_bytes(doc, UINT32_MAX), 0, text.data(), text.size()), 0);
}

class OneWriter : public ScratchDir {
 protected:
  void SetUp() override {
    ScratchDir::SetUp();
    EngineHolder e(vl_engine_new());
    ASSERT_NE(vl_create(e.get(), "doc", "start;", 6), nullptr);
    ASSERT_EQ(vl_commit(e.get(), store().c_str(), 0), 0);
  }
  std::string doc() {
    EngineHolder e(vl_open_ex(store().c_str(), VL_OPEN_READONLY));
    EXPECT_NE(e, nullptr);
    return e ? text_of(e.get(), vl_object_open(e.get(), "doc")) : "";
  }
};

// A read-only open replays but writes, cuts, creates and locks nothing, on
// a clean log, a log with a damaged record in its middle, and no log; and
// it refuses to save or commit over its store.
TEST_F(OneWriter, ReadOnlyOpenChangesNoFile) {
  {
    EngineHolder w(vl_open(store().c_str()));
    append(w.get(), "one;");
    append(w.get(), "two;");
    append(w.get(), "three;");
  }
  const std::string clean = read_file(wal());
  std::string damaged = clean;
  damaged[damaged.size() - 60] ^= 4;  // inside the second of three records
  for (const std::string& log : {clean, damaged, std::string()}) {
    if (log.empty()) {
      std::filesystem::remove(wal());
    } else {
      write_file(wal(), log);
    }
    const auto before = dir_picture(dir_);
    {
      EngineHolder r(vl_open_ex(store().c_str(), VL_OPEN_READONLY));
      ASSERT_NE(r, nullptr);
      const std::string text = text_of(r.get(), vl_object_open(r.get(), "doc"));
      EXPECT_EQ(text, log == clean     ? "start;one;two;three;"
                      : log == damaged ? "start;one;"
                                       : "start;");
      EXPECT_EQ(vl_wal_active(r.get()), 0);
      append(r.get(), "mem;");  // edits stay in memory
      errno = 0;
      EXPECT_EQ(vl_save(r.get(), store().c_str()), -1);
      EXPECT_EQ(errno, EROFS);
      errno = 0;
      EXPECT_EQ(vl_commit(r.get(), store().c_str(), vl_engine_generation(r.get())), -1);
      EXPECT_EQ(errno, EROFS);
    }
    EXPECT_EQ(dir_picture(dir_), before);
  }
  EXPECT_EQ(vl_open_ex(store().c_str(), 2u), nullptr);
  EXPECT_EQ(errno, EINVAL);
}

// A writer (sync on) appends records, some over 4 KiB (several writes
// each), while another process keeps opening the store read-write and
// read-only. Every acknowledged edit survives, and nothing else appears.
TEST_F(OneWriter, WriterBesideALoopingViewerLosesNothing) {
  // The writer attaches first; the viewer's read-write opens then find the
  // log taken and replay it in memory.
  EngineHolder w(vl_open(store().c_str()));
  ASSERT_NE(w, nullptr);
  ASSERT_EQ(vl_wal_ok(w.get()), 1);
  const pid_t viewer = fork();
  ASSERT_GE(viewer, 0);
  for (unsigned i = 0; viewer == 0; ++i) {
    vl_close(vl_open_ex(store().c_str(), i % 2 ? VL_OPEN_READONLY : 0));
  }
  std::string model = "start;";
  for (int i = 0; i < 60; ++i) {
    const std::string edit = std::to_string(i) + std::string(i % 3 == 0 ? 6000 : 10, 'x') + ";";
    append(w.get(), edit);
    ASSERT_EQ(vl_wal_ok(w.get()), 1) << "edit " << i;
    model += edit;
  }
  kill(viewer, SIGKILL);
  ASSERT_EQ(waitpid(viewer, nullptr, 0), viewer);
  w.reset();  // dropped without a save, as by a crash
  EXPECT_EQ(doc(), model);
}

// Two processes race edits and commits on one store, reopening after a
// refused commit. An edit is acknowledged when it was logged (attached,
// log ok) or committed (commit 0); each process reports what it
// acknowledged. The final store must hold every acknowledged edit, in each
// process's order, and nothing that no process made.
TEST_F(OneWriter, RacingEditsAndCommitsKeepEveryAcknowledgedEdit) {
  int report[2];
  ASSERT_EQ(pipe(report), 0);
  pid_t kids[2];
  for (int k = 0; k < 2; ++k) {
    kids[k] = fork();
    ASSERT_GE(kids[k], 0);
    if (kids[k] != 0) continue;
    close(report[0]);
    std::srand(100 + k);
    std::vector<std::string> pending;  // made in memory, not yet acknowledged
    vl_engine* e = vl_open(store().c_str());
    for (int i = 0; i < 80 && e; ++i) {
      const std::string edit = "p" + std::to_string(k) + "." + std::to_string(i) + ";";
      vl_object* d = vl_object_open(e, "doc");
      if (vl_update(e, d, vl_object_bytes(d, UINT32_MAX), 0, edit.data(), edit.size()) != 0) {
        _exit(3);
      }
      auto ack = [&](const std::string& p) {
        (void)!write(report[1], (p + "\n").data(), p.size() + 1);
      };
      pending.push_back(edit);  // in memory beside the writer, unless logged
      if (vl_wal_ok(e)) ack(edit), pending.clear();
      if (std::rand() % 4 == 0) {
        const int rc = vl_commit(e, store().c_str(), vl_engine_generation(e));
        if (rc == 0) {
          for (const std::string& p : pending) ack(p);
          pending.clear();
        }
        if (rc != 0 || std::rand() % 3 == 0) {  // start over from the store
          vl_close(e);
          pending.clear();
          e = vl_open(store().c_str());
        }
      }
    }
    vl_close(e);
    _exit(e ? 0 : 4);
  }
  close(report[1]);
  std::string lines;
  char buf[4096];
  for (ssize_t n; (n = read(report[0], buf, sizeof buf)) > 0;) lines.append(buf, n);
  close(report[0]);
  for (pid_t kid : kids) {
    int status = 0;
    ASSERT_EQ(waitpid(kid, &status, 0), kid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << WEXITSTATUS(status);
  }
  std::istringstream text(doc());
  std::set<std::string> in_store;
  int last[2] = {-1, -1};
  std::string edit;
  ASSERT_TRUE(std::getline(text, edit, ';') && edit == "start");
  while (std::getline(text, edit, ';')) {
    int k = -1, i = -1;
    ASSERT_EQ(std::sscanf(edit.c_str(), "p%d.%d", &k, &i), 2) << "never made: " << edit;
    ASSERT_TRUE(k == 0 || k == 1) << edit;
    EXPECT_GT(i, last[k]) << "out of order or twice: " << edit;
    last[k] = i;
    in_store.insert(edit + ";");
  }
  std::istringstream acks(lines);
  std::size_t acknowledged = 0;
  for (; std::getline(acks, edit); ++acknowledged) {
    EXPECT_TRUE(in_store.count(edit)) << "acknowledged but lost: " << edit;
  }
  EXPECT_GT(acknowledged, 20u);
}

}  // namespace
}  // namespace velta::testing
