#include "store/snapshot.h"

#include <ctime>

namespace tallowmere {

std::uint64_t SnapshotData::entry_count() const noexcept {
  std::uint64_t total = 0;
  for (std::uint64_t entries : shard_entries) total += entries;
  return total;
}

double wall_clock_seconds() noexcept {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0.0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1000000000.0;
}

}  // namespace tallowmere
