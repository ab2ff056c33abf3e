// Clones live and die on other threads while one writer edits the map: the writer's
// uniqueness tests race with those drops. Under -DTALLOWMERE_SANITIZE=thread this
// checks the memory orders of the counts; in every build it checks contents.
#include <mutex>
#include <optional>
#include <thread>

#include "hamt_test_support.h"

using namespace hamt_test;

namespace {

long weight(const std::string& key, int number) { return number * 31 + static_cast<long>(key.size()); }

long checksum_of(const TestMap<NarrowHasher>& map) {
  long sum = 0;
  map.for_each([&](const std::string& key, const Val& value) { sum += weight(key, value->number); });
  return sum;
}

}  // namespace

TEST_CASE("hamt: readers verify and drop clones while the writer edits in place") {
  // Each reader takes a clone out of its own mailbox and drops it after checking it,
  // often while the writer is mid-batch: the writer then finds those nodes unique
  // and edits them in place with no lock between the reader's reads and its writes.
  // Only the acquire in the uniqueness test orders the two.
  LeakCheck leaks;
  {
    struct Published {
      TestMap<NarrowHasher> map;
      std::size_t size = 0;
      long checksum = 0;
    };
    struct Mailbox {
      std::mutex mutex;
      std::optional<Published> clone;
    };
    Mailbox mailboxes[3];
    std::atomic<bool> done{false};
    std::atomic<long> verified{0};
    std::vector<std::thread> readers;
    for (Mailbox& mine : mailboxes) {
      readers.emplace_back([&] {
        while (!done.load(std::memory_order_acquire)) {
          std::optional<Published> held;
          {
            std::lock_guard lock(mine.mutex);
            held.swap(mine.clone);
          }
          if (!held) {
            std::this_thread::yield();
            continue;
          }
          REQUIRE(held->map.size() == held->size);
          REQUIRE(checksum_of(held->map) == held->checksum);
          verified.fetch_add(1, std::memory_order_relaxed);
        }
      });
    }

    std::mt19937_64 rng(51);
    TestMap<NarrowHasher> map;
    long checksum = 0;
    for (int write = 0; write < 20000; ++write) {
      const std::string key = key_name(rng() % 500);
      const int number = static_cast<int>(rng() % 1000);
      if (rng() % 3 == 0) {
        if (auto removed = map.remove(key)) checksum -= weight(key, removed->second->number);
      } else if (Val* existing = map.find_for_update(key)) {
        checksum += weight(key, number) - weight(key, (*existing)->number);
        *existing = make_val(number);
      } else {
        map.insert(key, make_val(number));
        checksum += weight(key, number);
      }
      if (write % 32 == 0) {
        for (Mailbox& mailbox : mailboxes) {
          std::lock_guard lock(mailbox.mutex);
          if (!mailbox.clone) mailbox.clone = Published{map, map.size(), checksum};
        }
      }
    }
    // The writer can finish before a reader is first scheduled: let them check what
    // is still posted before stopping them.
    while (verified.load(std::memory_order_relaxed) == 0) std::this_thread::yield();
    done.store(true, std::memory_order_release);
    for (auto& reader : readers) reader.join();
    for (Mailbox& mailbox : mailboxes) mailbox.clone.reset();
    CHECK(checksum_of(map) == checksum);
    CHECK(verified.load() > 0);
  }
  leaks.verify();
}
