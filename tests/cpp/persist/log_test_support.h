// Helpers of the durable store tests: opening a logged store, and random changes
// of every kind applied to a store and to a std::map model alike.
#pragma once

#include <memory>
#include <random>
#include <string>
#include <vector>

#include "persist/file_log.h"
#include "persist_test_support.h"

struct Opened {
  std::unique_ptr<Store> store;
  std::shared_ptr<persist::FileLog> log;
  persist::OpenReport report;
};

inline Result<Opened, PersistError> try_open(const std::string& path, const persist::LogOptions& options = {}) {
  Opened opened{std::make_unique<Store>(0), nullptr, {}};
  auto log = persist::open_log(path, *opened.store, options, opened.report);
  if (!log) return Result<Opened, PersistError>::failure(log.error());
  opened.log = std::move(log).value();
  return opened;
}

inline Opened open_store(const std::string& path, const persist::LogOptions& options = {}) {
  auto opened = try_open(path, options);
  REQUIRE_MESSAGE(opened.ok(), (opened.ok() ? "" : opened.error().message));
  return std::move(opened).value();
}

// Names from a small pool, so changes collide on pairs, namespaces and shards.
inline std::string pick_namespace(std::mt19937& random) { return "ns" + std::to_string(random() % 6); }
inline std::string pick_key(std::mt19937& random) { return "k" + std::to_string(random() % 8); }

// One random change of any kind, applied to `store` and mirrored in `model`. The store
// is called before the model changes, and never inside CHECK (which would swallow a
// failure that the fault tests need to see).
// `kept` holds snapshots a later change may restore.
inline void random_change(Store& store, Model& model, std::mt19937& random, std::vector<SnapshotRef>& kept) {
  const std::string ns = pick_namespace(random), key = pick_key(random);
  const std::string value(random() % 40, static_cast<char>('a' + random() % 26));
  const auto erase_namespace = [&](const std::string& name) {
    for (auto it = model.begin(); it != model.end();) it = it->first.first == name ? model.erase(it) : std::next(it);
  };
  switch (random() % 20) {
    case 0: case 1: case 2: case 3: case 4:
      store.set(ns, key, value_of(value));
      model[{ns, key}] = value;
      break;
    case 5: case 6: {
      std::vector<WriteItem> items;
      for (int i = 0; i < 3; ++i) {
        const std::string other = pick_namespace(random), other_key = pick_key(random);
        items.push_back({other, other_key, value_of(value + std::to_string(i))});
        model[{other, other_key}] = value + std::to_string(i);
      }
      store.set_many(std::move(items));
      break;
    }
    case 7: {
      const std::string second_key = key + "b";  // views must outlive the call
      store.set_many_atomic({{ns, key, value_of(value)}, {ns, second_key, value_of(value)}});
      model[{ns, key}] = model[{ns, second_key}] = value;
      break;
    }
    case 8: case 9: case 10: {
      const bool deleted = store.delete_key(ns, key);
      CHECK(deleted == (model.erase({ns, key}) == 1));
      break;
    }
    case 11: {
      const bool absent = model.count({ns, key}) == 0;
      const bool written = store.add(ns, key, value_of(value));
      CHECK(written == absent);
      if (absent) model[{ns, key}] = value;
      break;
    }
    case 12: {  // the batch's second pair repeats its first: the first wins, and only what was added is logged
      const std::string other = pick_key(random);
      const std::uint64_t written =
          store.add_many({{ns, key, value_of(value + key)}, {ns, key, value_of("lost")}, {ns, other, value_of(value + other)}});
      std::uint64_t added = 0;
      for (const std::string& k : {key, key, other}) added += model.emplace(std::make_pair(ns, k), value + k).second;
      CHECK(written == added);
      break;
    }
    case 13: {
      std::uint64_t count = 0;
      for (const auto& entry : model) count += entry.first.first == ns ? 1 : 0;
      const std::uint64_t deleted = store.delete_namespace(ns);
      CHECK(deleted == count);
      erase_namespace(ns);
      break;
    }
    case 14: {
      const std::string target = pick_namespace(random);
      Model copied;
      for (const auto& entry : model) {
        if (entry.first.first == ns) copied[{target, entry.first.second}] = entry.second;
      }
      const std::uint64_t copied_count = store.copy_namespace(ns, target);
      CHECK(copied_count == copied.size());
      if (ns != target) {
        erase_namespace(target);
        model.insert(copied.begin(), copied.end());
      }
      break;
    }
    case 15: case 16:
      kept.push_back(store.snapshot());
      break;
    case 17:
      if (!kept.empty()) {
        const SnapshotRef& back_to = kept[random() % kept.size()];
        store.restore(*back_to);
        model = contents(*back_to);
      }
      break;
    case 18:
      if (random() % 4 == 0) {
        store.clear();
        model.clear();
      }
      break;
    default:
      CHECK(store.get(ns, key).bytes() == (model.count({ns, key}) ? model[{ns, key}] : std::string()));
      break;
  }
}
