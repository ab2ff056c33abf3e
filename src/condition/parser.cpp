#include "condition/parser.h"

#include <limits>
#include <new>
#include <optional>
#include <utility>

namespace tallowmere::condition {

// Appends nodes to an Expr under construction; only the parser makes Exprs.
class ExprBuilder {
 public:
  using NodeId = Expr::NodeId;

  NodeId literal(Expr::Kind kind, Value value) {
    const NodeId slot = index_of(expr_.literals_.size());
    expr_.literals_.push_back(std::move(value));
    return add({kind, CmpOp::Eq, slot, 0});
  }
  NodeId path(Path segments) {
    const NodeId slot = index_of(expr_.paths_.size());
    expr_.paths_.push_back(std::move(segments));
    return add({Expr::Kind::Path, CmpOp::Eq, slot, 0});
  }
  NodeId negation(NodeId child) { return add({Expr::Kind::Not, CmpOp::Eq, child, 0}); }
  NodeId comparison(CmpOp op, NodeId left, NodeId right) { return add({Expr::Kind::Cmp, op, left, right}); }
  // One And/Or node over two or more operands, kept in their textual order.
  NodeId chain(Expr::Kind kind, const std::vector<NodeId>& operands) {
    const NodeId first = index_of(expr_.operands_.size());
    const NodeId count = index_of(operands.size());
    index_of(expr_.operands_.size() + operands.size());
    expr_.operands_.insert(expr_.operands_.end(), operands.begin(), operands.end());
    return add({kind, CmpOp::Eq, first, count});
  }
  Expr finish(NodeId root) && {
    expr_.root_ = root;
    return std::move(expr_);
  }

 private:
  static NodeId index_of(std::size_t n) {
    // Unreachable in practice (the token list alone would exhaust memory first),
    // but an index must never wrap.
    if (n >= std::numeric_limits<NodeId>::max()) throw std::bad_alloc();
    return static_cast<NodeId>(n);
  }
  NodeId add(Expr::Node node) {
    const NodeId id = index_of(expr_.nodes_.size());
    expr_.nodes_.push_back(node);
    return id;
  }
  Expr expr_;
};

namespace {

using NodeId = Expr::NodeId;
using Parsed = Result<NodeId>;

constexpr unsigned kMaxNesting = 64;
constexpr const char* kTooDeep = "condition nested too deeply";

std::optional<CmpOp> comparison_of(TokKind kind) noexcept {
  switch (kind) {
    case TokKind::Eq: return CmpOp::Eq;
    case TokKind::Ne: return CmpOp::Ne;
    case TokKind::Lt: return CmpOp::Lt;
    case TokKind::Le: return CmpOp::Le;
    case TokKind::Gt: return CmpOp::Gt;
    case TokKind::Ge: return CmpOp::Ge;
    case TokKind::In: return CmpOp::In;
    default: return std::nullopt;
  }
}

class Parser {
 public:
  explicit Parser(const std::vector<Tok>& tokens) : tokens_(tokens) {}

  // The nesting counter: parse_not and parse_primary refuse depth > 64 before
  // recursing, each chain passes depth + 1 to its operands (so parse_or reaches
  // parse_not two levels deeper, and needs no check of its own), parse_not passes
  // depth + 1 past a `not` and depth + 2 to its primaries, a parenthesis adds 1 more.
  // Twelve nested parentheses, or sixty `not`s, fit at the top level.
  Parsed parse_or(unsigned depth) {
    return parse_chain(TokKind::Or, Expr::Kind::Or, depth, &Parser::parse_and);
  }

  Parsed parse_and(unsigned depth) { return parse_chain(TokKind::And, Expr::Kind::And, depth, &Parser::parse_not); }

  Parsed parse_not(unsigned depth) {
    if (depth > kMaxNesting) return Parsed::failure(kTooDeep);
    if (peek_is(TokKind::Not)) {
      ++index_;
      Parsed child = parse_not(depth + 1);
      if (!child) return child;
      return builder_.negation(child.value());
    }
    Parsed left = parse_primary(depth + 2);
    if (!left) return left;
    if (index_ >= tokens_.size()) return left;
    const std::optional<CmpOp> op = comparison_of(tokens_[index_].kind);
    if (!op) return left;
    ++index_;
    Parsed right = parse_primary(depth + 2);
    if (!right) return right;
    return builder_.comparison(*op, left.value(), right.value());
  }

  Parsed parse_primary(unsigned depth) {
    if (depth > kMaxNesting) return Parsed::failure(kTooDeep);
    const Tok* tok = next();
    if (tok == nullptr) return Parsed::failure("unexpected token None");
    switch (tok->kind) {
      case TokKind::Str: return builder_.literal(Expr::Kind::Str, Value::string(tok->text));
      case TokKind::Int: return builder_.literal(Expr::Kind::Int, Value::from_i64(tok->integer));
      case TokKind::Float: return builder_.literal(Expr::Kind::Float, Value::f64(tok->real));
      case TokKind::Bool: return builder_.literal(Expr::Kind::Bool, Value::boolean(tok->boolean));
      case TokKind::Null: return builder_.literal(Expr::Kind::Null, Value::nil());
      case TokKind::Ident: {
        Path segments{tok->text};
        while (peek_is(TokKind::Dot)) {
          ++index_;
          const Tok* segment = next();
          if (segment == nullptr || segment->kind != TokKind::Ident) {
            return Parsed::failure("expected identifier after '.'");
          }
          segments.push_back(segment->text);
        }
        return builder_.path(std::move(segments));
      }
      case TokKind::LParen: {
        Parsed inner = parse_or(depth + 1);
        if (!inner) return inner;
        const Tok* close = next();
        if (close == nullptr || close->kind != TokKind::RParen) return Parsed::failure("expected ')'");
        return inner;  // parentheses leave no node of their own
      }
      default: return Parsed::failure("unexpected token Some(" + debug_form(*tok) + ")");
    }
  }

