// The allocation-failure loop shared by the fault-injection tests (meaningful with
// -DTALLOWMERE_FAULT_INJECTION=ON): the n-th fault point fails for n = 1, 2, ...
// until the operation gets through, and after every failure the caller checks that
// nothing changed. Returns how many attempts failed.
#pragma once

#include <doctest/doctest.h>

#include <cstdint>
#include <new>

#include "common/fault.h"

template <class Operation, class AfterFailure>
int fail_each_allocation(Operation&& operation, AfterFailure&& after_failure) {
  for (std::uint64_t nth = 1;; ++nth) {
    tallowmere::fault::arm(nth);
    try {
      operation();
    } catch (const std::bad_alloc&) {
      tallowmere::fault::disarm();
      CAPTURE(nth);
      after_failure();
      continue;
    }
    const bool fired = tallowmere::fault::triggered();
    tallowmere::fault::disarm();
    CHECK_FALSE(fired);  // a failure swallowed inside the operation would look like success
    return static_cast<int>(nth - 1);
  }
}
