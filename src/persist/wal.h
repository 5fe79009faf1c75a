// Write-ahead log state attached to an engine.
//
// States:
//  - no log: engine->wal is NULL (engine made in memory, or the log could
//    not be opened or restarted); hooks do nothing.
//  - active: attached with `file` open; appends go through wal_append.
//  - failed: active with failed = 1; appends are still attempted.
//  - replaying: replaying != 0 during open; hooks write nothing.
// A save replaces the state with a fresh one (counters 0, sync 1).
#pragma once

#include <cstdint>
#include <cstdio>

#include "velta.h"

struct vl_wal {
  char* store_path = nullptr;  // owned (malloc); the snapshot this log continues
  char* wal_path = nullptr;    // owned (malloc); store_path + ".wal"
  std::FILE* file = nullptr;   // opened "ab", or NULL
  std::uint64_t generation = 0;
  int sync = 1;       // 1: flush + fsync each record; 0: flush only
  int replaying = 0;  // hooks write nothing while set
  int failed = 0;     // sticky; set by the first failed append
  std::uint64_t records = 0;   // records appended through this state
  std::uint64_t bytes = 0;     // payload + 8 per record; header not counted
  std::uint64_t replayed = 0;  // records applied when the log was opened
  vl_engine* engine = nullptr;
};
