#include "py/gil.h"

#include <unistd.h>

namespace tallowmere::py {

void park_exiting_thread() noexcept {
  for (;;) pause();
}

TM_CATCHES_FORCED_UNWIND void restore_thread(PyThreadState* saved) noexcept {
  try {
    PyEval_RestoreThread(saved);
  } catch (const ForcedUnwind&) {
    park_exiting_thread();
  }
}

}  // namespace tallowmere::py
