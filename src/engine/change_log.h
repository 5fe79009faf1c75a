// The interface through which the engine reports each change before it
// makes it, so that a layer above (the write-ahead log) can record it
// without the engine knowing how.
//
// Order inside every edit: check the arguments and allocate everything,
// report the change through the attached log, then change memory. A report
// never fails the edit; a log that cannot record marks itself failed.
//
// States, as the engine sees them:
//  - none attached: engine->log is NULL; nothing is reported.
//  - attached: every change is reported through the methods below.
//  - replaying: attached, is_replaying() true while the log's own records
//    are applied; reports are ignored by the log and names are not checked.
// The engine owns what is attached: vl_engine's destructor deletes it
// through the virtual destructor. Attaching and detaching is done by the
// log's own layer, which alone knows the concrete type.
#pragma once

#include <cstdint>

#include "velta.h"

namespace velta::engine {

class ChangeLog {
 public:
  ChangeLog() = default;
  ChangeLog(const ChangeLog&) = delete;
  ChangeLog& operator=(const ChangeLog&) = delete;
  virtual ~ChangeLog() = default;

  // True while the log is applying its own records: reports are then
  // ignored and table names need not be unique.
  virtual bool is_replaying() const noexcept = 0;

  // An edit no record could replay faithfully is about to happen: the log
  // stops vouching for the state it describes. Ignored while replaying.
  virtual void mark_failed() noexcept = 0;

  // One report per kind of change. Names are NUL-terminated (at most 63
  // bytes are kept); text is (pointer, length in bytes). Ignored while
  // replaying.
  virtual void log_create(const char* name, const void* text, std::uint64_t n) noexcept = 0;
  virtual void log_update(const char* name, std::uint64_t pos, std::uint64_t del, const void* text,
                          std::uint64_t n) noexcept = 0;
  virtual void log_delete(const char* name) noexcept = 0;
  virtual void log_graft(const char* dst, std::uint64_t dst_pos, const char* src,
                         std::uint64_t src_pos, std::uint64_t len) noexcept = 0;
  virtual void log_cut(const char* name, std::uint64_t pos, std::uint64_t len) noexcept = 0;
  virtual void log_trim(const char* name, std::uint32_t keep) noexcept = 0;
  // A binary object made from `n` bytes cut with `opts` (already checked).
  virtual void log_binary(const char* name, const void* data, std::uint64_t n,
                          const vl_bin_opts& opts) noexcept = 0;
  // Dictionary ids lo..hi (inclusive) were added by something other than a
  // logged text (training, direct learning, installation), or by a text
  // whose edit then failed: their bytes go to the log so replay rebuilds
  // the same ids.
  virtual void log_entries(std::uint32_t lo, std::uint32_t hi) noexcept = 0;
};

}  // namespace velta::engine
