// Store inspection: format sniffing, trailer verification and store paths.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>

#include "durability_fixture.h"
#include "velta.h"

namespace velta::testing {
namespace {

class Inspect : public ScratchDir {
 protected:
  // A store holding one object of `words` distinct words, saved with `options`.
  void save_store(int options, int words = 300) {
    EngineHolder e(vl_engine_new());
    std::string text;
    for (int i = 0; i < words; ++i) text += "w" + std::to_string(i * 7919) + " ";
    ASSERT_NE(vl_create(e.get(), "doc", text.data(), text.size()), nullptr);
    ASSERT_EQ(vl_save_ex(e.get(), store().c_str(), options), 0);
  }
};

TEST_F(Inspect, FormatTellsSnapshotsFromOtherFiles) {
  EXPECT_EQ(vl_format_version(), 3);
  save_store(0);
  EXPECT_EQ(vl_store_format(store().c_str()), 3);

  write_file(path("empty"), "");
  EXPECT_EQ(vl_store_format(path("empty").c_str()), 0);
  write_file(path("text"), "just some words that are not a store\n");
  EXPECT_EQ(vl_store_format(path("text").c_str()), 0);

  errno = 0;
  EXPECT_EQ(vl_store_format(path("missing").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);

  const std::string snap = read_file(store());
  write_file(path("short"), snap.substr(0, 40));
  errno = 0;
  EXPECT_EQ(vl_store_format(path("short").c_str()), -1);
  EXPECT_EQ(errno, EINVAL);
}

TEST_F(Inspect, FormatRejectsEveryDamagedHeaderByte) {
  save_store(0);
  const std::string snap = read_file(store());
  // Bytes 0..7 are the magic (a damaged magic is "not a snapshot"); 8..59
  // are covered by the header CRC; 60..63 are reserved and unread.
  for (int i = 0; i < 64; ++i) {
    std::string bad = snap;
    bad[i] = static_cast<char>(bad[i] ^ 0x20);
    write_file(path("bad"), bad);
    errno = 0;
    int rc = vl_store_format(path("bad").c_str());
    if (i < 8) {
      EXPECT_EQ(rc, 0) << "byte " << i;
    } else if (i < 60) {
      EXPECT_EQ(rc, -1) << "byte " << i;
      EXPECT_EQ(errno, EINVAL) << "byte " << i;
    } else {
      EXPECT_EQ(rc, 3) << "byte " << i;
    }
  }
}

TEST_F(Inspect, VerifyChunksByLayout) {
  for (int options : {0, VL_SAVE_UNCOMPRESSED}) {
    save_store(options);
    EXPECT_EQ(vl_verify_chunks(store().c_str()), 1) << "options " << options;
  }
  for (int options : {VL_SAVE_MAPPABLE, VL_SAVE_MAPPABLE | VL_SAVE_UNCOMPRESSED}) {
    save_store(options);
    EXPECT_EQ(vl_verify_chunks(store().c_str()), 0) << "options " << options;
  }

  write_file(path("text"), "not a snapshot at all, but long enough to fill a header.......");
  errno = 0;
  EXPECT_EQ(vl_verify_chunks(path("text").c_str()), -1);
  EXPECT_EQ(errno, EINVAL);
  errno = 0;
  EXPECT_EQ(vl_verify_chunks(path("missing").c_str()), -1);
  EXPECT_EQ(errno, ENOENT);
}

TEST_F(Inspect, VerifyChunksCatchesDamagedAndShortTrailers) {
  save_store(VL_SAVE_MAPPABLE);
  const std::string snap = read_file(store());

  std::string flipped = snap;
  flipped[snap.size() - 3] = static_cast<char>(flipped[snap.size() - 3] ^ 1);
  write_file(path("flipped"), flipped);
  errno = 0;
  EXPECT_EQ(vl_verify_chunks(path("flipped").c_str()), -1);
  EXPECT_EQ(errno, EINVAL);

  write_file(path("cut"), snap.substr(0, snap.size() - 5));
  errno = 0;
  EXPECT_EQ(vl_verify_chunks(path("cut").c_str()), -1);
  EXPECT_EQ(errno, EIO);
}

TEST_F(Inspect, VerifyChunksStreamsTrailersLongerThanOneBlock) {
  // About 180,000 distinct words give some 360,000 tokens: a trailer of
  // about 1.4 MiB, read as one full block and one partial one.
  save_store(VL_SAVE_MAPPABLE, 180000);
  const std::string snap = read_file(store());
  ASSERT_GT(snap.size(), (1u << 20) + 64 + 200000);
  EXPECT_EQ(vl_verify_chunks(store().c_str()), 0);

  // A change in the second block must be seen as well as one in the first.
  for (std::size_t at : {snap.size() - 100, snap.size() - (1u << 20) - 100}) {
    std::string bad = snap;
    bad[at] = static_cast<char>(bad[at] ^ 0x40);
    write_file(path("bad"), bad);
    errno = 0;
    EXPECT_EQ(vl_verify_chunks(path("bad").c_str()), -1) << "offset " << at;
    EXPECT_EQ(errno, EINVAL);
  }
}

TEST_F(Inspect, StorePathFollowsTheLog) {
  EngineHolder e(vl_engine_new());
  EXPECT_EQ(vl_store_path(e.get()), nullptr);
  EXPECT_EQ(vl_store_path(nullptr), nullptr);
  ASSERT_EQ(vl_save(e.get(), store().c_str()), 0);
  ASSERT_NE(vl_store_path(e.get()), nullptr);
  EXPECT_EQ(std::string(vl_store_path(e.get())), store());

  const std::string other = path("other.vlt");
  ASSERT_EQ(vl_save(e.get(), other.c_str()), 0);
  EXPECT_EQ(std::string(vl_store_path(e.get())), other);

  EngineHolder opened(vl_open(store().c_str()));
  ASSERT_NE(opened, nullptr);
  EXPECT_EQ(std::string(vl_store_path(opened.get())), store());
}

}  // namespace
}  // namespace velta::testing
