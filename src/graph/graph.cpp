#include "graph/graph.h"

#include <algorithm>
#include <limits>
#include <new>
#include <numeric>

#include "common/fault.h"
#include "condition/evaluator.h"

namespace tallowmere::graph {
namespace {

// Paths are filed under a hash chained segment by segment, so the hashes of all
// prefixes of a path come out as it is walked: O(n) for a path of n segments, where
// re-keying every prefix would cost O(n^2) and let one long dotted path stall add_edge.
constexpr std::uint64_t kPathSeed = 0x9E3779B97F4A7C15ull;

std::uint64_t chain(std::uint64_t hash, const std::string& segment) noexcept {
  // Segment hash folded in with a multiply-xorshift step; order matters, so "a.b" and "b.a" differ.
  hash ^= std::hash<std::string>{}(segment) + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2);
  hash *= 0xBF58476D1CE4E5B9ull;
  return hash ^ (hash >> 31);
}

std::uint64_t path_hash(const Path& path) noexcept {
  std::uint64_t hash = kPathSeed;
  for (const std::string& segment : path) hash = chain(hash, segment);
  return hash;
}

// Whether `path` starts with the first `length` segments of `prefix` (both have as many).
bool starts_with(const Path& path, const Path& prefix, std::size_t length) {
  return path.size() >= length && std::equal(prefix.begin(), prefix.begin() + static_cast<std::ptrdiff_t>(length),
                                             path.begin());
}

// Room for `more` further elements, growing geometrically: reserving exactly what
// each add_edge needs would copy the whole container every time.
template <class Vector>
void reserve_more(Vector& items, std::size_t more) {
  if (items.capacity() - items.size() < more) items.reserve(std::max(items.size() + more, 2 * items.capacity()));
}

template <class K, class V>
void reserve_more(std::unordered_multimap<K, V>& items, std::size_t more) {
  const auto room = static_cast<std::size_t>(static_cast<float>(items.bucket_count()) * items.max_load_factor());
  if (items.size() + more > room) items.reserve(std::max(items.size() + more, 2 * items.size()));
}

// Moves the entries of `from` into `into`, which has room reserved for them, so no
// allocation or rehash happens. (merge() would not do: it resizes `into` to fit
// exactly, undoing the geometric growth and rehashing on every add_edge.)
template <class K, class V>
void move_entries(std::unordered_multimap<K, V>& into, std::unordered_multimap<K, V>& from) noexcept {
  while (!from.empty()) into.insert(from.extract(from.begin()));
}

}  // namespace

std::optional<CyclePolicy> parse_cycle_policy(std::string_view text) noexcept {
  if (text == "error") return CyclePolicy::Error;
  if (text == "allow") return CyclePolicy::Allow;
  return std::nullopt;
}

const char* policy_name(CyclePolicy policy) noexcept { return policy == CyclePolicy::Error ? "error" : "allow"; }

std::optional<NodeId> Graph::find(std::string_view name) const noexcept {
  const auto it = index_.find(name);
  if (it == index_.end()) return std::nullopt;
  return it->second;
}

NodeId Graph::intern(std::string_view name) {
  if (const auto found = find(name)) return *found;
  if (nodes_.size() >= std::numeric_limits<NodeId>::max()) throw std::bad_alloc();
  const auto id = static_cast<NodeId>(nodes_.size());
  nodes_.push_back(NodeData{std::string(name), {}, {}, {}});
  try {
    index_.emplace(nodes_.back().name, id);
  } catch (...) {
    nodes_.pop_back();
    throw;
  }
  return id;
}

void Graph::forget_nodes_from(std::size_t count) noexcept {
  while (nodes_.size() > count) {
    index_.erase(nodes_.back().name);
    nodes_.pop_back();
  }
}

void Graph::add_node(std::string_view name) { intern(name); }

