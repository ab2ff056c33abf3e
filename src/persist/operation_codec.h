// persist/operation_codec.h: operations as record payloads (format.md: the
// operations payload). A delta of a snapshot file, a record of a durable store's
// log and a record shared by replicas are all this encoding, read by one decoder.
// * An add is encoded as the set it became: a record holds only what happened.
// * Decoding checks everything (operation codes, UTF-8 names, lengths against
//   the bytes left, no trailing bytes) and throws Damage with the offset; the
//   operations it returns view names inside `payload`, which must outlive them.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "store/operation.h"

namespace tallowmere::persist {

void append_operations(std::string& out, std::span<const Operation> operations);

enum class OperationSet { kDelta, kAll };  // a delta holds sets and key deletes only
std::vector<Operation> decode_operations(std::string_view payload, std::uint64_t offset, OperationSet allowed);

}  // namespace tallowmere::persist
