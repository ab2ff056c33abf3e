#include "store/shard.h"

#include <array>
#include <cstring>

#include "common/siphash.h"

namespace tallowmere {

std::size_t shard_index(std::string_view namespace_name) {
  // The hash input is the name plus a 0xFF terminator (no UTF-8 string contains
  // that byte, so "ab" + terminator can never equal another name's input).
  // Short names, the common case, are hashed from the stack without allocating.
  constexpr std::size_t kInline = 256;
  const std::size_t length = namespace_name.size() + 1;
  std::uint64_t hash;
  if (length <= kInline) {
    std::array<char, kInline> input;
    if (!namespace_name.empty()) std::memcpy(input.data(), namespace_name.data(), namespace_name.size());
    input[namespace_name.size()] = static_cast<char>(0xFF);
    hash = siphash13(0, 0, input.data(), length);
  } else {
    std::string input;
    input.reserve(length);
    input.append(namespace_name).push_back(static_cast<char>(0xFF));
    hash = siphash13(0, 0, input.data(), length);
  }
  return static_cast<std::size_t>(hash % kShardCount);
}

}  // namespace tallowmere