bool Graph::would_close_cycle(std::string_view from, std::string_view to) {
  if (from == to) return true;
  // A node seen for the first time has no edges in or out, so it closes nothing.
  const std::optional<NodeId> source = find(from);
  const std::optional<NodeId> target = find(to);
  if (!source || !target) return false;

  // The new edge closes a cycle exactly when `from` is reachable from `to`.
  if (visit_mark_.size() < nodes_.size()) visit_mark_.resize(nodes_.size(), 0);
  if (++visit_epoch_ == 0) {  // the marks wrapped: start them over
    std::fill(visit_mark_.begin(), visit_mark_.end(), 0);
    visit_epoch_ = 1;
  }
  dfs_stack_.clear();
  dfs_stack_.push_back(*target);
  while (!dfs_stack_.empty()) {
    const NodeId n = dfs_stack_.back();
    dfs_stack_.pop_back();
    if (n == *source) return true;
    if (visit_mark_[n] == visit_epoch_) continue;
    visit_mark_[n] = visit_epoch_;
    for (const Edge& edge : nodes_[n].out) {
      if (visit_mark_[edge.to] != visit_epoch_) dfs_stack_.push_back(edge.to);
    }
  }
  return false;
}

// What adding one edge's condition does to its node's slots, worked out without
// changing the node (beyond reserving room), so that committing it cannot fail.
struct Graph::SlotPlan {
  struct Added {
    Path path;
    std::uint64_t hash;
    std::uint32_t slot;
    // Live slots whose paths extend `path`, ascending; `slot` is the first when any.
    std::vector<std::uint32_t> taken_over;
    std::vector<std::uint64_t> taken_over_hashes;
    std::vector<BindingRef> users;  // for a new or reused free slot: empty, with room reserved
  };
  std::vector<Added> added;
  std::vector<condition::PathBinding> bindings;  // the new edge's
  std::size_t free_taken = 0;                    // from the back of the node's free_slots
  HashIndex new_slot_of_path;
  HashIndex new_slots_extending;
};

Result<std::monostate> Graph::add_edge(std::string_view from, std::string_view to,
                                       std::optional<std::string_view> when) {
  using Outcome = Result<std::monostate>;
  std::unique_ptr<const Expr> condition;
  if (when) {
    auto parsed = condition::parse_condition(*when);
    if (!parsed) return Outcome::failure("invalid condition: " + parsed.error());
    condition = std::make_unique<const Expr>(std::move(parsed).value());
  }
  if (policy_ == CyclePolicy::Error && would_close_cycle(from, to)) {
    return Outcome::failure("adding edge '" + std::string(from) + "' -> '" + std::string(to) +
                            "' would create a cycle (on_cycle='error')");
  }

  Edge edge{0, when ? std::optional<std::string>(*when) : std::nullopt, std::move(condition), {}};
  // From here on only allocation can fail; every step is undone if it does. The slot
  // plan only reserves room in the node, so dropping it undoes it.
  const std::size_t nodes_before = nodes_.size();
  try {
    NodeData& source = nodes_[intern(from)];
    fault::fault_point();
    edge.to = intern(to);
    fault::fault_point();
    std::optional<SlotPlan> plan;
    if (edge.condition) {
      plan.emplace(plan_slots(source, *edge.condition));
      edge.bindings = std::move(plan->bindings);
    }
    fault::fault_point();
    source.out.push_back(std::move(edge));
    if (plan) commit_slots(source, *plan);  // nothing below fails
  } catch (...) {
    forget_nodes_from(nodes_before);
    throw;
  }
  ++edge_count_;
  return std::monostate{};
}

