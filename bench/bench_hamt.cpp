// Persistent map against std::unordered_map on the same keys, in one process, rounds
// interleaved; prints the median ns per operation of each and their ratio, and the
// heap bytes per entry. Build with the dev tree in Release (target bench_hamt), or:
//   g++ -O2 -DNDEBUG -std=c++20 -mpopcnt -DTALLOWMERE_HAMT_COUNT_NODES=1 -Isrc
//       bench/bench_hamt.cpp src/common/siphash.cpp src/common/fault.cpp -o /tmp/bench_hamt
//   /tmp/bench_hamt [keys]
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <random>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "store/hamt.h"

namespace {

using Clock = std::chrono::steady_clock;
using Map = tallowmere::PersistentMap<std::string, std::uint64_t>;

// std::unordered_map with the same SipHash, so the comparison is about the tables.
struct SipStdHash {
  std::size_t operator()(const std::string& key) const noexcept { return tallowmere::SipHasher{}(key); }
};
using StdMap = std::unordered_map<std::string, std::uint64_t, SipStdHash>;

std::uint64_t sink = 0;

double ns_per_op(std::size_t ops, const std::function<void()>& body) {
  const auto start = Clock::now();
  body();
  const auto elapsed = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
  return elapsed / static_cast<double>(ops);
}

double median(std::vector<double> samples) {
  std::sort(samples.begin(), samples.end());
  return samples[samples.size() / 2];
}

std::size_t heap_in_use() { return mallinfo2().uordblks; }

struct Row {
  const char* name;
  std::vector<double> ours, theirs;
};

}  // namespace

int main(int argc, char** argv) {
  const std::size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
  constexpr int kRounds = 5;
  std::vector<std::string> keys, missing;
  for (std::size_t i = 0; i < n; ++i) keys.push_back("user:" + std::to_string(i * 7919));
  for (std::size_t i = 0; i < n; ++i) missing.push_back("absent:" + std::to_string(i));
  std::vector<std::string> shuffled = keys;
  std::shuffle(shuffled.begin(), shuffled.end(), std::mt19937_64(1));

  Row insert_row{"insert (private, in place)", {}, {}};
  Row find_row{"find hit", {}, {}};
  Row miss_row{"find miss", {}, {}};
  Row update_row{"overwrite", {}, {}};
  Row snapshot_write_row{"snapshot then write (vs full copy)", {}, {}};
  Row iterate_row{"iterate, per entry", {}, {}};
  Row remove_row{"remove all", {}, {}};
  double ours_bytes = 0, theirs_bytes = 0;
  std::int64_t nodes = 0;

  for (int round = 0; round < kRounds; ++round) {
    Map map;
    StdMap table;
    std::size_t heap_before = heap_in_use();
    insert_row.ours.push_back(ns_per_op(n, [&] {
      for (std::size_t i = 0; i < n; ++i) map.insert(keys[i], i);
    }));
    ours_bytes = static_cast<double>(heap_in_use() - heap_before) / static_cast<double>(n);
    nodes = Map::live_nodes();
    heap_before = heap_in_use();
    insert_row.theirs.push_back(ns_per_op(n, [&] {
      for (std::size_t i = 0; i < n; ++i) table.emplace(keys[i], i);
    }));
    theirs_bytes = static_cast<double>(heap_in_use() - heap_before) / static_cast<double>(n);

    find_row.ours.push_back(ns_per_op(n, [&] {
      for (const std::string& key : shuffled) sink += *map.find(key);
    }));
    find_row.theirs.push_back(ns_per_op(n, [&] {
      for (const std::string& key : shuffled) sink += table.find(key)->second;
    }));
    miss_row.ours.push_back(ns_per_op(n, [&] {
      for (const std::string& key : missing) sink += map.find(key) != nullptr;
    }));
    miss_row.theirs.push_back(ns_per_op(n, [&] {
      for (const std::string& key : missing) sink += table.find(key) != table.end();
    }));
    update_row.ours.push_back(ns_per_op(n, [&] {
      for (const std::string& key : shuffled) map.insert(key, 7);
    }));
    update_row.theirs.push_back(ns_per_op(n, [&] {
      for (const std::string& key : shuffled) table[key] = 7;
    }));
    // Keeping a version before each write: a clone plus one path copy for us, a
    // whole-table copy for the std map (timed on far fewer writes).
    const std::size_t snapshot_writes = std::min<std::size_t>(n, 100000);
    snapshot_write_row.ours.push_back(ns_per_op(snapshot_writes, [&] {
      for (std::size_t i = 0; i < snapshot_writes; ++i) {
        Map version = map;
        map.insert(shuffled[i], i);
        sink += version.size();
      }
    }));
    const std::size_t copies = std::max<std::size_t>(1, 3000000 / n);
    snapshot_write_row.theirs.push_back(ns_per_op(copies, [&] {
      for (std::size_t i = 0; i < copies; ++i) {
        StdMap version = table;
        table[shuffled[i]] = i;
        sink += version.size();
      }
    }));
    iterate_row.ours.push_back(ns_per_op(n, [&] { map.for_each([&](const std::string&, std::uint64_t v) { sink += v; }); }));
    iterate_row.theirs.push_back(ns_per_op(n, [&] {
      for (const auto& [key, value] : table) sink += value;
    }));
    remove_row.ours.push_back(ns_per_op(n, [&] {
      for (const std::string& key : shuffled) sink += map.remove(key)->second;
    }));
    remove_row.theirs.push_back(ns_per_op(n, [&] {
      for (const std::string& key : shuffled) sink += table.erase(key);
    }));
  }

  std::printf("keys: %zu, rounds: %d (medians), g++ %d.%d, PersistentMap vs std::unordered_map (same SipHash)\n",
              n, kRounds, __GNUC__, __GNUC_MINOR__);
  std::printf("%-38s %12s %12s %8s\n", "operation", "ours ns", "std ns", "ratio");
  for (const Row* row : {&insert_row, &find_row, &miss_row, &update_row, &snapshot_write_row, &iterate_row, &remove_row}) {
    const double ours = median(row->ours), theirs = median(row->theirs);
    std::printf("%-38s %12.1f %12.1f %8.2f\n", row->name, ours, theirs, ours / theirs);
  }
  std::printf("heap bytes per entry (keys inline, 8-byte values): ours %.1f, std %.1f; nodes per key %.3f\n", ours_bytes,
              theirs_bytes, static_cast<double>(nodes) / static_cast<double>(n));
  return sink == 42 ? 1 : 0;
}
