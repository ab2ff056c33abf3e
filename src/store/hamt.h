// LOCAL STUB - not committed; replaced by the hamt branch. Naive COW map.
#pragma once
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <functional>
#include "common/siphash.h"
#include "common/fault.h"
namespace tallowmere {
struct SipHasher { std::uint64_t operator()(std::string_view b) const noexcept { return siphash13(1, 2, b.data(), b.size()); } };
template <class Key, class Value, class Hasher = SipHasher, class KeyEqual = std::equal_to<>>
class PersistentMap {
  using Map = std::unordered_map<Key, Value>;
  std::shared_ptr<Map> m_;
  void own() { fault::fault_point(); if (!m_) m_ = std::make_shared<Map>(); else if (m_.use_count() > 1) m_ = std::make_shared<Map>(*m_); }
 public:
  PersistentMap() noexcept = default;
  explicit PersistentMap(Hasher) noexcept {}
  std::size_t size() const noexcept { return m_ ? m_->size() : 0; }
  bool empty() const noexcept { return size() == 0; }
  const Value* find(const Key& k) const { if (!m_) return nullptr; auto it = m_->find(k); return it == m_->end() ? nullptr : &it->second; }
  Value* find_for_update(const Key& k) { if (!find(k)) return nullptr; own(); return &m_->find(k)->second; }
  std::optional<Value> insert(Key k, Value v) {
    auto old = m_; own();
    auto it = m_->find(k);
    if (it != m_->end()) { std::optional<Value> r(std::move(it->second)); it->second = std::move(v); return r; }
    try { m_->emplace(std::move(k), std::move(v)); } catch (...) { m_ = old; throw; }
    return std::nullopt;
  }
  std::optional<std::pair<Key, Value>> remove(const Key& k) {
    if (!find(k)) return std::nullopt; own();
    auto it = m_->find(k); std::pair<Key, Value> r(it->first, std::move(it->second)); m_->erase(it);
    if (m_->empty()) m_.reset();
    return r;
  }
  bool same(const PersistentMap& o) const noexcept { return m_ && m_ == o.m_; }
  template <class F> void for_each(F&& f) const { if (m_) for (auto& [k, v] : *m_) f(k, v); }
  template <class A, class R, class B>
  static void diff(const PersistentMap& base, const PersistentMap& self, A&& added, R&& removed, B&& both) {
    if (base.same(self)) return;
    self.for_each([&](const Key& k, const Value& v) { const Value* b = base.find(k); if (!b) added(k, v); else both(k, *b, v); });
    base.for_each([&](const Key& k, const Value& v) { if (!self.find(k)) removed(k, v); });
  }
};
}
