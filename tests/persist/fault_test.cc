// Faults and power cuts at every I/O call of save, commit, open and append.
// Each seed builds a store by random operations (sync on, every one
// acknowledged), then runs one target operation once per call it makes:
// with that call failing (EIO, ENOSPC), and with the power cut there. The
// operation is followed by one more edit. Reopening, without and after the
// power cut, must give the objects before the target or after it, never a
// mix, and must hold every change a call acknowledged (success with
// vl_wal_ok 1), checked against a plain model.
//
// `velta_fault_tests --stress[=SEEDS]` runs many more and longer seeds (make
// stress: 200).
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "persist/durability_fixture.h"
#include "persist/sim_io.h"
#include "util/holders.h"
#include "velta.h"

namespace velta::testing {
namespace {

int g_seeds = 4;  // --stress raises both
int g_prefix_ops = 12;

using Model = std::map<std::string, std::vector<std::string>>;  // name -> versions' texts
using Image = std::map<std::string, std::string>;               // file name -> bytes

Model model_of(vl_engine* e) {
  Model m;
  for (auto& o : picture(e)) m[o.name] = o.versions;
  return m;
}

// Names, version counts and text sizes: enough to tell models apart in a message.
std::string describe(const Model& m) {
  std::string s;
  for (const auto& [name, versions] : m) {
    s += name + "[" + std::to_string(versions.size()) + ":";
    for (const auto& v : versions) s += " " + std::to_string(v.size());
    s += "] ";
  }
  return s;
}

struct Rng {
  std::mt19937_64 g;
  std::uint64_t below(std::uint64_t n) { return n == 0 ? 0 : g() % n; }
};

// Mostly short texts; one in ten is a record of several KiB.
std::string random_text(Rng& r) {
  static const char* const kWords[] = {"alpha ", "beta ", "gamma\n", "delta ", "x", "  ", "é "};
  const std::uint64_t words = r.below(10) == 0 ? 800 + r.below(800) : 1 + r.below(20);
  std::string s;
  for (std::uint64_t i = 0; i < words; ++i) s += kWords[r.below(std::size(kWords))];
  return s;
}

// One random create, update or delete on engine and model; true when acknowledged.
bool random_edit(vl_engine* e, Model* m, Rng& r) {
  if (m->size() < 2 || r.below(4) == 0) {
    std::string name;
    do name = "o" + std::to_string(r.below(100));
    while (m->count(name));
    const std::string text = random_text(r);
    if (vl_create(e, name.c_str(), text.data(), text.size()) == nullptr) return false;
    (*m)[name] = {text};
    return vl_wal_ok(e) == 1;
  }
  auto it = std::next(m->begin(), static_cast<long>(r.below(m->size())));
  if (r.below(8) == 0) {
    if (vl_delete(e, it->first.c_str()) != 0) return false;
    m->erase(it);
    return vl_wal_ok(e) == 1;
  }
  const std::string cur = it->second.back();
  const std::uint64_t pos = r.below(cur.size() + 1);
  const std::uint64_t del = r.below(cur.size() - pos + 1);
  const std::string ins = random_text(r);
  vl_object* o = vl_object_open(e, it->first.c_str());
  if (vl_update(e, o, pos, del, ins.data(), ins.size()) != 0) return false;
  it->second.push_back(cur.substr(0, pos) + ins + cur.substr(pos + del));
  return vl_wal_ok(e) == 1;
}

enum class Target { kAppend, kSave, kCommit, kOpen };

class IoFaults : public ScratchDir, public ::testing::WithParamInterface<Target> {
 protected:
  // Random acknowledged operations from an empty store; the files left.
  Image build(Rng& r, Model* m) {
    EngineHolder e(vl_engine_new());
    EXPECT_EQ(vl_save(e.get(), store().c_str()), 0);
    for (int i = 0; i < g_prefix_ops; ++i) {
      const std::uint64_t op = r.below(10);
      if (op < 7) {
        EXPECT_TRUE(random_edit(e.get(), m, r));
      } else if (op == 7) {
        EXPECT_EQ(vl_save(e.get(), store().c_str()), 0);
      } else if (op == 8) {
        EXPECT_EQ(vl_commit(e.get(), store().c_str(), vl_engine_generation(e.get())), 0);
      } else {
        e.reset();  // first: an engine still attached would keep the log's writer lock
        e.reset(vl_open(store().c_str()));
        EXPECT_EQ(vl_wal_ok(e.get()), 1);
      }
      EXPECT_TRUE(model_of(e.get()) == *m) << describe(model_of(e.get())) << " vs " << describe(*m);
    }
    // Now and then a store without log file, so that opening creates one.
    const bool drop_log = r.below(3) == 0;
    if (drop_log) {
      EXPECT_EQ(vl_save(e.get(), store().c_str()), 0);
    }
    e.reset();
    if (drop_log) std::filesystem::remove(wal());
    Image img;
    for (const auto& f : std::filesystem::directory_iterator(dir_))
      img[f.path().filename().string()] = read_file(f.path().string());
    return img;
  }

  struct Expect {
    Model before, after, after_follow;
    bool acked = false, follow_acked = false;
  };

