// condition/parser.h: the expression tree of a condition and the parser that builds it.
// * Grammar, loosest first: or-expr := and-expr ('or' and-expr)*;
//   and-expr := not-expr ('and' not-expr)*; not-expr := 'not' not-expr |
//   primary [cmp-op primary]; primary := literal | path | '(' or-expr ')'.
// * Recursive descent with a nesting counter: parse_or and parse_not refuse a
//   counter above 64 before they recurse, so nesting (parentheses, runs of `not`)
//   bounds the native stack whatever the text; `and`/`or` chains do not raise it.
// * An Expr is a flat arena: nodes refer to their children by index, so releasing
//   a tree of any shape is freeing a few vectors, with no recursion.
// * A chain `a or b or c` is one Or node over its operands, in order. It means
//   exactly the left fold Or(Or(a, b), c), as both yield the Boolean of the first
//   truthy operand, evaluated left to right; describe() prints it in that form.
// Threads: an Expr is immutable once built and may be read by many threads.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "common/value.h"
#include "common/error.h"
#include "condition/lexer.h"

namespace tallowmere::condition {

using Path = std::vector<std::string>;  // one or more segment texts: `user.tier` is {"user", "tier"}

enum class CmpOp : std::uint8_t { Eq = 0, Ne = 1, Lt = 2, Le = 3, Gt = 4, Ge = 5, In = 6 };

class Expr {
 public:
  // The literal kinds come first: the evaluator tells a literal by `kind <= Null`.
  enum class Kind : std::uint8_t { Str, Int, Float, Bool, Null, Path, Not, And, Or, Cmp };
  using NodeId = std::uint32_t;

  struct Node {
    Kind kind;
    CmpOp op;       // Cmp only
    NodeId first;   // literal: index in literals(); Path: index in paths(); Not: the child;
                    // And/Or: first slot in operands(); Cmp: left child
    NodeId second;  // And/Or: operand count (at least 2); Cmp: right child
  };

  NodeId root() const noexcept { return root_; }
  const Node& node(NodeId id) const noexcept { return nodes_[id]; }
  // A literal as the Value it evaluates to, built once at parse time.
  const Value& literal(const Node& n) const noexcept { return literals_[n.first]; }
  const Path& path(const Node& n) const noexcept { return paths_[n.first]; }
  // Every Path node has its own slot in the path table (Node::first), in parse order.
  std::size_t path_count() const noexcept { return paths_.size(); }
  const Path& path_at(std::size_t slot) const noexcept { return paths_[slot]; }
  const NodeId* operands_begin(const Node& n) const noexcept { return operands_.data() + n.first; }
  const NodeId* operands_end(const Node& n) const noexcept { return operands_.data() + n.first + n.second; }
  std::size_t node_count() const noexcept { return nodes_.size(); }

 private:
  friend class ExprBuilder;
  std::vector<Node> nodes_;
  std::vector<Value> literals_;
  std::vector<Path> paths_;
  std::vector<NodeId> operands_;
  NodeId root_ = 0;
};

// Lexes and parses a whole condition: "empty condition" when there are no tokens,
// "unexpected trailing token ..." when tokens are left over, otherwise the lexer's
// or parser's message. The caller adds its own prefix.
Result<Expr> parse_condition(std::string_view text);

// Parses a token list that is not empty (exposed for tests and the fuzz target).
Result<Expr> parse_tokens(const std::vector<Tok>& tokens);

// The tree as text, for tests and diagnostics: `Or(And(Path[a], Path[b]), Int(1))`,
// `Cmp(Eq, Path[user, tier], Str("gold"))`, `Not(Bool(true))`.
std::string describe(const Expr& expr);

const char* cmp_op_name(CmpOp op) noexcept;

}  // namespace tallowmere::condition
