#include "condition/evaluator.h"

#include <optional>
#include <string_view>
#include <unordered_set>

namespace tallowmere::condition {
namespace {

using NodeId = Expr::NodeId;

// Results that are not part of the expression or the context. Immutable after
// static initialisation, so concurrent evaluations may share them.
const Value kNil = Value::nil();
const Value kTrue = Value::boolean(true);
const Value kFalse = Value::boolean(false);

const Value& boolean(bool b) noexcept { return b ? kTrue : kFalse; }

// Defined here, ahead of its callers, so that evaluation inlines it.
inline bool truthy(const Value& v) noexcept {
  switch (v.kind()) {
    case Value::Kind::Nil: return false;
    case Value::Kind::Boolean: return v.as_bool();
    case Value::Kind::Integer: return v.as_u64() != 0;
    case Value::Kind::F32: return v.as_f32() != 0.0f;
    case Value::Kind::F64: return v.as_f64() != 0.0;
    case Value::Kind::String:
    case Value::Kind::Binary: return !v.bytes().empty();
    case Value::Kind::Array: return !v.items().empty();
    case Value::Kind::Map: return !v.pairs().empty();
    case Value::Kind::Ext: return true;
  }
  return false;
}

// The value at `path[from..]` below `start`: each step needs a Map and takes its
// first pair with an equal String key; anything else is Nil.
const Value& descend(const Value& start, const Path& path, std::size_t from) noexcept {
  const Value* current = &start;
  for (std::size_t i = from; i < path.size(); ++i) {
    if (!current->is_map()) return kNil;
    const std::string& segment = path[i];
    const Value* found = nullptr;
    for (const Value::Pair& pair : current->pairs()) {
      // Only String keys match; the first equal one wins when keys repeat.
      if (pair.first.is_string() && pair.first.bytes() == segment) {
        found = &pair.second;
        break;
      }
    }
    if (found == nullptr) return kNil;
    current = found;
  }
  return *current;
}

// Where a Path node's value comes from: the whole context, or routing's slots.
struct ContextPaths {
  const Value& context;
  const Value& operator()(const Expr& expr, const Expr::Node& n) const noexcept {
    return descend(context, expr.path(n), 0);
  }
};

struct SlotPaths {
  const PathBinding* bindings;
  const Value* slots;
  const Value& operator()(const Expr& expr, const Expr::Node& n) const noexcept {
    const PathBinding& binding = bindings[n.first];
    return descend(slots[binding.slot], expr.path(n), binding.covered);
  }
};

// Equality as `==` sees it: numbers of any kind by float value, the rest by Value equality.
bool loosely_equal(const Value& a, const Value& b) noexcept {
  if (a.is_number() && b.is_number()) return a.to_double() == b.to_double();
  if (a.kind() != b.kind()) return false;
  if (a.is_string()) return a.bytes() == b.bytes();  // the common case, without the general walk
  return a == b;
}

bool ordered(CmpOp op, const Value& a, const Value& b) noexcept {
  if (a.is_number() && b.is_number()) {
    const double x = a.to_double();
    const double y = b.to_double();
    switch (op) {
      case CmpOp::Lt: return x < y;  // every comparison with NaN is false
      case CmpOp::Le: return x <= y;
      case CmpOp::Gt: return x > y;
      default: return x >= y;
    }
  }
  if (a.is_string() && b.is_string()) {
    // Byte-wise lexicographic: std::char_traits<char> compares as unsigned char.
    const int order = std::string_view(a.bytes()).compare(b.bytes());
    switch (op) {
      case CmpOp::Lt: return order < 0;
      case CmpOp::Le: return order <= 0;
      case CmpOp::Gt: return order > 0;
      default: return order >= 0;
    }
  }
  return false;
}

bool contains(const Value& haystack, const Value& needle) noexcept {
  switch (haystack.kind()) {
    case Value::Kind::String:
      return needle.is_string() && haystack.bytes().find(needle.bytes()) != std::string::npos;
    case Value::Kind::Array:
      for (const Value& item : haystack.items()) {
        if (loosely_equal(needle, item)) return true;
      }
      return false;
    case Value::Kind::Map:
      for (const Value::Pair& pair : haystack.pairs()) {
        if (loosely_equal(needle, pair.first)) return true;
      }
      return false;
    default: return false;
  }
}

bool compare(CmpOp op, const Value& a, const Value& b) noexcept {
  switch (op) {
    case CmpOp::Eq: return loosely_equal(a, b);
    case CmpOp::Ne: return !loosely_equal(a, b);
    case CmpOp::In: return contains(b, a);
    default: return ordered(op, a, b);
  }
}

template <class Paths>
const Value& evaluate(const Expr& expr, NodeId id, const Paths& paths) noexcept;

// A path's or literal's value, or null for an inner node.
template <class Paths>
inline const Value* leaf_value(const Expr& expr, const Expr::Node& n, const Paths& paths) noexcept {
  if (n.kind == Expr::Kind::Path) return &paths(expr, n);
  if (n.kind <= Expr::Kind::Null) return &expr.literal(n);  // the literal kinds come first
  return nullptr;
}

// Leaves, and comparisons between leaves, are answered in place: they are most of
// any condition, and a call plus a dispatch per node would be most of its cost.
template <class Paths>
inline const Value& operand(const Expr& expr, NodeId id, const Paths& paths) noexcept {
  const Expr::Node& n = expr.node(id);
  if (const Value* v = leaf_value(expr, n, paths)) return *v;
  if (n.kind == Expr::Kind::Cmp) {
    const Value* left = leaf_value(expr, expr.node(n.first), paths);
    if (left == nullptr) left = &evaluate(expr, n.first, paths);
    const Value* right = leaf_value(expr, expr.node(n.second), paths);
    if (right == nullptr) right = &evaluate(expr, n.second, paths);
    return boolean(compare(n.op, *left, *right));
  }
  return evaluate(expr, id, paths);
}

// The value of a node, borrowed from the expression, the context or the constants above.
template <class Paths>
const Value& evaluate(const Expr& expr, NodeId id, const Paths& paths) noexcept {
  const Expr::Node& n = expr.node(id);
  switch (n.kind) {
    case Expr::Kind::Str:
    case Expr::Kind::Int:
    case Expr::Kind::Float:
    case Expr::Kind::Bool:
    case Expr::Kind::Null: return expr.literal(n);
    case Expr::Kind::Path: return paths(expr, n);
    case Expr::Kind::Not: return boolean(!truthy(operand(expr, n.first, paths)));
    case Expr::Kind::Cmp: {
      const Value& left = operand(expr, n.first, paths);
      const Value& right = operand(expr, n.second, paths);
      return boolean(compare(n.op, left, right));
    }
    case Expr::Kind::And:
    case Expr::Kind::Or: {
      // Stop at the first operand that decides the chain: a falsy one for And, a truthy one for Or.
      const bool deciding = n.kind == Expr::Kind::Or;
      for (const NodeId* it = expr.operands_begin(n); it != expr.operands_end(n); ++it) {
        if (truthy(operand(expr, *it, paths)) == deciding) return boolean(deciding);
      }
      return boolean(!deciding);
    }
  }
  return kNil;
}

// Length-prefixed segments: unambiguous whatever bytes a segment holds.
std::string path_key(const Path& path) {
  std::string key;
  for (const std::string& segment : path) {
    key += std::to_string(segment.size());
    key += ':';
    key += segment;
  }
  return key;
}

}  // namespace

bool is_truthy(const Value& v) noexcept { return truthy(v); }

Value eval(const Expr& expr, const Value& context) {
  if (expr.node_count() == 0) return Value::nil();
  return evaluate(expr, expr.root(), ContextPaths{context});  // a copy: the caller owns the result
}

bool holds(const Expr& expr, const Value& context) noexcept {
  return expr.node_count() != 0 && is_truthy(evaluate(expr, expr.root(), ContextPaths{context}));
}

bool holds_in_slots(const Expr& expr, const PathBinding* bindings, const Value* slots) noexcept {
  return expr.node_count() != 0 && truthy(operand(expr, expr.root(), SlotPaths{bindings, slots}));
}

void collect_paths(const Expr& expr, std::vector<Path>& paths) {
  if (expr.node_count() == 0) return;
  std::unordered_set<std::string> seen;
  for (const Path& p : paths) seen.insert(path_key(p));
  // Depth-first, left to right, with an explicit stack so no tree shape costs native stack.
  std::vector<NodeId> pending{expr.root()};
  while (!pending.empty()) {
    const Expr::Node& n = expr.node(pending.back());
    pending.pop_back();
    switch (n.kind) {
      case Expr::Kind::Path:
        if (seen.insert(path_key(expr.path(n))).second) paths.push_back(expr.path(n));
        break;
      case Expr::Kind::Not: pending.push_back(n.first); break;
      case Expr::Kind::Cmp:
        pending.push_back(n.second);
        pending.push_back(n.first);
        break;
      case Expr::Kind::And:
      case Expr::Kind::Or:
        for (const NodeId* it = expr.operands_end(n); it != expr.operands_begin(n);) pending.push_back(*--it);
        break;
      default: break;
    }
  }
}

}  // namespace tallowmere::condition
