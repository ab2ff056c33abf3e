#include "condition/evaluator.h"

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

const Value& lookup(const Value& context, const Path& path) noexcept {
  const Value* current = &context;
  for (const std::string& segment : path) {
    if (!current->is_map()) return kNil;
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

// Equality as `==` sees it: numbers of any kind by float value, the rest by Value equality.
bool loosely_equal(const Value& a, const Value& b) noexcept {
  if (a.is_number() && b.is_number()) return a.to_double() == b.to_double();
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

// The value of a node, borrowed from the expression, the context or the constants above.
const Value& evaluate(const Expr& expr, NodeId id, const Value& context) noexcept {
  const Expr::Node& n = expr.node(id);
  switch (n.kind) {
    case Expr::Kind::Str:
    case Expr::Kind::Int:
    case Expr::Kind::Float:
    case Expr::Kind::Bool:
    case Expr::Kind::Null: return expr.literal(n);
    case Expr::Kind::Path: return lookup(context, expr.path(n));
    case Expr::Kind::Not: return boolean(!is_truthy(evaluate(expr, n.first, context)));
    case Expr::Kind::Cmp: {
      const Value& left = evaluate(expr, n.first, context);
      const Value& right = evaluate(expr, n.second, context);
      return boolean(compare(n.op, left, right));
    }
    case Expr::Kind::And:
    case Expr::Kind::Or: {
      // Stop at the first operand that decides the chain: a falsy one for And, a truthy one for Or.
      const bool deciding = n.kind == Expr::Kind::Or;
      for (const NodeId* it = expr.operands_begin(n); it != expr.operands_end(n); ++it) {
        if (is_truthy(evaluate(expr, *it, context)) == deciding) return boolean(deciding);
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

bool is_truthy(const Value& v) noexcept {
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

Value eval(const Expr& expr, const Value& context) {
  if (expr.node_count() == 0) return Value::nil();
  return evaluate(expr, expr.root(), context);  // a copy: the caller owns the result
}

bool holds(const Expr& expr, const Value& context) noexcept {
  return expr.node_count() != 0 && is_truthy(evaluate(expr, expr.root(), context));
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
