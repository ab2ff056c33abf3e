// Helpers of the store file tests: a temporary directory, whole-file reads, and a
// save killed at a chosen step.
#pragma once

#include <doctest/doctest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "persist/snapshot_file.h"
#include "test_store_support.h"

struct TempDir {
  std::string path;
  TempDir() {
    char name[] = "/tmp/tm-persist-XXXXXX";
    REQUIRE(::mkdtemp(name) != nullptr);
    path = name;
  }
  ~TempDir() {
    std::error_code ignored;  // a destructor must not throw
    std::filesystem::remove_all(path, ignored);
  }
  std::vector<std::string> entries() const {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(path)) names.push_back(entry.path().filename());
    return names;
  }
};

inline std::string read_file(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  REQUIRE(file);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

inline void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
  REQUIRE(file);
}

// Runs `save(observer)` in a forked child whose observer kills it with SIGKILL when
// the save reaches `stage`, and checks that the child died there.
template <class Save>
void save_killed_at(SaveStage stage, Save&& save) {
  static SaveStage kill_at;
  kill_at = stage;
  const pid_t child = ::fork();
  REQUIRE(child >= 0);
  if (child == 0) {
    save(+[](SaveStage at) {
      if (at == kill_at) ::raise(SIGKILL);
    });
    ::_exit(1);  // not reached when the stage is hit
  }
  int status = 0;
  REQUIRE(::waitpid(child, &status, 0) == child);
  CHECK((WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL));
}