  std::size_t index() const noexcept { return index_; }
  Expr finish(NodeId root) && { return std::move(builder_).finish(root); }

 private:
  // operand (separator operand)*, as one chain node. Iterates along the chain, so
  // its length costs no stack; every operand is parsed at the same depth.
  Parsed parse_chain(TokKind separator, Expr::Kind kind, unsigned depth, Parsed (Parser::*operand)(unsigned)) {
    Parsed first = (this->*operand)(depth + 1);
    if (!first || !peek_is(separator)) return first;
    std::vector<NodeId> operands{first.value()};
    while (peek_is(separator)) {
      ++index_;
      Parsed more = (this->*operand)(depth + 1);
      if (!more) return more;
      operands.push_back(more.value());
    }
    return builder_.chain(kind, operands);
  }

  const Tok* next() noexcept { return index_ < tokens_.size() ? &tokens_[index_++] : nullptr; }
  bool peek_is(TokKind kind) const noexcept { return index_ < tokens_.size() && tokens_[index_].kind == kind; }

  const std::vector<Tok>& tokens_;
  std::size_t index_ = 0;
  ExprBuilder builder_;
};

void describe_into(const Expr& expr, NodeId id, std::string& out) {
  const Expr::Node& n = expr.node(id);
  switch (n.kind) {
    case Expr::Kind::Str: out += debug_form(Tok::str(expr.literal(n).bytes())); return;
    case Expr::Kind::Int: {
      const Value& v = expr.literal(n);
      out += "Int(" + (v.is_negative() ? std::to_string(v.as_i64()) : std::to_string(v.as_u64())) + ")";
      return;
    }
    case Expr::Kind::Float: out += "Float(" + format_float(expr.literal(n).as_f64()) + ")"; return;
    case Expr::Kind::Bool: out += expr.literal(n).as_bool() ? "Bool(true)" : "Bool(false)"; return;
    case Expr::Kind::Null: out += "Null"; return;
    case Expr::Kind::Path: {
      out += "Path[";
      const Path& segments = expr.path(n);
      for (std::size_t i = 0; i < segments.size(); ++i) out += (i ? ", " : "") + segments[i];
      out += "]";
      return;
    }
    case Expr::Kind::Not:
      out += "Not(";
      describe_into(expr, n.first, out);
      out += ")";
      return;
    case Expr::Kind::Cmp:
      out += std::string("Cmp(") + cmp_op_name(n.op) + ", ";
      describe_into(expr, n.first, out);
      out += ", ";
      describe_into(expr, n.second, out);
      out += ")";
      return;
    case Expr::Kind::And:
    case Expr::Kind::Or: {
      // The left fold the chain stands for: Or(Or(a, b), c).
      const char* open = n.kind == Expr::Kind::And ? "And(" : "Or(";
      for (NodeId k = 1; k < n.second; ++k) out += open;
      const NodeId* operand = expr.operands_begin(n);
      describe_into(expr, *operand, out);
      while (++operand != expr.operands_end(n)) {
        out += ", ";
        describe_into(expr, *operand, out);
        out += ")";
      }
      return;
    }
  }
}

}  // namespace

const char* cmp_op_name(CmpOp op) noexcept {
  switch (op) {
    case CmpOp::Eq: return "Eq";
    case CmpOp::Ne: return "Ne";
    case CmpOp::Lt: return "Lt";
    case CmpOp::Le: return "Le";
    case CmpOp::Gt: return "Gt";
    case CmpOp::Ge: return "Ge";
    case CmpOp::In: return "In";
  }
  return "?";
}

Result<Expr> parse_tokens(const std::vector<Tok>& tokens) {
  Parser parser(tokens);
  Parsed root = parser.parse_or(0);
  if (!root) return Result<Expr>::failure(std::move(root).error());
  if (parser.index() < tokens.size()) {
    return Result<Expr>::failure("unexpected trailing token " + debug_form(tokens[parser.index()]));
  }
  return std::move(parser).finish(root.value());
}

Result<Expr> parse_condition(std::string_view text) {
  auto tokens = tokenize(text);
  if (!tokens) return Result<Expr>::failure(std::move(tokens).error());
  if (tokens.value().empty()) return Result<Expr>::failure("empty condition");
  return parse_tokens(tokens.value());
}

std::string describe(const Expr& expr) {
  std::string out;
  if (expr.node_count() != 0) describe_into(expr, expr.root(), out);
  return out;
}

}  // namespace tallowmere::condition
