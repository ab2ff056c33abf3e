// Saving and appending snapshots while other threads write to the same store and
// take snapshots of it: the encoder walks maps that writers are path-copying around
// it. Run under ThreadSanitizer as well as normally; each file must load as exactly
// the snapshot it was saved from.
#include <doctest/doctest.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

#include "persist/loader.h"
#include "persist/snapshot_file.h"
#include "test_store_support.h"

TEST_CASE("snapshot file threads: saves and appends run beside writers and snapshots") {
  char directory[] = "/tmp/tm-snapshot-threads-XXXXXX";
  REQUIRE(::mkdtemp(directory) != nullptr);
  const std::string path = std::string(directory) + "/s.snap";
  Store store(0);
  for (int i = 0; i < 2000; ++i) store.set("ns" + std::to_string(i % 16), std::to_string(i), value_of("v"));
  std::atomic<bool> stop{false};
  std::vector<std::thread> writers;
  for (int w = 0; w < 2; ++w) {
    writers.emplace_back([&, w] {
      for (int i = 0; !stop.load(std::memory_order_relaxed); ++i) {
        const std::string name = "ns" + std::to_string((i + w) % 16);
        if (i % 3 == 0) store.delete_key(name, std::to_string(i % 2000));
        store.set(name, std::to_string(i % 2500), value_of(std::to_string(i)));
        if (i % 50 == 0) (void)store.snapshot();
      }
    });
  }
  SnapshotRef base = store.snapshot();
  REQUIRE(save_image(path, *base).ok());
  for (int round = 0; round < 12; ++round) {
    const SnapshotRef next = store.snapshot();
    REQUIRE((round % 4 == 0 ? save_image(path, *next) : append_delta(path, *base, *next)).ok());
    auto loaded = load_snapshot_file(path);
    REQUIRE(loaded.ok());
    CHECK(contents(loaded.value().state) == contents(*next));
    base = next;
  }
  stop = true;
  for (std::thread& writer : writers) writer.join();
  (void)std::system(("rm -rf '" + std::string(directory) + "'").c_str());
}
