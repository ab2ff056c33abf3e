// Snapshot files: round trips of images and delta chains against std::map models,
// every bit flip of a small file, a torn tail cut before the next append, and
// processes killed at each step of a save. (Cuts at every offset: the log's tests.)
#include <doctest/doctest.h>

#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "fault_loop.h"
#include "persist/format.h"
#include "persist/loader.h"
#include "persist/snapshot_file.h"
#include "persist_test_support.h"

namespace {

const std::vector<std::string> kNames = {"", "a", "ab", "users", "t1", "t10", "\xc3\xa9t\xc3\xa9", "\xf0\x9f\x98\x80"};

// A chain: a store, the snapshots taken after each round of random writes, and the
// model each one must load as.
struct Chain {
  std::unique_ptr<Store> store = std::make_unique<Store>(0);
  std::vector<SnapshotRef> snapshots;
  std::vector<Model> models;
};

void random_writes(Store& store, std::mt19937& random, int count) {
  for (int i = 0; i < count; ++i) {
    const std::string& name = kNames[random() % kNames.size()];
    const std::string key = kNames[random() % kNames.size()] + std::to_string(random() % 5);
    if (random() % 4 == 0) {
      store.delete_key(name, key);
    } else {
      store.set(name, key, value_of(std::string(random() % 3, static_cast<char>('a' + random() % 26))));
    }
  }
}

Chain make_chain(unsigned seed, int rounds, int writes_per_round) {
  Chain chain;
  std::mt19937 random(seed);
  for (int round = 0; round <= rounds; ++round) {
    random_writes(*chain.store, random, round == 0 ? writes_per_round * 3 : writes_per_round);
    chain.snapshots.push_back(chain.store->snapshot());
    chain.models.push_back(contents(*chain.snapshots.back()));
  }
  return chain;
}

// The image of the first snapshot followed by a delta to each later one; `ends`
// gets the offset where each record ends.
std::string chain_file(const Chain& chain, std::vector<std::size_t>& ends) {
  std::string bytes = encode_image_file(*chain.snapshots[0]);
  ends = {bytes.size()};
  for (std::size_t i = 1; i < chain.snapshots.size(); ++i) {
    bytes += encode_delta_record(*chain.snapshots[i - 1], *chain.snapshots[i]);
    ends.push_back(bytes.size());
  }
  return bytes;
}

void check_state(const SnapshotData& state, const Model& model) {
  CHECK(contents(state) == model);
  CHECK(state.entry_count() == model.size());
  CHECK(state.size_bytes == total_bytes(model));
}

}  // namespace

TEST_CASE("snapshot file: every bit flipped anywhere before the mark is reported as damage") {
  const Chain chain = make_chain(5, 2, 4);
  std::vector<std::size_t> ends;
  std::string bytes = chain_file(chain, ends);
  // The mark of a file whose every record was synced: it covers the last one.
  const persist::Mark mark{2, ends[ends.size() - 2], ends.back()};
  const persist::HeaderBytes header = persist::encode_file_header(chain.store->lineage(), mark);
  bytes.replace(0, header.size(), reinterpret_cast<const char*>(header.data()), header.size());
  const std::size_t unused_slot = persist::kMarkSlotOffset + persist::kMarkSlotBytes * ((mark.sequence + 1) % 2);
  for (std::size_t at = 0; at < bytes.size(); ++at) {
    if (at >= unused_slot && at < unused_slot + persist::kMarkSlotBytes) continue;  // never written: ignored
    for (int bit = 0; bit < 8; ++bit) {
      bytes[at] = static_cast<char>(bytes[at] ^ (1 << bit));
      auto loaded = parse_snapshot_file(bytes);
      bytes[at] = static_cast<char>(bytes[at] ^ (1 << bit));
      INFO("at ", at, ", bit ", bit);
      REQUIRE_FALSE(loaded.ok());
      CHECK(loaded.error().kind == PersistError::Kind::kDamage);
    }
  }
}

