// The durable store: a random walk over every kind of change in each sync mode,
// with the file read back (as a crash would leave it) at every step; power cuts at
// every offset past the last sync; a failure injected at every write, sync,
// rename and truncate; one writer per path; fork; compaction killed at each step.
#include <doctest/doctest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

#include "common/crc32c.h"
#include "fault_loop.h"
#include "log_test_support.h"
#include "persist/replacement.h"

namespace {

using persist::LogOptions;
using persist::SyncMode;

Model loaded_model(const std::string& bytes) {
  auto loaded = parse_snapshot_file(bytes);
  REQUIRE_MESSAGE(loaded.ok(), (loaded.ok() ? "" : loaded.error().message));
  CHECK_FALSE(loaded.value().torn);
  return contents(loaded.value().state);
}

}  // namespace

TEST_CASE("file log: what the file holds at every step replays to the live state, in every mode") {
  for (const SyncMode mode : {SyncMode::kAlways, SyncMode::kInterval, SyncMode::kNever}) {
    CAPTURE(static_cast<int>(mode));
    TempDir dir;
    const std::string path = dir.path + "/store.db";
    // A small compaction threshold: the log compacts on its own every few dozen changes.
    const LogOptions options{.mode = mode, .interval_seconds = 0.001, .compact_min_bytes = 2048};
    Opened opened = open_store(path, options);
    Model model;
    std::vector<SnapshotRef> kept;
    std::mt19937 random(static_cast<unsigned>(mode) + 7);
    for (int step = 0; step < 400; ++step) {
      CAPTURE(step);
      random_change(*opened.store, model, random, kept);
      REQUIRE(contents(*opened.store) == model);
      // Every record is in the OS once its call returns: a killed process leaves this.
      if (step % 7 == 0) REQUIRE(loaded_model(read_file(path)) == model);
      if (step == 200) opened.log->compact();
    }
    opened.log->close();
    const std::uint64_t before = opened.store->entry_count();
    Opened reopened = open_store(path, options);
    CHECK(contents(*reopened.store) == model);
    CHECK(reopened.store->entry_count() == before);
    CHECK_FALSE(reopened.report.torn);
    CHECK(dir.entries() == std::vector<std::string>{"store.db"});
  }
}

TEST_CASE("file log: a power cut anywhere past the last sync keeps every synced change") {
  TempDir dir;
  const std::string path = dir.path + "/store.db";
  const LogOptions options{.mode = SyncMode::kNever};
  Opened opened = open_store(path, options);
  for (int i = 0; i < 5; ++i) opened.store->set("synced", std::to_string(i), value_of("s"));
  opened.log->flush();  // syncs and marks: what follows may be lost, never what precedes
  std::vector<std::pair<std::size_t, Model>> ends = {{read_file(path).size(), contents(*opened.store)}};
  for (int i = 0; i < 4; ++i) {
    // Records end in a nonzero byte, so zeros after a cut never complete one.
    opened.store->set("late", std::to_string(i), value_of(std::string(i * 7 + 1, 'v')));
    ends.push_back({read_file(path).size(), contents(*opened.store)});
  }
  const std::string bytes = read_file(path);
  for (std::size_t length = 0; length < ends.front().first; length += 7) {  // synced: a cut is damage
    write_file(dir.path + "/cut.db", bytes.substr(0, length));
    auto refused = try_open(dir.path + "/cut.db");
    REQUIRE_FALSE(refused.ok());
    CHECK(refused.error().kind == PersistError::Kind::kDamage);
  }
  std::mt19937 random(3);
  for (std::size_t length = ends.front().first; length <= bytes.size(); ++length) {
    for (const int tail : {0, 1, 2}) {  // nothing, zeros, garbage where unsynced records were
      INFO("length ", length, ", tail ", tail);
      std::string cut = bytes.substr(0, length);
      for (int i = 0; tail != 0 && i < 64; ++i) cut += tail == 1 ? '\0' : static_cast<char>(random());
      const std::string copy = dir.path + "/cut.db";
      write_file(copy, cut);
      std::size_t whole = 0;
      while (whole + 1 < ends.size() && ends[whole + 1].first <= length) ++whole;
      Opened recovered = open_store(copy, options);
      CHECK(contents(*recovered.store) == ends[whole].second);

      CHECK(recovered.report.torn.has_value() == (length != ends[whole].first || tail != 0));
      // Cut off and written after: the next open sees both, and no torn tail.
      recovered.store->set("after", "cut", value_of("x"));
      recovered.log->close();
      Model expected = ends[whole].second;
      expected[{"after", "cut"}] = "x";
      CHECK(contents(*open_store(copy, options).store) == expected);
    }
  }
}

TEST_CASE("file log: a snapshot file of either version opens and goes on as a log") {
  TempDir dir;
  Store source(0);
  for (int i = 0; i < 20; ++i) source.set("ns" + std::to_string(i % 3), std::to_string(i), value_of("v"));
  const SnapshotRef snapshot = source.snapshot();
  const std::string version2 = encode_image_file(*snapshot);
  // The same image as an earlier build wrote it: a 36-byte header, no marks.
  std::string version1 = version2.substr(0, persist::kHeaderBytesV1) + version2.substr(persist::kHeaderBytesV2);
  version1[8] = 1;
  persist::put_le(reinterpret_cast<unsigned char*>(version1.data()) + 32, crc32c(version1.data(), 32), 4);
  for (const std::string* bytes : {static_cast<const std::string*>(&version1), &version2}) {
    const std::string path = dir.path + "/v" + std::to_string(bytes == &version1 ? 1 : 2) + ".db";
    write_file(path, *bytes);
    Opened opened = open_store(path);
    CHECK(opened.report.upgraded == (bytes == &version1));
    opened.store->set("late", "k", value_of("x"));
    opened.log->close();
    Model expected = contents(*snapshot);
    expected[{"late", "k"}] = "x";
    CHECK(contents(*open_store(path).store) == expected);
  }
}