Graph::SlotPlan Graph::plan_slots(NodeData& node, const Expr& condition) {
  SlotPlan plan;
  const std::size_t count = condition.path_count();
  // Shortest first: a path can only be covered by one no longer than itself.
  std::vector<std::size_t> order(count);
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    return condition.path_at(a).size() < condition.path_at(b).size();
  });
  struct Target {
    bool added;           // an index into plan.added, else a slot of the node
    std::uint32_t index;
    std::uint32_t covered;
  };
  std::vector<Target> targets(count);
  HashIndex added_by_hash;  // the paths this edge adds: hash -> index into plan.added
  std::size_t appended = 0, freed = 0, prefix_entries = 0;
  for (const std::size_t i : order) {
    const Path& path = condition.path_at(i);
    if (path.empty()) throw InternalFailure("a condition reads an empty path");
    // The path that covers this one, if any: the shortest prefix among this edge's new
    // paths and the node's slots (a slot that this edge takes over has a new path as
    // a shorter prefix, so it is never the one found).
    std::optional<Target> found;
    std::uint64_t hash = kPathSeed;
    for (std::size_t length = 1; length <= path.size() && !found; ++length) {
      hash = chain(hash, path[length - 1]);
      for (auto [it, last] = added_by_hash.equal_range(hash); it != last && !found; ++it) {
        const Path& other = plan.added[it->second].path;
        if (other.size() == length && starts_with(path, other, length)) {
          found = Target{true, it->second, static_cast<std::uint32_t>(length)};
        }
      }
      for (auto [it, last] = node.slot_of_path.equal_range(hash); it != last && !found; ++it) {
        const Path& other = node.condition_paths[it->second];
        if (other.size() == length && starts_with(path, other, length)) {
          found = Target{false, it->second, static_cast<std::uint32_t>(length)};
        }
      }
    }
    if (found) {
      targets[i] = *found;
      continue;
    }
    // A new slot path. It takes over every slot whose path extends it.
    SlotPlan::Added added{path, hash, 0, {}, {}, {}};
    for (auto [it, last] = node.slots_extending.equal_range(hash); it != last; ++it) {
      const Path& other = node.condition_paths[it->second];
      if (other.size() > path.size() && starts_with(other, path, path.size())) added.taken_over.push_back(it->second);
    }
    std::sort(added.taken_over.begin(), added.taken_over.end());
    added.taken_over.erase(std::unique(added.taken_over.begin(), added.taken_over.end()), added.taken_over.end());
    for (const std::uint32_t slot : added.taken_over) {
      added.taken_over_hashes.push_back(path_hash(node.condition_paths[slot]));
    }
    if (!added.taken_over.empty()) {
      added.slot = added.taken_over.front();
      freed += added.taken_over.size() - 1;
    } else if (plan.free_taken < node.free_slots.size()) {
      added.slot = node.free_slots[node.free_slots.size() - 1 - plan.free_taken++];
    } else {
      added.slot = static_cast<std::uint32_t>(node.condition_paths.size() + appended++);
    }
    fault::fault_point();
    std::uint64_t prefix = kPathSeed;
    for (std::size_t length = 1; length < path.size(); ++length) {
      prefix = chain(prefix, path[length - 1]);
      plan.new_slots_extending.emplace(prefix, added.slot);
    }
    prefix_entries += path.size() - 1;
    plan.new_slot_of_path.emplace(hash, added.slot);
    added_by_hash.emplace(hash, static_cast<std::uint32_t>(plan.added.size()));
    targets[i] = Target{true, static_cast<std::uint32_t>(plan.added.size()), static_cast<std::uint32_t>(path.size())};
    plan.added.push_back(std::move(added));
  }

  // The new edge's bindings, and room for every binding that will start at each slot.
  fault::fault_point();
  plan.bindings.reserve(count);
  std::vector<std::size_t> new_slot_users(plan.added.size(), 0);
  std::vector<std::pair<std::uint32_t, std::size_t>> extra;  // existing slot -> bindings it gains
  for (const Target& target : targets) {
    const std::uint32_t slot = target.added ? plan.added[target.index].slot : target.index;
    plan.bindings.push_back({slot, target.covered});
    if (target.added && plan.added[target.index].taken_over.empty()) {
      ++new_slot_users[target.index];
    } else {
      extra.emplace_back(slot, 1);
    }
  }
  for (std::size_t a = 0; a < plan.added.size(); ++a) {
    SlotPlan::Added& added = plan.added[a];
    added.users.reserve(new_slot_users[a]);
    for (std::size_t k = 1; k < added.taken_over.size(); ++k) {
      extra.emplace_back(added.slot, node.slot_users[added.taken_over[k]].size());
    }
  }
  std::sort(extra.begin(), extra.end());
  for (std::size_t k = 0; k < extra.size();) {
    const std::uint32_t slot = extra[k].first;
    std::size_t more = 0;
    for (; k < extra.size() && extra[k].first == slot; ++k) more += extra[k].second;
    reserve_more(node.slot_users[slot], more);
  }
  fault::fault_point();
  reserve_more(node.condition_paths, appended);
  reserve_more(node.slot_users, appended);
  reserve_more(node.free_slots, freed);
  reserve_more(node.slot_of_path, plan.added.size());
  reserve_more(node.slots_extending, prefix_entries);
  return plan;
}

