// The one place where C++ failures stop at the C boundary.
//
// Every exported function runs its body through `guard`: an allocation
// failure (std::bad_alloc, std::length_error from a container asked for an
// absurd size) becomes the call's documented failure value, with errno set
// to ENOMEM when the call reports through errno. Any other exception is a
// bug; the exported functions are noexcept, so it terminates instead of
// unwinding into C code.
#pragma once

#include <cerrno>
#include <exception>
#include <new>
#include <stdexcept>
#include <utility>

namespace velta {

// Thrown where an operation meets tokens of a mapped snapshot that failed
// their first-use check. Like out of memory it comes before anything
// changes; the call fails with errno EIO.
struct DamagedData final : std::exception {
  const char* what() const noexcept override { return "damaged chunk"; }
};

// Runs f(); on out of memory sets errno to ENOMEM and returns `fail`; on
// damaged data, errno EIO and `fail`.
template <class R, class F>
R guard(R fail, F&& f) noexcept {
  try {
    return std::forward<F>(f)();
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
    return fail;
  } catch (const std::length_error&) {
    errno = ENOMEM;
    return fail;
  } catch (const DamagedData&) {
    errno = EIO;
    return fail;
  }
}

// For void functions: out of memory leaves errno ENOMEM and does nothing more.
template <class F>
void guard_void(F&& f) noexcept {
  try {
    std::forward<F>(f)();
  } catch (const std::bad_alloc&) {
    errno = ENOMEM;
  } catch (const std::length_error&) {
    errno = ENOMEM;
  } catch (const DamagedData&) {
    errno = EIO;
  }
}

}  // namespace velta
