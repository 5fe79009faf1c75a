// Export, restore and entry installation.
#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "dict/dict.h"
#include "dict_test_util.h"

namespace velta::dict::test {
namespace {

struct Exported {
  std::string blob;
  std::vector<std::uint32_t> offs, lens;
};

Exported export_of(const vl_dict* d) {
  Exported e;
  std::uint64_t n = 0;
  const std::uint8_t* t = vl_dict__texts(d, &n);
  e.blob.assign(reinterpret_cast<const char*>(t), n);
  const std::uint32_t count = vl_dict__entries(d);
  e.offs.assign(vl_dict__offs(d), vl_dict__offs(d) + count);
  e.lens.assign(vl_dict__lens(d), vl_dict__lens(d) + count);
  return e;
}

int restore_into(vl_dict* d, const Exported& e) {
  return vl_dict__restore(d, e.blob.data(), e.blob.size(), e.offs.data(), e.lens.data(),
                          static_cast<std::uint32_t>(e.offs.size()));
}

TEST(DictIo, ExportRestoreKeepsEveryIdAndLookup) {
  DictPtr src = new_dict();
  std::mt19937_64 rng(7);
  std::string text = license_text().substr(0, 100000) + random_words(rng, 2000);
  vl_dict_learn(src.get(), text.data(), text.size(), kLearnLimit);
  vl_net__install_entry(src.get(), vl_dict_size(src.get()) + 3, "phrase, two", 11);
  vl_net__install_entry(src.get(), vl_dict_size(src.get()) + 1, "the", 3);  // duplicate bytes
  EXPECT_EQ(vl_dict__serializable(src.get()), 1);
  const Exported e = export_of(src.get());

  DictPtr dst = new_dict();
  vl_dict_learn(dst.get(), "old content", 11, kLearnLimit);
  ASSERT_EQ(restore_into(dst.get(), e), 0);
  ASSERT_EQ(vl_dict_size(dst.get()), vl_dict_size(src.get()));
  for (std::uint32_t id = 1; id <= vl_dict_size(src.get()); ++id) {
    const std::string b = bytes_of(src.get(), id);
    ASSERT_EQ(bytes_of(dst.get(), id), b) << id;
    if (!b.empty()) {
      ASSERT_EQ(lookup(dst.get(), b), lookup(src.get(), b)) << id;
    }
  }
  EXPECT_EQ(lookup(dst.get(), "old"), lookup(src.get(), "old"));
  EXPECT_EQ(tokens(dst.get(), text), tokens(src.get(), text));
  EXPECT_TRUE(check_invariants(*dst, false));

  // Restoring a dictionary from its own borrowed arrays is harmless.
  DictPtr self = new_dict();
  ASSERT_EQ(restore_into(self.get(), e), 0);
  std::uint64_t n = 0;
  const std::uint8_t* t = vl_dict__texts(self.get(), &n);
  ASSERT_EQ(vl_dict__restore(self.get(), t, n, vl_dict__offs(self.get()), vl_dict__lens(self.get()),
                             vl_dict__entries(self.get())),
            0);
  EXPECT_EQ(bytes_of(self.get(), 5), bytes_of(src.get(), 5));
}

TEST(DictIo, RestoreEmptyGivesAFreshTable) {
  DictPtr d = new_dict();
  vl_dict_learn(d.get(), "a b c", 5, kLearnLimit);
  ASSERT_EQ(vl_dict__restore(d.get(), nullptr, 0, nullptr, nullptr, 0), 0);
  EXPECT_EQ(vl_dict_size(d.get()), 0u);
  EXPECT_EQ(d->nslots, 65536u);
  EXPECT_EQ(lookup(d.get(), "a"), 0u);
  EXPECT_EQ(tokens(d.get(), "a"), (std::vector<std::uint32_t>{0xFFFFFF61u}));
}

TEST(DictIo, RestoreChecksEveryEntryAgainstTheBlob) {
  const std::string blob = "abcdefgh";
  struct Case {
    std::uint32_t off, len;
    int want;
  };
  const Case cases[] = {{0, 8, 0},  {3, 5, 0},  {8, 0, 0},
                        {4, 5, -1}, {9, 0, -1}, {0xFFFFFFFFu, 2, -1}};
  for (const Case& c : cases) {
    DictPtr d = new_dict();
    vl_dict_learn(d.get(), "keep", 4, kLearnLimit);
    const std::uint32_t offs[2] = {0, c.off}, lens[2] = {1, c.len};
    EXPECT_EQ(vl_dict__restore(d.get(), blob.data(), blob.size(), offs, lens, 2), c.want)
        << c.off << "+" << c.len;
    if (c.want != 0) {
      EXPECT_EQ(bytes_of(d.get(), 1), "keep");  // untouched on failure
    }
  }
  const std::string big(65, 'x');
  const std::uint32_t off0 = 0, len65 = 65, len64 = 64;
  DictPtr d = new_dict();
  EXPECT_EQ(vl_dict__restore(d.get(), big.data(), big.size(), &off0, &len65, 1), -1);
  EXPECT_EQ(vl_dict__restore(d.get(), big.data(), big.size(), &off0, &len64, 1), 0);
  EXPECT_EQ(vl_dict__restore(d.get(), big.data(), 0x100000000ull, &off0, &len64, 1), -1);
}

// Restore leaves the hash table to be filled by the first call that needs
// it; whichever call comes first, the dictionary then behaves as the one
// exported, and reads before it need no table at all.
TEST(DictIo, RestoredTableIsFilledByWhicheverCallComesFirst) {
  DictPtr src = new_dict();
  std::mt19937_64 rng(11);
  const std::string text = random_words(rng, 3000);
  vl_dict_learn(src.get(), text.data(), text.size(), kLearnLimit);
  const std::string one = bytes_of(src.get(), 1);
  vl_net__install_entry(src.get(), vl_dict_size(src.get()) + 1, one.data(),
                        static_cast<std::uint32_t>(one.size()));  // duplicate bytes
  const Exported e = export_of(src.get());
  const std::string fresh = "not-in-there";
  const std::vector<std::function<void(vl_dict*)>> first = {
      [&](vl_dict* d) { (void)lookup(d, bytes_of(src.get(), 1)); },
      [&](vl_dict* d) { vl_dict_learn(d, fresh.data(), fresh.size(), kLearnLimit); },
      [&](vl_dict* d) { (void)tokens(d, text); },
      // Re-points the duplicate id; its old bytes stay mapped to the lower id.
      [&](vl_dict* d) { vl_net__install_entry(d, vl_dict_size(src.get()), "zz", 2); },
      [&](vl_dict* d) { vl_dict_train(d, text.data(), text.size(), 1, 8, 2); },
      [&](vl_dict* d) { EXPECT_TRUE(check_invariants(*d, false)); },
  };
  for (std::size_t k = 0; k < first.size(); ++k) {
    DictPtr d = new_dict();
    ASSERT_EQ(restore_into(d.get(), e), 0);
    EXPECT_TRUE(d->table_pending);
    EXPECT_TRUE(check_invariants(*d, true));
    EXPECT_EQ(bytes_of(d.get(), 7), bytes_of(src.get(), 7));  // reads leave it pending
    EXPECT_TRUE(d->table_pending);
    first[k](d.get());
    EXPECT_FALSE(d->table_pending) << k;
    EXPECT_TRUE(check_invariants(*d, false)) << k;
    for (std::uint32_t id = 1; id <= vl_dict_size(src.get()); ++id) {
      const std::string b = bytes_of(src.get(), id);
      if (!b.empty()) {
        ASSERT_EQ(lookup(d.get(), b), lookup(src.get(), b)) << k << " id " << id;
      }
    }
    if (k == 1) {
      EXPECT_GT(lookup(d.get(), "there"), vl_dict_size(src.get()));  // learned after the restore
    }
  }
}

TEST(DictIo, RestoreSizesTheTableForItsCount) {
  for (std::uint32_t count : {45875u, 45876u}) {
    std::string blob;
    std::vector<std::uint32_t> offs, lens;
    for (std::uint32_t i = 0; i < count; ++i) {
      const std::string s = "k" + std::to_string(i);
      offs.push_back(static_cast<std::uint32_t>(blob.size()));
      lens.push_back(static_cast<std::uint32_t>(s.size()));
      blob += s;
    }
    DictPtr d = new_dict();
    ASSERT_EQ(vl_dict__restore(d.get(), blob.data(), blob.size(), offs.data(), lens.data(), count),
              0);
    EXPECT_EQ(d->nslots, count == 45875u ? 65536u : 131072u);
    EXPECT_EQ(lookup(d.get(), "k45874"), 45875u);
    EXPECT_TRUE(check_invariants(*d, false));
  }
}

TEST(DictIo, DuplicateBytesLookUpAsTheLowerId) {
  const std::string blob = "xyzxyz";
  const std::uint32_t offs[4] = {3, 0, 0, 1}, lens[4] = {3, 0, 3, 2};
  DictPtr d = new_dict();
  ASSERT_EQ(vl_dict__restore(d.get(), blob.data(), blob.size(), offs, lens, 4), 0);
  EXPECT_EQ(bytes_of(d.get(), 1), "xyz");
  EXPECT_EQ(bytes_of(d.get(), 2), "");
  EXPECT_EQ(bytes_of(d.get(), 3), "xyz");
  EXPECT_EQ(lookup(d.get(), "xyz"), 1u);
  EXPECT_EQ(lookup(d.get(), "yz"), 4u);
}

TEST(DictIo, InstallFillsGapsWithEmptyIds) {
  DictPtr d = new_dict();
  vl_net__install_entry(d.get(), 5, "five", 4);
  EXPECT_EQ(vl_dict_size(d.get()), 5u);
  for (std::uint32_t id = 1; id <= 4; ++id) {
    std::uint64_t n = 9;
    vl_dict_text(d.get(), id, &n);
    EXPECT_EQ(n, 0u);
  }
  vl_net__install_entry(d.get(), 3, "three", 5);
  EXPECT_EQ(bytes_of(d.get(), 3), "three");
  EXPECT_EQ(lookup(d.get(), "three"), 3u);
  EXPECT_EQ(vl_dict_size(d.get()), 5u);
  // Learning continues after the highest id.
  EXPECT_EQ(vl_dict_learn(d.get(), "six", 3, kLearnLimit), 1u);
  EXPECT_EQ(lookup(d.get(), "six"), 6u);
  // Bytes another id has keep looking up as that id.
  vl_net__install_entry(d.get(), 7, "five", 4);
  EXPECT_EQ(bytes_of(d.get(), 7), "five");
  EXPECT_EQ(lookup(d.get(), "five"), 5u);
  EXPECT_TRUE(check_invariants(*d, false));
}

TEST(DictIo, InstallRefusesIdsAndLengthsThatCouldNotRoundTrip) {
  DictPtr d = new_dict();
  const std::string s(65, 'a');
  vl_net__install_entry(d.get(), 0, "x", 1);
  vl_net__install_entry(d.get(), 0xFFFFFF41u, "x", 1);  // would read back as byte 'A'
  vl_net__install_entry(d.get(), 1, s.data(), 65);      // a snapshot could not load it
  EXPECT_EQ(vl_dict_size(d.get()), 0u);
  EXPECT_EQ(lookup(d.get(), "x"), 0u);
}

// Re-installing an id that holds bytes removes the table's mapping of the
// old bytes, even from the middle of a probe chain.
TEST(DictIo, ReinstallDropsTheOldMapping) {
  // Group short texts by home slot to get probe chains of length >= 3.
  std::map<std::uint32_t, std::vector<std::string>> by_home;
  std::vector<std::string> chain;
  for (int i = 0; chain.empty(); ++i) {
    const std::string s = "t" + std::to_string(i);
    auto& v = by_home[static_cast<std::uint32_t>(
                          hash_bytes(reinterpret_cast<const std::uint8_t*>(s.data()), s.size())) &
                      0xFFFF];
    v.push_back(s);
    if (v.size() == 4) chain = v;
  }
  for (std::size_t victim = 0; victim < chain.size(); ++victim) {
    DictPtr d = new_dict();
    for (std::size_t k = 0; k < chain.size(); ++k)
      vl_net__install_entry(d.get(), static_cast<std::uint32_t>(k + 1), chain[k].data(),
                            static_cast<std::uint32_t>(chain[k].size()));
    const auto id = static_cast<std::uint32_t>(victim + 1);
    vl_net__install_entry(d.get(), id, "fresh", 5);
    EXPECT_EQ(bytes_of(d.get(), id), "fresh");
    EXPECT_EQ(lookup(d.get(), "fresh"), id);
    EXPECT_EQ(lookup(d.get(), chain[victim]), 0u) << "stale mapping to id " << id;
    for (std::size_t k = 0; k < chain.size(); ++k)
      if (k != victim) {
        EXPECT_EQ(lookup(d.get(), chain[k]), k + 1) << k;
      }
    ASSERT_TRUE(check_invariants(*d, false));
    // Learning the old bytes again gives them a new id that decodes right.
    const std::uint32_t again =
        vl_dict_learn(d.get(), chain[victim].data(), chain[victim].size(), 1);
    EXPECT_EQ(again, 1u);
    EXPECT_EQ(bytes_of(d.get(), lookup(d.get(), chain[victim])), chain[victim]);
  }
}

// Random installs, re-installs and learning against a map from id to bytes:
// every id decodes as the model says, and a lookup never answers with an id
// whose bytes differ from the text looked up.
TEST(DictIo, RandomInstallsKeepLookupsTruthful) {
  const std::uint64_t seed = 4242;
  std::mt19937_64 rng(seed);
  DictPtr d = new_dict();
  std::map<std::uint32_t, std::string> model;
  auto random_text = [&rng] {
    std::string t;
    for (int n = 1 + static_cast<int>(rng() % 3); n > 0; --n) t += "ab. "[rng() % 4];
    return t;
  };
  for (int op = 0; op < 4000; ++op) {
    const std::string t = random_text();
    if (rng() % 4 == 0) {
      vl_dict_learn(d.get(), t.data(), t.size(), kLearnLimit);
    } else {
      const auto id = static_cast<std::uint32_t>(1 + rng() % 300);
      vl_net__install_entry(d.get(), id, t.data(), static_cast<std::uint32_t>(t.size()));
    }
    for (std::uint32_t id = 1; id <= vl_dict_size(d.get()); ++id) model[id] = bytes_of(d.get(), id);
    if (op % 200 == 0) {
      ASSERT_TRUE(check_invariants(*d, false)) << "seed " << seed << " op " << op;
    }
    const std::string probe = random_text();
    const std::uint32_t got = lookup(d.get(), probe);
    if (got != 0) {
      ASSERT_EQ(model[got], probe) << "seed " << seed << " op " << op;
    }
  }
  for (const auto& [id, bytes] : model) {
    if (bytes.empty()) continue;
    const std::uint32_t got = lookup(d.get(), bytes);
    EXPECT_TRUE(got == 0 || model[got] == bytes) << id;
  }
}

TEST(DictIo, InstallFromTheDictionarysOwnTextSurvivesGrowth) {
  // A restored 1 MiB blob fills the text buffer, so the install must grow it
  // while its source points into it.
  std::string blob(kInitTextCap, 'm');
  blob.replace(0, 5, "hello");
  const std::uint32_t off = 0, len = 5;
  DictPtr d = new_dict();
  ASSERT_EQ(vl_dict__restore(d.get(), blob.data(), blob.size(), &off, &len, 1), 0);
  std::uint64_t n = 0;
  const std::uint8_t* own = vl_dict_text(d.get(), 1, &n);
  vl_net__install_entry(d.get(), 2, own, static_cast<std::uint32_t>(n));
  EXPECT_EQ(bytes_of(d.get(), 2), "hello");
  own = vl_dict_text(d.get(), 2, &n);
  EXPECT_EQ(add(*d, own, n), 1u);
}

}  // namespace
}  // namespace velta::dict::test
