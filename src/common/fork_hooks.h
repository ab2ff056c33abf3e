// common/fork_hooks.h: what must be quiesced around fork(), in one fixed order.
// pthread_atfork runs prepare handlers in the reverse order of registration,
// which would make the lock order depend on which subsystem happened to be used
// first. Here each participant has a rank: prepare handlers run in ascending
// rank (each takes its locks), the parent and child handlers in descending rank.
// A lock of a lower rank may be held while one of a higher rank is taken, never
// the other way round:
//   kOpenLogs (the list of open logs)  <  kStores (store, then log locks)
//   <  kDescriptors (the list of open file descriptors, a leaf).
#pragma once

namespace tallowmere::fork_hooks {

enum class Rank { kOpenLogs = 0, kStores = 1, kDescriptors = 2 };

// Registers the handlers of `rank` (once per rank; later calls are ignored).
void add(Rank rank, void (*prepare)() noexcept, void (*in_parent)() noexcept, void (*in_child)() noexcept) noexcept;

}  // namespace tallowmere::fork_hooks