TEST_CASE("file log: a failure at any write, sync, rename or truncate raises and loses no acknowledged change") {
#ifndef TALLOWMERE_FAULT_INJECTION
  MESSAGE("needs a build with TALLOWMERE_FAULT_INJECTION");
#else
  for (const SyncMode mode : {SyncMode::kAlways, SyncMode::kNever}) {
    CAPTURE(static_cast<int>(mode));
    bool finished = false;
    for (std::uint64_t nth = 1; !finished; ++nth) {
      CAPTURE(nth);
      TempDir dir;
      const std::string path = dir.path + "/store.db";
      const LogOptions options{.mode = mode};
      Model acknowledged;
      std::vector<SnapshotRef> kept;
      std::mt19937 random(11);
      persist::io_fault::arm(nth, EIO);
      {
        auto opened = try_open(path, options);
        if (opened.ok()) {
          Store& store = *opened.value().store;
          try {
            for (int step = 0; step < 24; ++step) {
              Model next = acknowledged;
              random_change(store, next, random, kept);
              acknowledged = next;
              if (step == 12) opened.value().log->compact();
            }
            opened.value().log->close();
          } catch (const JournalError& error) {
            CHECK(error.reason() == JournalError::Reason::kIo);
          }
          // A failed call changed nothing that a reader can see.
          CHECK(contents(store) == acknowledged);
        }
      }
      finished = !persist::io_fault::triggered();
      persist::io_fault::disarm();
      Opened reopened = open_store(path, options);
      CHECK(contents(*reopened.store) == acknowledged);
    }
  }
#endif
}

TEST_CASE("file log: one writer per path, and a forked child neither writes nor holds a lock") {
  TempDir dir;
  const std::string path = dir.path + "/store.db";
  Opened opened = open_store(path);
  opened.store->set("ns", "k", value_of("parent"));
  Store second(0);
  persist::OpenReport report;
  auto refused = persist::open_log(path, second, {}, report);
  REQUIRE_FALSE(refused.ok());
  CHECK(refused.error().os_errno == EBUSY);
  // A flock held by another thread when the process forks.
  persist::Descriptor held;
  REQUIRE(persist::open_locked(path, O_RDONLY, LOCK_SH, held) == 0);
  const Lineage parent_lineage = opened.store->lineage();
  int go[2], ready[2];
  REQUIRE((::pipe(go) == 0 && ::pipe(ready) == 0));
  const pid_t child = ::fork();
  REQUIRE(child >= 0);
  if (child == 0) {
    int failures = 0;
    try {
      opened.store->set("ns", "k", value_of("child"));
      ++failures;
    } catch (const JournalError& error) {
      failures += error.reason() == JournalError::Reason::kInherited ? 0 : 1;
    }
    failures += opened.store->get("ns", "k").bytes() == "parent" ? 0 : 1;  // reads work
    failures += opened.store->lineage() != parent_lineage ? 0 : 1;
    (void)!::write(ready[1], "r", 1);
    char byte;
    (void)::read(go[0], &byte, 1);  // alive while the parent reopens
    ::_exit(failures);
  }
  char byte;
  REQUIRE(::read(ready[0], &byte, 1) == 1);  // the child runs, its copies closed at fork
  held.close();
  persist::Descriptor again;
  REQUIRE(persist::open_regular(path, O_RDONLY, again) == 0);
  CHECK(::flock(again.get(), LOCK_EX | LOCK_NB) == 0);  // the child's copy did not keep it
  again.close();
  opened.store->set("ns", "k2", value_of("parent"));
  opened.log->close();
  Opened reopened = open_store(path);  // the child does not hold the writer's lock either
  CHECK(contents(*reopened.store) == Model{{{"ns", "k"}, "parent"}, {{"ns", "k2"}, "parent"}});
  REQUIRE(::write(go[1], "x", 1) == 1);
  int status = 0;
  REQUIRE(::waitpid(child, &status, 0) == child);
  CHECK((WIFEXITED(status) && WEXITSTATUS(status) == 0));
}

TEST_CASE("file log: a compaction killed at any step leaves a path that opens with every change") {
  for (const SaveStage stage : {SaveStage::kTempWritten, SaveStage::kTempSynced, SaveStage::kRenamed,
                                SaveStage::kDirSynced}) {
    CAPTURE(static_cast<int>(stage));
    TempDir dir;
    const std::string path = dir.path + "/store.db";
    save_killed_at(stage, [&](SaveObserver observer) {
      Opened opened = open_store(path, {.compaction_observer = observer});
      for (int i = 0; i < 50; ++i) opened.store->set("ns" + std::to_string(i % 3), std::to_string(i), value_of("v"));
      opened.log->compact();
    });
    Opened reopened = open_store(path);
    CHECK(reopened.store->entry_count() == 50);
    CHECK(dir.entries() == std::vector<std::string>{"store.db"});  // the temporary file is gone
  }
}
