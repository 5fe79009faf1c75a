// Limits and special values shared across the library, each defined once.
// Those callers also see are the public macros of velta.h; these are their
// typed names inside.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "velta.h"

namespace velta {

// Token ids at or above this are byte tokens: kByteTokenBase + b is byte b.
// Learned dictionary ids stay below it.
inline constexpr std::uint32_t kByteTokenBase = VL_BYTE_TOKEN_BASE;

// Bytes of a name that are kept, in memory and on disk; a name buffer holds
// them plus the NUL.
inline constexpr std::size_t kNameMax = VL_NAME_MAX;
inline constexpr std::size_t kNameBufBytes = kNameMax + 1;

// Version index meaning "the newest version" in the flat calls.
inline constexpr std::uint32_t kNewestVersion = VL_NEWEST_VERSION;

// Results beyond 0 / -1.
inline constexpr int kCommitChanged = VL_COMMIT_CHANGED;
inline constexpr int kCommitLocked = VL_COMMIT_LOCKED;
inline constexpr int kMergeConflict = VL_MERGE_CONFLICT;

// Bytes of NUL-terminated `name` that are kept: at most kNameMax.
inline std::size_t kept_name_len(const char* name) noexcept { return strnlen(name, kNameMax); }

}  // namespace velta
