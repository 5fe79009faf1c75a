// Runs every seed of the log replay fuzzer through its property in the
// plain test build, so the seeds are checked without libFuzzer. A seed that
// breaks the property aborts the binary with the fuzzer's message.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "durability_fixture.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

namespace velta::testing {
namespace {

TEST(WalReplaySeeds, EverySeedKeepsTheReplayProperty) {
  const std::filesystem::path corpus = std::filesystem::path(__FILE__).parent_path() / ".." / ".." /
                                       "fuzz" / "corpus" / "wal_replay";
  int seeds = 0;
  for (const auto& entry : std::filesystem::directory_iterator(corpus)) {
    const std::string bytes = read_file(entry.path().string());
    SCOPED_TRACE(entry.path().filename().string());
    EXPECT_EQ(
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()),
        0);
    ++seeds;
  }
  EXPECT_GE(seeds, 5);
}

}  // namespace
}  // namespace velta::testing
