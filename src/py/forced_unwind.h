// py/forced_unwind.h: a thread that the interpreter ends mid-call.
// While the interpreter finalizes, CPython 3.10-3.13 end a daemon thread that
// asks for the interpreter lock with pthread_exit, which unwinds the stack with
// a forced unwind. Only a handler for ForcedUnwind may meet it: catch (...) would
// swallow it and the runtime aborts when that handler ends, and a noexcept frame
// calls std::terminate. Our handlers park the thread instead (what later
// CPythons do themselves) and the process exits around it.
#pragma once

#include <cstddef>  // defines __GLIBCXX__ when the library is libstdc++

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace tallowmere::py {

#if defined(__GLIBCXX__)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};  // runtimes without a forced unwind type never throw it
#endif

// On a function with a handler for ForcedUnwind: the runtime binds that handler's
// parameter to a null object, which UBSan's null check would report (the handlers
// never read it). Sanitized builds also keep the function out of line, since once
// inlined into a checked caller the handler is checked after all.
#if defined(TALLOWMERE_SANITIZED)
#define TM_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null"), noinline))
#elif defined(__GNUC__) || defined(__clang__)
#define TM_CATCHES_FORCED_UNWIND __attribute__((no_sanitize("null")))
#else
#define TM_CATCHES_FORCED_UNWIND
#endif

// Never returns: the calling thread sleeps until the process exits. Call it only
// from a handler for ForcedUnwind, which must never end.
[[noreturn]] void park_exiting_thread() noexcept;

}  // namespace tallowmere::py
