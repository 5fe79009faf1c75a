// The reference-count audit and its exact stderr lines.
#include <gtest/gtest.h>

#include <regex>
#include <string>

#include "extent/arena.h"
#include "tree_util.h"

namespace velta::extent {
namespace {

using test::tree;

int count_lines(const std::string& s, const std::string& needle) {
  int n = 0;
  for (std::size_t p = s.find(needle); p != std::string::npos; p = s.find(needle, p + 1)) ++n;
  return n;
}

TEST(Audit, EmptyAndCleanSets) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(vl_ext_audit(nullptr, 0, 1), 0);
  EXPECT_EQ(::testing::internal::GetCapturedStderr(),
            "  [audit] 0 reachable nodes, 0 refcount mismatches\n");

  tree a(test::build(test::make_leaves(6, 2)));
  tree b(vl_ext_join(a.get(), a.get()));  // shares all of a, twice over
  vl_ext* roots[] = {a.get(), b.get()};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(vl_ext_audit(roots, 2, 1), 0);
  std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_lines(out, "[audit] node"), 0);
  EXPECT_NE(out.find(" 0 refcount mismatches\n"), std::string::npos);
  EXPECT_EQ(vl_ext_audit(roots, 2, 0), 0);

  // Listing a root twice expects two holders; it has one.
  b = tree();
  vl_ext* twice[] = {a.get(), a.get()};
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(vl_ext_audit(twice, 2, 1), 1);
  out = ::testing::internal::GetCapturedStderr();
  std::regex line(R"(  \[audit\] node 0x[0-9a-f]+ rc=1 expected=2 \(PREMATURE FREE\)\n)");
  EXPECT_TRUE(std::regex_search(out, line)) << out;
  EXPECT_NE(out.find("  [audit] 11 reachable nodes, 1 refcount mismatches\n"), std::string::npos)
      << out;
}

TEST(Audit, ReportsFiveLinesThenTheFullCount) {
  tree t(test::build(test::make_leaves(8, 2)));  // 15 nodes
  // Bump every node below the root: 14 leaks.
  std::vector<vl_ext*> nodes;
  std::vector<vl_ext*> todo{vl_ext_left(t.get()), vl_ext_right(t.get())};
  while (!todo.empty()) {
    vl_ext* n = todo.back();
    todo.pop_back();
    nodes.push_back(vl_ext_retain(n));
    if (!vl_ext_is_leaf(n)) {
      todo.push_back(vl_ext_left(n));
      todo.push_back(vl_ext_right(n));
    }
  }
  vl_ext* root = t.get();
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(vl_ext_audit(&root, 1, 1), 14);
  std::string out = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(count_lines(out, "(LEAK)\n"), 5);
  EXPECT_EQ(count_lines(out, "  [audit] node "), 5);
  EXPECT_NE(out.find("  [audit] 15 reachable nodes, 14 refcount mismatches\n"), std::string::npos);
  for (vl_ext* n : nodes) vl_ext_release(n);
  EXPECT_EQ(vl_ext_audit(&root, 1, 0), 0);
}

}  // namespace
}  // namespace velta::extent
