// condition/encoded.h: a condition tested against one MessagePack-encoded value.
// * holds_encoded() answers as holds() would on the decoded tree, but decodes only
//   the values at the condition's paths and reads past everything else, so a
//   store can filter values without building them.
// * Apart from the evaluator so that the condition language itself needs no
//   codec: this is the one place where the two meet.
// Threads: pure, read-only.
#pragma once

#include <string_view>

#include "condition/parser.h"

namespace tallowmere::condition {

// holds() against one MessagePack-encoded value, as if it were decoded into a Value
// tree first: only the values at the condition's paths are decoded, everything
// else is read past. Bytes that cannot be read along a path (malformed, cut short,
// an extension type) hold nothing; std::bad_alloc propagates.
bool holds_encoded(const Expr& expr, std::string_view msgpack);

}  // namespace tallowmere::condition