void Graph::commit_slots(NodeData& node, SlotPlan& plan) noexcept {
  node.free_slots.resize(node.free_slots.size() - plan.free_taken);
  for (SlotPlan::Added& added : plan.added) {
    const auto length = static_cast<std::uint32_t>(added.path.size());
    for (std::size_t k = 0; k < added.taken_over.size(); ++k) {
      const std::uint32_t slot = added.taken_over[k];
      for (const BindingRef ref : node.slot_users[slot]) {
        node.out[ref.edge].bindings[ref.index] = {added.slot, length};
        if (slot != added.slot) node.slot_users[added.slot].push_back(ref);  // room reserved
      }
      for (auto [it, last] = node.slot_of_path.equal_range(added.taken_over_hashes[k]); it != last; ++it) {
        if (it->second == slot) {
          node.slot_of_path.erase(it);
          break;
        }
      }
      if (slot != added.slot) {
        std::vector<BindingRef>().swap(node.slot_users[slot]);
        node.condition_paths[slot] = Path();
        node.free_slots.push_back(slot);  // room reserved
      }
    }
    if (added.slot == node.condition_paths.size()) {  // room reserved for both
      node.condition_paths.push_back(std::move(added.path));
      node.slot_users.push_back(std::move(added.users));
    } else {
      node.condition_paths[added.slot] = std::move(added.path);
      if (added.taken_over.empty()) node.slot_users[added.slot] = std::move(added.users);
    }
  }
  move_entries(node.slot_of_path, plan.new_slot_of_path);
  move_entries(node.slots_extending, plan.new_slots_extending);
  const auto edge = static_cast<std::uint32_t>(node.out.size() - 1);
  const std::vector<condition::PathBinding>& bindings = node.out.back().bindings;
  for (std::uint32_t b = 0; b < bindings.size(); ++b) node.slot_users[bindings[b].slot].push_back({edge, b});
}

std::vector<std::string_view> Graph::sorted_names() const {
  std::vector<std::string_view> names;
  names.reserve(nodes_.size());
  for (const NodeData& node : nodes_) names.push_back(node.name);
  // string_view compares with char_traits<char>, which orders bytes as unsigned:
  // for UTF-8 that is code point order.
  std::sort(names.begin(), names.end());
  return names;
}

bool Graph::is_dag() const {
  // Kahn's algorithm: repeatedly take a node nothing points at any more. Every node
  // is taken exactly when no cycle exists. O(V+E) time, no recursion.
  std::vector<std::size_t> in_degree(nodes_.size(), 0);
  for (const NodeData& node : nodes_) {
    for (const Edge& edge : node.out) ++in_degree[edge.to];
  }
  std::vector<NodeId> ready;
  for (NodeId id = 0; id < in_degree.size(); ++id) {
    if (in_degree[id] == 0) ready.push_back(id);
  }
  std::size_t processed = 0;
  while (!ready.empty()) {
    const NodeId n = ready.back();
    ready.pop_back();
    ++processed;
    for (const Edge& edge : nodes_[n].out) {
      if (--in_degree[edge.to] == 0) ready.push_back(edge.to);
    }
  }
  return processed == nodes_.size();
}

