// common/value.h: the in-memory MessagePack value tree.
// * A Value owns its children. Integers have one canonical form per number: a
//   value >= 0 is always held as non-negative, so equal numbers compare equal
//   field by field.
// * Equality is structural and strict about kinds: F32 never equals F64, an
//   Integer never equals a float; floats compare by IEEE rules (NaN != NaN,
//   0.0 == -0.0); maps compare pair by pair in order (keys need not be unique).
// * Destruction, copying and equality never recurse along the tree: trees built
//   from routing paths can be far deeper than the codec's 128-level limit, and
//   no tree shape may exhaust the native stack.
// Threads: a Value is a plain value type; share it read-only or not at all.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace tallowmere {

class Value {
 public:
  enum class Kind : std::uint8_t { Nil, Boolean, Integer, F32, F64, String, Binary, Array, Map, Ext };
  using Array = std::vector<Value>;
  using Pair = std::pair<Value, Value>;
  using Map = std::vector<Pair>;

  Value() noexcept : kind_(Kind::Nil) {}
  static Value nil() noexcept { return Value(); }
  static Value boolean(bool b) noexcept {
    Value v(Kind::Boolean);
    v.scalar_.boolean = b;
    return v;
  }
  static Value from_i64(std::int64_t i) noexcept {
    Value v(Kind::Integer);
    v.negative_ = i < 0;
    v.scalar_.u64 = static_cast<std::uint64_t>(i);
    return v;
  }
  static Value from_u64(std::uint64_t u) noexcept {
    Value v(Kind::Integer);
    v.scalar_.u64 = u;
    return v;
  }
  static Value f32(float f) noexcept {
    Value v(Kind::F32);
    v.scalar_.f32 = f;
    return v;
  }
  static Value f64(double d) noexcept {
    Value v(Kind::F64);
    v.scalar_.f64 = d;
    return v;
  }
  static Value string(std::string utf8) {
    Value v(Kind::String);
    v.bytes_ = std::move(utf8);
    return v;
  }
  static Value binary(std::string bytes) {
    Value v(Kind::Binary);
    v.bytes_ = std::move(bytes);
    return v;
  }
  static Value ext(std::int8_t type, std::string bytes) {
    Value v(Kind::Ext);
    v.ext_type_ = type;
    v.bytes_ = std::move(bytes);
    return v;
  }
  static Value array(Array items = {}) {
    Value v(Kind::Array);
    v.array_ = std::move(items);
    return v;
  }
  static Value map(Map pairs = {}) {
    Value v(Kind::Map);
    v.map_ = std::move(pairs);
    return v;
  }

  Value(const Value& other);
  Value& operator=(const Value& other);
  Value(Value&& other) noexcept = default;
  Value& operator=(Value&& other) noexcept;
  // Inline, so that a leaf (most values) costs no call: only containers go the long way.
  ~Value() {
    if (!array_.empty() || !map_.empty()) drop_children();
  }

  Kind kind() const noexcept { return kind_; }
  bool is_nil() const noexcept { return kind_ == Kind::Nil; }
  bool is_map() const noexcept { return kind_ == Kind::Map; }
  bool is_array() const noexcept { return kind_ == Kind::Array; }
  bool is_string() const noexcept { return kind_ == Kind::String; }
  bool is_number() const noexcept {
    return kind_ == Kind::Integer || kind_ == Kind::F32 || kind_ == Kind::F64;
  }

  bool as_bool() const noexcept { return scalar_.boolean; }
  // Integer accessors: is_negative() tells which form holds the number.
  bool is_negative() const noexcept { return negative_; }
  std::int64_t as_i64() const noexcept { return static_cast<std::int64_t>(scalar_.u64); }
  std::uint64_t as_u64() const noexcept { return scalar_.u64; }
  float as_f32() const noexcept { return scalar_.f32; }
  double as_f64() const noexcept { return scalar_.f64; }
  // The number as a 64-bit float (nearest for integers, exact for F32); numbers only.
  double to_double() const noexcept;
  // Text of a String, bytes of a Binary or payload of an Ext.
  const std::string& bytes() const noexcept { return bytes_; }
  std::int8_t ext_type() const noexcept { return ext_type_; }
  const Array& items() const noexcept { return array_; }
  Array& items() noexcept { return array_; }
  const Map& pairs() const noexcept { return map_; }
  Map& pairs() noexcept { return map_; }

  // Scratch trees that are refilled call after call (routing contexts) are
  // rewritten in place rather than rebuilt, so that refilling a tree of the shape
  // it had last time allocates nothing. recycle_as(kind) makes this a value of
  // `kind` holding 0, false or "" (the string keeps its capacity); a container
  // that already was of `kind` keeps its children, for the caller to resize and
  // overwrite, and one of another kind loses them.
  void recycle_as(Kind kind) noexcept {
    if (!array_.empty() || !map_.empty()) release_children_unless(kind);
    kind_ = kind;
    negative_ = false;
    ext_type_ = 0;
    scalar_.u64 = 0;
    bytes_.clear();
  }
  // recycle_as(leaf.kind()) and then a copy of `leaf`'s number or flag.
  void recycle_as_scalar(const Value& leaf) noexcept;
  std::string& recycled_bytes() noexcept { return bytes_; }  // after recycle_as(String/Binary/Ext)

  friend bool operator==(const Value& a, const Value& b);
  friend bool operator!=(const Value& a, const Value& b) { return !(a == b); }

 private:
  explicit Value(Kind kind) noexcept : kind_(kind) {}
  bool same_scalar(const Value& other) const noexcept;  // kinds already equal, non-container
  void drop_children() noexcept;                        // iterative teardown of array_/map_
  void release_children_unless(Kind kind) noexcept;     // keeps the children of a `kind` container

  Kind kind_;
  bool negative_ = false;
  std::int8_t ext_type_ = 0;
  union {
    bool boolean;
    std::uint64_t u64;
    float f32;
    double f64;
  } scalar_{};
  std::string bytes_;
  Array array_;
  Map map_;
};

}  // namespace tallowmere
