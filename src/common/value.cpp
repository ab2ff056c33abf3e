#include "common/value.h"

namespace tallowmere {
namespace {

// Copies everything but the children: the iterative copy fills those in.
Value shell_of(const Value& v);

}  // namespace

Value::Value(const Value& other)
    : kind_(other.kind_),
      negative_(other.negative_),
      ext_type_(other.ext_type_),
      scalar_(other.scalar_),
      bytes_(other.bytes_) {
  if (kind_ != Kind::Array && kind_ != Kind::Map) return;
  // Explicit stack of (source, destination) whose children still need copying.
  // Destinations are reserved to full size before their addresses are taken,
  // so the pointers stay valid while deeper levels are filled.
  std::vector<std::pair<const Value*, Value*>> work{{&other, this}};
  while (!work.empty()) {
    auto [src, dst] = work.back();
    work.pop_back();
    if (src->kind_ == Kind::Array) {
      dst->array_.reserve(src->array_.size());
      for (const Value& child : src->array_) dst->array_.push_back(shell_of(child));
      for (std::size_t i = 0; i < src->array_.size(); ++i) {
        if (!src->array_[i].array_.empty() || !src->array_[i].map_.empty())
          work.emplace_back(&src->array_[i], &dst->array_[i]);
      }
    } else if (src->kind_ == Kind::Map) {
      dst->map_.reserve(src->map_.size());
      for (const Pair& pair : src->map_) dst->map_.emplace_back(shell_of(pair.first), shell_of(pair.second));
      for (std::size_t i = 0; i < src->map_.size(); ++i) {
        const Pair& from = src->map_[i];
        Pair& to = dst->map_[i];
        if (!from.first.array_.empty() || !from.first.map_.empty()) work.emplace_back(&from.first, &to.first);
        if (!from.second.array_.empty() || !from.second.map_.empty()) work.emplace_back(&from.second, &to.second);
      }
    }
  }
}

Value& Value::operator=(const Value& other) {
  if (this != &other) *this = Value(other);
  return *this;
}

Value& Value::operator=(Value&& other) noexcept {
  if (this == &other) return *this;
  drop_children();
  kind_ = other.kind_;
  negative_ = other.negative_;
  ext_type_ = other.ext_type_;
  scalar_ = other.scalar_;
  bytes_ = std::move(other.bytes_);
  array_ = std::move(other.array_);
  map_ = std::move(other.map_);
  return *this;
}

namespace {
bool has_children(const Value& v) noexcept { return !v.items().empty() || !v.pairs().empty(); }
}  // namespace

void Value::drop_children() noexcept {
  if (array_.empty() && map_.empty()) return;
  // Common case: one level of leaves. The member destructors release them
  // without recursing further, and nothing needs to be allocated.
  bool deeper = false;
  for (const Value& child : array_) deeper = deeper || has_children(child);
  for (const Pair& pair : map_) deeper = deeper || has_children(pair.first) || has_children(pair.second);
  if (!deeper) return;
  // Flatten the tree into one list so that every Value is destroyed with no
  // children left: no destructor ever recurses more than one level.
  std::vector<Value> pending;
  try {
    pending.reserve(array_.size() + 2 * map_.size());
    for (Value& child : array_) pending.push_back(std::move(child));
    for (Pair& pair : map_) {
      pending.push_back(std::move(pair.first));
      pending.push_back(std::move(pair.second));
    }
    array_.clear();
    map_.clear();
    while (!pending.empty()) {
      Value last = std::move(pending.back());
      pending.pop_back();
      for (Value& child : last.array_) pending.push_back(std::move(child));
      for (Pair& pair : last.map_) {
        pending.push_back(std::move(pair.first));
        pending.push_back(std::move(pair.second));
      }
      last.array_.clear();
      last.map_.clear();
    }
  } catch (...) {
    // Out of memory while tearing down: what is left is released by the member
    // destructors, recursively, which is what any tree type would do.
  }
}

void Value::release_children_unless(Kind kind) noexcept {
  if (kind != Kind::Array && !array_.empty()) {
    drop_children();  // flattens deep trees first, so clear() never recurses far
    array_.clear();
  }
  if (kind != Kind::Map && !map_.empty()) {
    drop_children();
    map_.clear();
  }
}

void Value::recycle_as_scalar(const Value& leaf) noexcept {
  recycle_as(leaf.kind_);
  negative_ = leaf.negative_;
  scalar_ = leaf.scalar_;
}

double Value::to_double() const noexcept {
  switch (kind_) {
    case Kind::Integer:
      return negative_ ? static_cast<double>(as_i64()) : static_cast<double>(scalar_.u64);
    case Kind::F32:
      return static_cast<double>(scalar_.f32);
    case Kind::F64:
      return scalar_.f64;
    default:
      return 0.0;
  }
}

bool Value::same_scalar(const Value& other) const noexcept {
  switch (kind_) {
    case Kind::Nil:
      return true;
    case Kind::Boolean:
      return scalar_.boolean == other.scalar_.boolean;
    case Kind::Integer:
      return negative_ == other.negative_ && scalar_.u64 == other.scalar_.u64;
    case Kind::F32:
      return scalar_.f32 == other.scalar_.f32;
    case Kind::F64:
      return scalar_.f64 == other.scalar_.f64;
    case Kind::String:
    case Kind::Binary:
      return bytes_ == other.bytes_;
    case Kind::Ext:
      return ext_type_ == other.ext_type_ && bytes_ == other.bytes_;
    case Kind::Array:
    case Kind::Map:
      break;
  }
  return false;
}

bool operator==(const Value& a, const Value& b) {
  std::vector<std::pair<const Value*, const Value*>> work{{&a, &b}};
  while (!work.empty()) {
    auto [x, y] = work.back();
    work.pop_back();
    if (x->kind_ != y->kind_) return false;
    if (x->kind_ == Value::Kind::Array) {
      if (x->array_.size() != y->array_.size()) return false;
      for (std::size_t i = x->array_.size(); i-- > 0;) work.emplace_back(&x->array_[i], &y->array_[i]);
    } else if (x->kind_ == Value::Kind::Map) {
      if (x->map_.size() != y->map_.size()) return false;
      for (std::size_t i = x->map_.size(); i-- > 0;) {
        work.emplace_back(&x->map_[i].second, &y->map_[i].second);
        work.emplace_back(&x->map_[i].first, &y->map_[i].first);
      }
    } else if (!x->same_scalar(*y)) {
      return false;
    }
  }
  return true;
}

namespace {

Value shell_of(const Value& v) {
  switch (v.kind()) {
    case Value::Kind::Nil:
      return Value::nil();
    case Value::Kind::Boolean:
      return Value::boolean(v.as_bool());
    case Value::Kind::Integer:
      return v.is_negative() ? Value::from_i64(v.as_i64()) : Value::from_u64(v.as_u64());
    case Value::Kind::F32:
      return Value::f32(v.as_f32());
    case Value::Kind::F64:
      return Value::f64(v.as_f64());
    case Value::Kind::String:
      return Value::string(v.bytes());
    case Value::Kind::Binary:
      return Value::binary(v.bytes());
    case Value::Kind::Ext:
      return Value::ext(v.ext_type(), v.bytes());
    case Value::Kind::Array:
      return Value::array();
    case Value::Kind::Map:
      return Value::map();
  }
  return Value::nil();
}

}  // namespace
}  // namespace tallowmere
