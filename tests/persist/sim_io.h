// A stand-in for the persistence layer's I/O seam that passes calls to the
// real files of one directory and can
//  - fail the Nth call (counted while armed) with a chosen errno, and
//  - cut the power at the Nth call: that call and every later one fail
//    with EIO, and power_cut() then rewrites the directory to what was
//    durable: each file's content as of its last fsync (empty if never
//    synced), and the entries (creates, renames, unlinks) as of the last
//    fsync of the directory.
// Durability is simulated, so fsync does not reach the disk. A failed
// fsync leaves the durable content as it was; a later one that works makes
// the current content durable. Streams are wrapped so that their reads
// and writes are calls of the seam too. One instance at a time.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>

namespace velta::testing {

class SimIo {
 public:
  // Takes over the seam for `dir`, whose present files count as durable.
  explicit SimIo(std::string dir);
  ~SimIo();  // gives the seam back; every stream made here must be closed
  SimIo(const SimIo&) = delete;
  SimIo& operator=(const SimIo&) = delete;

  // Counts calls from 0 again; fail_at / crash_at are 1-based, 0 = never.
  void arm(std::uint64_t fail_at, int fail_errno, std::uint64_t crash_at);
  void disarm() { armed_ = false; }
  std::uint64_t calls() const { return calls_; }
  bool down() const { return down_; }

  // Rewrites the directory to its durable state and turns the power on.
  void power_cut();

  // Called through the seam (static trampolines in sim_io.cc).
  bool hit(int* err);  // counts one call; true (and *err) when it must fail
  void synced(int fd);

 private:
  void capture();  // the present files as durable; power on, disarmed
  std::string dir_;
  std::map<ino_t, std::string> content_;  // durable bytes per inode
  std::map<std::string, ino_t> entries_;  // durable names of dir_
  bool armed_ = false;
  bool down_ = false;
  std::uint64_t calls_ = 0, fail_at_ = 0, crash_at_ = 0;
  int fail_errno_ = 0;
};

}  // namespace velta::testing
