#include "py/gil.h"

#include <unistd.h>

namespace tallowmere::py {

void park_exiting_thread() noexcept {
  for (;;) pause();
}

}  // namespace tallowmere::py
