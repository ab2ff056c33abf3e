// Many threads changing one durable store, with compactions racing them: the log
// must hold the changes in the order the maps applied them, so the reopened store
// equals the live one byte for byte (changes to shared pairs collide all the
// time, so a record out of order shows). Run under ThreadSanitizer as well.
#include <doctest/doctest.h>

#include <thread>

#include "log_test_support.h"

TEST_CASE("file log threads: writers and compactions replay to exactly the live state") {
  for (const persist::SyncMode mode : {persist::SyncMode::kAlways, persist::SyncMode::kNever}) {
    CAPTURE(static_cast<int>(mode));
    TempDir dir;
    const std::string path = dir.path + "/store.db";
    const persist::LogOptions options{.mode = mode, .compact_min_bytes = 4096};
    Opened opened = open_store(path, options);
    std::vector<std::thread> threads;
    for (unsigned t = 0; t < 4; ++t) {
      threads.emplace_back([&, t] {
        std::mt19937 random(t + 1);
        const std::string name = "own" + std::to_string(t);
        for (int step = 0; step < 250; ++step) {
          opened.store->set(name, std::to_string(step % 9), value_of(std::to_string(step)));
          if (step % 4 == 0) {
            const std::string shared_key = pick_key(random);
            opened.store->set_many_atomic({{"shared", shared_key, value_of(std::to_string(t))}, {name, "batch", value_of("b")}});
            (void)opened.store->delete_key("shared", pick_key(random));
            (void)opened.store->copy_namespace("shared", "copy" + std::to_string(t % 2));
          }
          if (t == 0 && step % 60 == 0) opened.log->compact();
        }
      });
    }
    for (std::thread& thread : threads) thread.join();
    const Model live = contents(*opened.store);
    opened.log->close();
    CHECK(contents(*open_store(path, options).store) == live);
  }
}
