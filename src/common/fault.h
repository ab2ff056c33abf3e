// common/fault.h: allocation-failure injection for tests.
// In a build with TALLOWMERE_FAULT_INJECTION, cores call fault_point() before
// each allocation that a failure must be survivable at; after arm(n) the n-th
// such call throws std::bad_alloc. Tests loop n = 1, 2, ... until the operation
// succeeds and check after every failure that nothing changed and nothing leaked.
// In ordinary builds fault_point() is an empty inline function.
#pragma once

#include <cstdint>
#include <new>

namespace tallowmere::fault {

#ifdef TALLOWMERE_FAULT_INJECTION
// Counts down across all threads; 0 means disarmed.
void arm(std::uint64_t nth_call) noexcept;
void disarm() noexcept;
bool triggered() noexcept;  // whether the armed failure has fired since arm()
void fault_point();         // throws std::bad_alloc when the count reaches zero
constexpr bool kEnabled = true;
#else
inline void arm(std::uint64_t) noexcept {}
inline void disarm() noexcept {}
inline bool triggered() noexcept { return false; }
inline void fault_point() {}
constexpr bool kEnabled = false;
#endif

}  // namespace tallowmere::fault
