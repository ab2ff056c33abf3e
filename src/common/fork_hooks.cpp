#include "common/fork_hooks.h"

#include <pthread.h>

#include <array>
#include <atomic>
#include <mutex>

namespace tallowmere::fork_hooks {
namespace {

constexpr int kRanks = 3;

struct Hooks {
  std::atomic<void (*)() noexcept> prepare{nullptr};
  std::atomic<void (*)() noexcept> in_parent{nullptr};
  std::atomic<void (*)() noexcept> in_child{nullptr};
};

std::array<Hooks, kRanks>& table() noexcept {
  static std::array<Hooks, kRanks> hooks;
  return hooks;
}

void prepare_all() noexcept {
  for (int r = 0; r < kRanks; ++r) {
    if (auto* f = table()[r].prepare.load()) f();
  }
}
void parent_all() noexcept {
  for (int r = kRanks; r-- > 0;) {
    if (auto* f = table()[r].in_parent.load()) f();
  }
}
void child_all() noexcept {
  for (int r = kRanks; r-- > 0;) {
    if (auto* f = table()[r].in_child.load()) f();
  }
}

}  // namespace

void add(Rank rank, void (*prepare)() noexcept, void (*in_parent)() noexcept, void (*in_child)() noexcept) noexcept {
  static std::once_flag registered;
  std::call_once(registered, [] { pthread_atfork(&prepare_all, &parent_all, &child_all); });
  Hooks& hooks = table()[static_cast<int>(rank)];
  if (hooks.prepare.load() != nullptr) return;
  // The child and parent handlers go in before prepare: a fork that sees prepare
  // must also see the handlers that undo it.
  hooks.in_child.store(in_child);
  hooks.in_parent.store(in_parent);
  hooks.prepare.store(prepare);
}

}  // namespace tallowmere::fork_hooks
