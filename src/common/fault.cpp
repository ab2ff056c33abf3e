#include "common/fault.h"

#ifdef TALLOWMERE_FAULT_INJECTION
#include <atomic>

namespace tallowmere::fault {
namespace {
std::atomic<std::uint64_t> countdown{0};
std::atomic<bool> fired{false};
}  // namespace

void arm(std::uint64_t nth_call) noexcept {
  fired.store(false);
  countdown.store(nth_call);
}

void disarm() noexcept { countdown.store(0); }

bool triggered() noexcept { return fired.load(); }

void fault_point() {
  std::uint64_t left = countdown.load(std::memory_order_relaxed);
  while (left != 0) {
    if (countdown.compare_exchange_weak(left, left - 1)) {
      if (left == 1) {
        fired.store(true);
        throw std::bad_alloc();
      }
      return;
    }
  }
}

}  // namespace tallowmere::fault
#endif
