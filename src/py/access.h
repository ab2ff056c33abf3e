// py/access.h: the per-object access counter.
// 0 means free, all bits set means one call holds exclusive access, any other
// value counts the calls holding shared access. Calls never wait: a conflicting
// call fails at once with RuntimeError ("Already borrowed" when it wanted
// exclusive access, "Already mutably borrowed" when it wanted shared access).
// The interpreter lock serialises calls, so conflicts arise only when a call
// that holds access releases that lock, or when Python code run during a call
// re-enters the same object.
#pragma once

#include <Python.h>

#include <atomic>
#include <cstddef>
#include <limits>

#include "py/errors.h"

namespace tallowmere::py {

class AccessCounter {
 public:
  static constexpr std::size_t kExclusive = std::numeric_limits<std::size_t>::max();

  bool try_shared() noexcept {
    std::size_t seen = state_.load(std::memory_order_relaxed);
    do {
      if (seen >= kExclusive - 1) return false;  // held exclusively (or saturated)
    } while (!state_.compare_exchange_weak(seen, seen + 1, std::memory_order_acquire, std::memory_order_relaxed));
    return true;
  }
  void release_shared() noexcept { state_.fetch_sub(1, std::memory_order_release); }
  bool try_exclusive() noexcept {
    std::size_t expected = 0;
    return state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire, std::memory_order_relaxed);
  }
  void release_exclusive() noexcept { state_.store(0, std::memory_order_release); }

 private:
  std::atomic<std::size_t> state_{0};
};

// Holds shared access for a scope; throws (RuntimeError set) when it cannot.
class SharedAccess {
 public:
  explicit SharedAccess(AccessCounter& counter) : counter_(counter) {
    if (!counter_.try_shared()) raise(PyExc_RuntimeError, "Already mutably borrowed");
  }
  ~SharedAccess() { counter_.release_shared(); }
  SharedAccess(const SharedAccess&) = delete;
  SharedAccess& operator=(const SharedAccess&) = delete;

 private:
  AccessCounter& counter_;
};

// Holds exclusive access for a scope; throws (RuntimeError set) when it cannot.
class ExclusiveAccess {
 public:
  explicit ExclusiveAccess(AccessCounter& counter) : counter_(counter) {
    if (!counter_.try_exclusive()) raise(PyExc_RuntimeError, "Already borrowed");
  }
  ~ExclusiveAccess() { counter_.release_exclusive(); }
  ExclusiveAccess(const ExclusiveAccess&) = delete;
  ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

 private:
  AccessCounter& counter_;
};

}  // namespace tallowmere::py
