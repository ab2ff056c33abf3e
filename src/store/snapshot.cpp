#include "store/snapshot.h"

#include <atomic>
#include <chrono>
#include <cstring>
#include <ctime>

#include "common/siphash.h"

namespace tallowmere {

std::uint64_t SnapshotData::entry_count() const noexcept {
  std::uint64_t total = 0;
  for (std::uint64_t entries : shard_entries) total += entries;
  return total;
}

Lineage new_lineage() noexcept {
  Lineage lineage{};
  if (fill_os_random(lineage.data(), lineage.size())) return lineage;
  // No OS randomness: a process-wide counter, the clock and the seed still keep
  // two stores of one run, and of two runs, apart in practice.
  static std::atomic<std::uint64_t> counter{0};
  const std::uint64_t parts[2] = {
      counter.fetch_add(1, std::memory_order_relaxed),
      static_cast<std::uint64_t>(std::chrono::system_clock::now().time_since_epoch().count())};
  const std::uint64_t halves[2] = {siphash13(process_hash_seed(0), parts[0], parts, sizeof parts),
                                   siphash13(process_hash_seed(1), parts[1], parts, sizeof parts)};
  std::memcpy(lineage.data(), halves, sizeof halves);
  return lineage;
}

double wall_clock_seconds() noexcept {
  timespec now{};
  if (clock_gettime(CLOCK_REALTIME, &now) != 0 || now.tv_sec < 0) return 0.0;
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1000000000.0;
}

}  // namespace tallowmere
