// condition/evaluator.h: what a parsed condition means against a context Value.
// * eval() never fails: missing data is Nil, comparisons between unrelated kinds
//   are false (true for !=). Numbers compare as 64-bit floats across Integer, F32
//   and F64; everything else compares by Value equality.
// * holds() is the truthiness of eval() without building the result. Literals are
//   prebuilt in the Expr and a path yields a pointer into the context, so it
//   allocates nothing and copies nothing.
// * holds_in_slots() is the routing fast path. Routing copies one value per path
//   in a prefix-free list (the "slots"); every path a condition reads extends
//   exactly one of them, so a PathBinding per path of the Expr says which slot to
//   start from and how many segments that slot already covers. It answers exactly
//   as holds() does on the Map that insert_path would build from the same slots:
//   a slot left empty is Nil, and a path through Nil, like a path through a
//   missing key, is Nil.
// * Recursion follows the nesting of the Expr, which the parser bounds; and/or
//   chains of any length are walked in a loop.
// Cost: one pass over the nodes evaluated (short-circuit skips the rest), plus a
// linear scan of each Map a path passes through. Threads: pure, read-only.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/value.h"
#include "condition/parser.h"

namespace tallowmere::condition {

// Nil never; Boolean when true; numbers when != 0 (NaN is truthy); String, Binary,
// Array and Map when not empty; Ext always.
bool is_truthy(const Value& v) noexcept;

// Tests and fuzzers only: the reference evaluation over a whole context Map, which
// holds_in_slots must agree with. Routing never builds such a Map.
Value eval(const Expr& expr, const Value& context);
bool holds(const Expr& expr, const Value& context) noexcept;

struct PathBinding {
  std::uint32_t slot;     // index of the value the path starts from
  std::uint32_t covered;  // leading segments of the path that the slot's own path holds
};
// `bindings` has one entry per path of `expr` (Expr::path_count), each naming a slot
// that exists in `slots`.
bool holds_in_slots(const Expr& expr, const PathBinding* bindings, const Value* slots) noexcept;

// Appends each path `expr` reads, in left-to-right order, unless an equal path is
// already in `paths` (those already there count too).
void collect_paths(const Expr& expr, std::vector<Path>& paths);

}  // namespace tallowmere::condition
