// Real editing sessions replayed as splices on one object, one version per
// edit: the final text must equal the recorded end content, and versions
// taken along the way must read as a plain string replay had them.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine_testutil.h"
#include "velta.h"

namespace {

struct Edit {
  std::uint32_t pos, del;
  std::uint32_t ins_off, ins_len;  // into Trace::ins
};

struct Trace {
  std::string start, end, ins;
  std::vector<Edit> edits;
};

std::uint64_t le(const std::string& b, std::size_t at, int width) {
  std::uint64_t v = 0;
  for (int i = width - 1; i >= 0; --i) v = v << 8 | static_cast<std::uint8_t>(b[at + i]);
  return v;
}

// Parses NAME.edits.bin ("EDTRACE1"); false when missing or malformed.
bool load_trace(const std::string& name, Trace* t) {
  std::ifstream in(std::string(VELTA_DATA_DIR) + "/traces/" + name + ".edits.bin",
                   std::ios::binary);
  if (!in) return false;
  const std::string b((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (b.size() < 32 || b.compare(0, 8, "EDTRACE1") != 0) return false;
  const std::uint64_t start_len = le(b, 8, 8), n_edits = le(b, 16, 8);
  std::size_t at = 32;
  if (start_len > b.size() - at) return false;
  t->start = b.substr(at, start_len);
  at += start_len;
  t->edits.reserve(n_edits);
  for (std::uint64_t i = 0; i < n_edits; ++i) {
    if (b.size() - at < 16) return false;
    Edit e{static_cast<std::uint32_t>(le(b, at, 4)), static_cast<std::uint32_t>(le(b, at + 4, 4)),
           static_cast<std::uint32_t>(t->ins.size()), static_cast<std::uint32_t>(le(b, at + 8, 4))};
    at += 16;
    if (e.ins_len > b.size() - at) return false;
    t->ins.append(b, at, e.ins_len);
    at += e.ins_len;
    t->edits.push_back(e);
  }
  if (b.size() - at < 8) return false;
  const std::uint64_t end_len = le(b, at, 8);
  at += 8;
  if (end_len > b.size() - at) return false;
  t->end = b.substr(at, end_len);
  return true;
}

std::string read_version(vl_engine* e, vl_object* o, std::uint32_t v) {
  std::string s(o->versions.at(v).bytes, '\0');
  s.resize(vl_read_version(e, o, v, 0, s.size(), s.data()));
  return s;
}

void replay(const std::string& name) {
  Trace t;
  if (!load_trace(name, &t)) GTEST_SKIP() << "trace " << name << " not available";
  velta::EngineHolder holder(vl_engine_new());
  vl_engine* e = holder.get();
  ASSERT_NE(e, nullptr);
  vl_object* o = vl_create(e, name.c_str(), t.start.data(), t.start.size());
  ASSERT_NE(o, nullptr);

  // Spot checks: about a dozen versions spread over the session.
  const std::size_t every = t.edits.size() / 12 + 1;
  std::vector<std::pair<std::uint32_t, std::string>> spots;
  std::string model = t.start;
  for (std::size_t i = 0; i < t.edits.size(); ++i) {
    const Edit& ed = t.edits[i];
    const char* ins = t.ins.data() + ed.ins_off;
    ASSERT_EQ(vl_update(e, o, ed.pos, ed.del, ins, ed.ins_len), 0) << "edit " << i;
    model.replace(ed.pos, ed.del, ins, ed.ins_len);
    if (i % every == every / 2) spots.emplace_back(o->n_versions() - 1, model);
  }
  ASSERT_EQ(o->n_versions(), t.edits.size() + 1);
  EXPECT_EQ(read_version(e, o, o->n_versions() - 1), t.end);
  EXPECT_EQ(model, t.end);
  EXPECT_EQ(read_version(e, o, 0), t.start);
  for (const auto& [v, text] : spots) EXPECT_EQ(read_version(e, o, v), text) << "version " << v;
  // The audit's table suits up to a few million nodes; the short session
  // stays within that.
  if (o->n_versions() < 50000) {
    EXPECT_EQ(velta::testing::audit(e), 0);
  }
}

TEST(Trace, SvelteComponentReplays) { replay("sveltecomponent"); }

TEST(Trace, AutomergePaperReplays) { replay("automerge-paper"); }

}  // namespace
