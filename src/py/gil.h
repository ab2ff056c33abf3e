// py/gil.h: a scope in which the interpreter lock is released.
// Declare it before any native lock taken inside the scope, so that lock is
// released first and no thread ever holds a native lock while it waits for
// the interpreter lock. Nothing Python may be touched in the scope, not even
// a reference count.
#pragma once

#include <Python.h>

namespace tallowmere::py {

class GilReleased {
 public:
  GilReleased() noexcept : saved_(PyEval_SaveThread()) {}
  ~GilReleased() { PyEval_RestoreThread(saved_); }
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