std::optional<NodeId> Graph::route(NodeId from, const Value& context) const noexcept {
  for (const Edge& edge : nodes_[from].out) {
    if (!edge.condition || condition::holds(*edge.condition, context)) return edge.to;
  }
  return std::nullopt;
}

std::optional<NodeId> Graph::route_slots(NodeId from, const Value* slots) const noexcept {
  for (const Edge& edge : nodes_[from].out) {
    if (!edge.condition || condition::holds_in_slots(*edge.condition, edge.bindings.data(), slots)) return edge.to;
  }
  return std::nullopt;
}

namespace {

// A set of paths that answers "which member is a prefix of this path?" in one pass
// over the path.
class PrefixIndex {
 public:
  explicit PrefixIndex(std::size_t expected) { by_hash_.reserve(expected); }

  void insert(const Path& path, std::uint32_t value) {
    by_hash_.emplace(path_hash(path), Member{&path, value});
  }

  struct Found {
    std::uint32_t value;
    std::uint32_t length;  // segments of the member, a prefix of the probe
  };
  // The member that is a prefix of `path` (itself included); members are prefix-free
  // or not, the shortest one wins.
  std::optional<Found> shortest_prefix_of(const Path& path) const {
    std::uint64_t hash = kPathSeed;
    for (std::size_t length = 1; length <= path.size(); ++length) {
      hash = chain(hash, path[length - 1]);
      const auto [first, last] = by_hash_.equal_range(hash);
      for (auto it = first; it != last; ++it) {
        const Path& member = *it->second.path;
        if (member.size() == length && std::equal(member.begin(), member.end(), path.begin())) {
          return Found{it->second.value, static_cast<std::uint32_t>(length)};
        }
      }
    }
    return std::nullopt;
  }

 private:
  struct Member {
    const Path* path;
    std::uint32_t value;
  };
  std::unordered_multimap<std::uint64_t, Member> by_hash_;
};

}  // namespace

std::vector<Path> prune_paths(const std::vector<Path>& paths) {
  std::vector<std::size_t> order(paths.size());
  std::iota(order.begin(), order.end(), std::size_t{0});
  std::stable_sort(order.begin(), order.end(),
                   [&](std::size_t a, std::size_t b) { return paths[a].size() < paths[b].size(); });

  // A path is dropped when one already kept is a prefix of it (itself included).
  PrefixIndex kept_index(paths.size());
  std::vector<Path> kept;
  kept.reserve(paths.size());
  for (const std::size_t i : order) {
    if (paths[i].empty() || kept_index.shortest_prefix_of(paths[i])) continue;
    kept.push_back(paths[i]);
    kept_index.insert(kept.back(), 0);  // `kept` was reserved in full: the address stays put
  }
  return kept;
}

void insert_path(Value::Map& pairs, const Path& path, Value value) {
  if (path.empty()) return;
  Value::Map* level = &pairs;
  for (std::size_t i = 0; i + 1 < path.size(); ++i) {
    const std::string& segment = path[i];
    const auto found = std::find_if(level->begin(), level->end(), [&](const Value::Pair& pair) {
      return pair.first.is_string() && pair.first.bytes() == segment;
    });
    if (found == level->end()) {
      level->emplace_back(Value::string(segment), Value::map());
      level = &level->back().second.pairs();
    } else if (found->second.is_map()) {
      level = &found->second.pairs();
    } else {
      return;  // a non-Map already sits here; the value has nowhere to go
    }
  }
  level->emplace_back(Value::string(path.back()), std::move(value));
}

}  // namespace tallowmere::graph
