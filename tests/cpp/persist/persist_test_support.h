// Helpers of the store file tests: a temporary directory and whole-file reads.
#pragma once

#include <doctest/doctest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

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