  void check(vl_engine* got, const Expect& x, const std::string& where) {
    ASSERT_NE(got, nullptr) << where;
    const Model m = model_of(got);
    const bool ok = x.follow_acked ? m == x.after_follow
                    : x.acked      ? m == x.after || m == x.after_follow
                                   : m == x.before || m == x.after || m == x.after_follow;
    EXPECT_TRUE(ok) << where << (x.acked ? " (acknowledged)" : "")
                    << (x.follow_acked ? " (follow-up acknowledged)" : "") << "\n got "
                    << describe(m) << "\n before " << describe(x.before) << "\n after "
                    << describe(x.after);
  }

  // One run of the target on a fresh copy of `img`; returns the calls it made.
  std::uint64_t run(const Image& img, const Model& before, std::uint64_t op_seed,
                    std::uint64_t fail_at, int err, std::uint64_t crash_at) {
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
    for (const auto& [name, bytes] : img) write_file(path(name), bytes);
    const std::string where = "target " + std::to_string(static_cast<int>(GetParam())) +
                              " fail_at " + std::to_string(fail_at) + " errno " +
                              std::to_string(err) + " crash_at " + std::to_string(crash_at);
    Expect x{before, before, {}};
    std::uint64_t calls = 0;
    {
      SimIo sim(dir_);
      EngineHolder e(GetParam() == Target::kOpen ? nullptr : vl_open(store().c_str()));
      Rng r{std::mt19937_64(op_seed)};
      sim.arm(fail_at, err, crash_at);
      switch (GetParam()) {
        case Target::kAppend:
          x.acked = random_edit(e.get(), &x.after, r);
          break;
        case Target::kSave:
          x.acked = vl_save(e.get(), store().c_str()) == 0;
          break;
        case Target::kCommit:
          x.acked = vl_commit(e.get(), store().c_str(), vl_engine_generation(e.get())) == 0;
          break;
        case Target::kOpen:
          e.reset(vl_open(store().c_str()));
          break;
      }
      calls = sim.calls();
      sim.disarm();
      x.after_follow = x.after;
      if (e) {
        const std::string text = random_text(r);
        x.after_follow["follow"] = {text};
        x.follow_acked = vl_create(e.get(), "follow", text.data(), text.size()) != nullptr &&
                         vl_wal_ok(e.get()) == 1;
        const Model held = model_of(e.get());
        EXPECT_TRUE(held == x.after_follow)
            << where << " in memory: " << describe(held) << " vs " << describe(x.after_follow);
      }
      e.reset();
      if (!sim.down()) {
        EngineHolder live(vl_open_ex(store().c_str(), VL_OPEN_READONLY));
        check(live.get(), x, where + " live");
      }
      sim.power_cut();
    }
    // A commit cut off by the power leaves its lock file behind, like a
    // holder that died.
    if (exists(lock())) {
      EXPECT_EQ(vl_lock_break(store().c_str()), 0);
    }
    EngineHolder back(vl_open(store().c_str()));
    check(back.get(), x, where + " power cut");
    if (back) {
      EXPECT_EQ(vl_wal_ok(back.get()), 1) << where;
      EXPECT_EQ(vl_commit(back.get(), store().c_str(), vl_engine_generation(back.get())), 0)
          << where;
    }
    return calls;
  }
};

TEST_P(IoFaults, EveryCallFailsOrCutsThePowerWithoutLosingAcknowledgedChanges) {
  for (int seed = 1; seed <= g_seeds; ++seed) {
    Rng r{std::mt19937_64(static_cast<std::uint64_t>(seed))};
    Model before;
    const Image img = build(r, &before);
    ASSERT_FALSE(HasFailure()) << "seed " << seed;
    const std::uint64_t op_seed = r.g();
    const std::uint64_t calls = run(img, before, op_seed, 0, 0, 0);
    ASSERT_GT(calls, 0u);
    for (std::uint64_t n = 1; n <= calls + 1 && !HasFailure(); ++n) {
      SCOPED_TRACE("seed " + std::to_string(seed));
      for (int err : {EIO, ENOSPC}) run(img, before, op_seed, n, err, 0);
      run(img, before, op_seed, 0, 0, n);
    }
  }
}

std::string target_name(const ::testing::TestParamInfo<Target>& p) {
  static const char* const kNames[] = {"Append", "Save", "Commit", "Open"};
  return kNames[static_cast<int>(p.param)];
}

INSTANTIATE_TEST_SUITE_P(Targets, IoFaults,
                         ::testing::Values(Target::kAppend, Target::kSave, Target::kCommit,
                                           Target::kOpen),
                         target_name);

}  // namespace
}  // namespace velta::testing

int main(int argc, char** argv) {
  ::testing::InitGoogleTest(&argc, argv);
  for (int i = 1; i < argc; ++i) {
    // --stress, or --stress=SEEDS: more and longer random stores.
    if (std::strncmp(argv[i], "--stress", 8) == 0) {
      velta::testing::g_seeds = argv[i][8] == '=' ? std::atoi(argv[i] + 9) : 200;
      velta::testing::g_prefix_ops = 40;
    }
  }
  return RUN_ALL_TESTS();
}
