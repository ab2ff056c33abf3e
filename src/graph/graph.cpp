#include "graph/graph.h"

#include <algorithm>
#include <limits>
#include <new>
#include <numeric>

#include "common/fault.h"
#include "condition/evaluator.h"

namespace tallowmere::graph {

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

  Edge edge{0, when ? std::optional<std::string>(*when) : std::nullopt, std::move(condition)};
  // From here on only allocation can fail; every step is undone if it does.
  const std::size_t nodes_before = nodes_.size();
  NodeData* source = nullptr;
  std::size_t read_paths_before = 0;
  try {
    source = &nodes_[intern(from)];
    fault::fault_point();
    edge.to = intern(to);
    fault::fault_point();
    read_paths_before = source->read_paths.size();
    std::vector<Path> pruned;
    std::vector<std::vector<condition::PathBinding>> rebound;  // for every edge of the node, the new one last
    if (edge.condition) {
      condition::collect_paths(*edge.condition, source->read_paths);
      fault::fault_point();
      pruned = prune_paths(source->read_paths);
      fault::fault_point();
      rebound.reserve(source->out.size() + 1);
      for (const Edge& old : source->out) {
        rebound.push_back(old.condition ? bind_paths(*old.condition, pruned) : std::vector<condition::PathBinding>{});
      }
      rebound.push_back(bind_paths(*edge.condition, pruned));
    }
    fault::fault_point();
    source->out.push_back(std::move(edge));
    if (source->out.back().condition) {
      // Nothing below can fail: the new paths and bindings replace the old ones together.
      source->condition_paths = std::move(pruned);
      for (std::size_t i = 0; i < source->out.size(); ++i) source->out[i].bindings = std::move(rebound[i]);
    }
  } catch (...) {
    if (source != nullptr && source->read_paths.size() > read_paths_before) {
      source->read_paths.erase(source->read_paths.begin() + static_cast<std::ptrdiff_t>(read_paths_before),
                               source->read_paths.end());
    }
    forget_nodes_from(nodes_before);
    throw;
  }
  ++edge_count_;
  return std::monostate{};
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
// over the path. Each member is filed under a hash chained segment by segment, so
// the hashes of all prefixes of a probe come out as it is walked; a path of n
// segments costs O(n) hashing whatever its length, where re-keying every prefix
// would cost O(n^2) and let one long dotted path stall add_edge.
class PrefixIndex {
 public:
  explicit PrefixIndex(std::size_t expected) { by_hash_.reserve(expected); }

  void insert(const Path& path, std::uint32_t value) {
    std::uint64_t hash = kSeed;
    for (const std::string& segment : path) hash = chain(hash, segment);
    by_hash_.emplace(hash, Member{&path, value});
  }

  struct Found {
    std::uint32_t value;
    std::uint32_t length;  // segments of the member, a prefix of the probe
  };
  // The member that is a prefix of `path` (itself included); members are prefix-free
  // or not, the shortest one wins.
  std::optional<Found> shortest_prefix_of(const Path& path) const {
    std::uint64_t hash = kSeed;
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
  static constexpr std::uint64_t kSeed = 0x9E3779B97F4A7C15ull;
  static std::uint64_t chain(std::uint64_t hash, const std::string& segment) noexcept {
    // Segment hash folded in with a multiply-xorshift step; order matters, so "a.b" and "b.a" differ.
    hash ^= std::hash<std::string>{}(segment) + 0x9E3779B97F4A7C15ull + (hash << 6) + (hash >> 2);
    hash *= 0xBF58476D1CE4E5B9ull;
    return hash ^ (hash >> 31);
  }
  std::unordered_multimap<std::uint64_t, Member> by_hash_;
};

}  // namespace

std::vector<condition::PathBinding> bind_paths(const Expr& expr, const std::vector<Path>& kept) {
  PrefixIndex slots(kept.size());
  for (std::size_t i = 0; i < kept.size(); ++i) slots.insert(kept[i], static_cast<std::uint32_t>(i));
  std::vector<condition::PathBinding> bindings;
  bindings.reserve(expr.path_count());
  for (std::size_t p = 0; p < expr.path_count(); ++p) {
    const auto found = slots.shortest_prefix_of(expr.path_at(p));
    if (!found) throw InternalFailure("a condition path has no prefix among its node's condition paths");
    bindings.push_back({found->value, found->length});
  }
  return bindings;
}

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