TEST_CASE("snapshot file: hostile lengths and counts are refused before anything is allocated") {
  const Chain chain = make_chain(9, 0, 3);
  std::string bytes = encode_image_file(*chain.snapshots[0]);
  // Any bytes behind a well-formed image header: claim 2^63 bytes of payload.
  std::string huge = bytes.substr(0, 96 + 40);
  auto truncated = parse_snapshot_file(huge);
  REQUIRE_FALSE(truncated.ok());  // the image is never treated as torn
  CHECK(truncated.error().message.find("offset 96") != std::string::npos);
  // An unknown version names its offset.
  std::string future = bytes;
  future[8] = 3;
  auto refused = parse_snapshot_file(future);
  REQUIRE_FALSE(refused.ok());
  CHECK(refused.error().message.find("offset 8: unknown format version 3") != std::string::npos);
}

TEST_CASE("snapshot file: save, append and load through the file system") {
  TempDir dir;
  const std::string path = dir.path + "/state.snap";
  const Chain chain = make_chain(11, 4, 8);
  REQUIRE(save_image(path, *chain.snapshots[0]).ok());
  for (std::size_t i = 1; i < chain.snapshots.size(); ++i) {
    REQUIRE(append_delta(path, *chain.snapshots[i - 1], *chain.snapshots[i]).ok());
  }
  auto loaded = load_snapshot_file(path);
  REQUIRE(loaded.ok());
  check_state(loaded.value().state, chain.models.back());
  CHECK(dir.entries() == std::vector<std::string>{"state.snap"});

  SUBCASE("a torn tail is cut before the next delta is appended") {
    const std::string whole = read_file(path);
    Store& store = *chain.store;
    // A crash cut a long append short (before its mark was written); the next delta is
    // shorter than what was left of it, so only cutting first keeps garbage out.
    store.set("late", "k", value_of(std::string(3000, 'v')));
    const std::string long_delta = encode_delta_record(*chain.snapshots.back(), *store.snapshot());
    write_file(path, whole + long_delta.substr(0, long_delta.size() - 5));
    auto torn = load_snapshot_file(path);
    REQUIRE(torn.ok());
    REQUIRE(torn.value().torn);
    CHECK(torn.value().torn->offset == whole.size());
    store.set("late", "k", value_of("short"));
    const SnapshotRef next = store.snapshot();
    REQUIRE(append_delta(path, *chain.snapshots.back(), *next).ok());
    auto after = load_snapshot_file(path);
    REQUIRE(after.ok());
    CHECK_FALSE(after.value().torn);
    check_state(after.value().state, contents(*next));
  }

  SUBCASE("an append whose base does not end the file changes nothing") {
    const std::string before = read_file(path);
    Store other(0);
    const SnapshotRef foreign = other.snapshot();
    const struct {
      const SnapshotData& base;
      const SnapshotData& record;
      const char* message;
    } refusals[] = {
        {*chain.snapshots[1], *chain.snapshots.back(), "last complete record is snapshot 5, not the base snapshot 2"},
        {*foreign, *chain.snapshots.back(), "base is a snapshot of another store"},
        {*foreign, *foreign, "the file holds snapshots of another store"},
    };
    for (const auto& refusal : refusals) {
      auto refused = append_delta(path, refusal.base, refusal.record);
      REQUIRE_FALSE(refused.ok());
      CHECK(refused.error().kind == PersistError::Kind::kMismatch);
      CHECK(refused.error().message.find(refusal.message) != std::string::npos);
    }
    CHECK(read_file(path) == before);
  }
}

