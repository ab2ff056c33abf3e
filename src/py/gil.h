// py/gil.h: a scope in which the interpreter lock is released.
// Declare it before any native lock taken inside the scope, so that lock is
// released first and no thread ever holds a native lock while it waits for
// the interpreter lock. Nothing Python may be touched in the scope, not even
// a reference count.
//
// Taking the lock back can end the thread while the interpreter finalizes (see
// py/forced_unwind.h). Unwinding our frames then would run destructors that touch
// Python without the lock, so the unwind is stopped where it starts and the thread
// parks: it holds no native lock by then (see above) and touches nothing more.
#pragma once

#include <Python.h>

#include "py/forced_unwind.h"

namespace tallowmere::py {

// PyEval_RestoreThread, parking the thread where the interpreter would end it.
TM_CATCHES_FORCED_UNWIND inline void restore_thread(PyThreadState* saved) noexcept {
  try {
    PyEval_RestoreThread(saved);
  } catch (const ForcedUnwind&) {
    park_exiting_thread();
  }
}

class GilReleased {
 public:
  GilReleased() noexcept : saved_(PyEval_SaveThread()) {}
  ~GilReleased() { restore_thread(saved_); }
  GilReleased(const GilReleased&) = delete;
  GilReleased& operator=(const GilReleased&) = delete;

 private:
  PyThreadState* saved_;
};

// Runs `work` with the interpreter lock released and returns what it returns:
// `auto found = without_gil([&] { return store.get(ns, key); });`. The same rules
// as for a GilReleased scope hold inside `work`.
template <class Work>
decltype(auto) without_gil(Work&& work) {
  GilReleased nogil;
  return work();
}

}  // namespace tallowmere::py