TEST_CASE("snapshot file: a failed allocation while saving or loading leaves the old file and no temporary file") {
  TempDir dir;
  const std::string path = dir.path + "/state.snap";
  const Chain chain = make_chain(19, 2, 8);
  REQUIRE(save_image(path, *chain.snapshots[0]).ok());
  const std::string before = read_file(path);
  const int load_failures = fail_each_allocation([&] { (void)load_snapshot_file(path); }, [] {});
  const int save_failures = fail_each_allocation([&] {
    const bool saved = save_image(path, *chain.snapshots[0]).ok();  // outside REQUIRE, which would catch bad_alloc
    REQUIRE(saved);
  }, [&] {
    CHECK(read_file(path) == before);
    CHECK(dir.entries() == std::vector<std::string>{"state.snap"});
  });
  const int append_failures = fail_each_allocation(
      [&] {
        const bool appended = append_delta(path, *chain.snapshots[0], *chain.snapshots[1]).ok();
        REQUIRE(appended);
      },
      [&] { CHECK(read_file(path) == before); });
  if (fault::kEnabled) CHECK((load_failures > 0 && save_failures > 0 && append_failures > 0));
  auto loaded = load_snapshot_file(path);
  REQUIRE(loaded.ok());
  check_state(loaded.value().state, chain.models[1]);
}

TEST_CASE("snapshot file: an append waiting on a file that a save replaces goes to the new file") {
  TempDir dir;
  const std::string path = dir.path + "/state.snap", replacement = dir.path + "/replacement.snap";
  const Chain chain = make_chain(17, 1, 6);
  REQUIRE(save_image(path, *chain.snapshots[0]).ok());
  REQUIRE(save_image(replacement, *chain.snapshots[0]).ok());
  const int held = ::open(path.c_str(), O_RDONLY);  // keeps the first file, and its lock, reachable
  REQUIRE(::flock(held, LOCK_EX) == 0);
  bool appended = false;
  std::thread appender([&] { appended = append_delta(path, *chain.snapshots[0], *chain.snapshots[1]).ok(); });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));  // usually enough to be waiting on the lock
  REQUIRE(::rename(replacement.c_str(), path.c_str()) == 0);
  REQUIRE(::flock(held, LOCK_UN) == 0);
  appender.join();
  CHECK(appended);
  auto loaded = load_snapshot_file(path);
  REQUIRE(loaded.ok());
  check_state(loaded.value().state, chain.models[1]);
  struct stat first {};
  REQUIRE(::fstat(held, &first) == 0);
  CHECK(first.st_size == static_cast<off_t>(encode_image_file(*chain.snapshots[0]).size()));  // untouched
  ::close(held);
}

TEST_CASE("snapshot file: a save killed at any step leaves the old state or the new one") {
  TempDir dir;
  const std::string path = dir.path + "/state.snap";
  const Chain chain = make_chain(13, 2, 10);
  struct Step {
    SaveStage stage;
    bool delta;
    std::size_t expect;  // which model the file must load as afterwards
  };
  const Step steps[] = {
      {SaveStage::kTempWritten, false, 0}, {SaveStage::kTempSynced, false, 0}, {SaveStage::kRenamed, false, 1},
      {SaveStage::kDirSynced, false, 1},   {SaveStage::kDeltaWritten, true, 2},
  };
  for (const Step& step : steps) {
    CAPTURE(static_cast<int>(step.stage));
    REQUIRE(save_image(path, *chain.snapshots[step.delta ? 1 : 0]).ok());
    save_killed_at(step.stage, [&](SaveObserver observer) {
      (void)(step.delta ? append_delta(path, *chain.snapshots[1], *chain.snapshots[2], observer).ok()
                        : save_image(path, *chain.snapshots[1], observer).ok());
    });
    auto loaded = load_snapshot_file(path);
    REQUIRE(loaded.ok());
    CHECK_FALSE(loaded.value().torn);
    check_state(loaded.value().state, chain.models[step.expect]);
    for (const std::string& name : dir.entries()) {
      if (name != "state.snap") ::unlink((dir.path + "/" + name).c_str());  // the killed save's temporary file
    }
  }
}
