// graph/graph.h: the routing graph's pure core (no Python).
// * Nodes are interned: each name gets a dense NodeId on first sight and keeps it
//   (the graph only grows). Edges, the cycle check, is_dag and routing work on ids,
//   so only the API boundary hashes names.
// * Invariants: every edge target and every node with outgoing edges is a node;
//   under CyclePolicy::Error the graph is acyclic at all times (self-loops included);
//   condition_paths(n) holds, prefix-free and without repeats, the paths that the
//   conditions on n's edges read, so routing copies each needed part of the state
//   exactly once. It is indexed by routing slot: a path keeps its slot until a new
//   path that is a prefix of it arrives and takes it over; slots left over then
//   hold an empty path (never read, always Nil) until a new path reuses them.
// * add_edge costs amortised O(segments of the new edge's paths), whatever the node
//   already holds: the node keeps its slots indexed by path and by every proper
//   prefix, and for each slot the edge bindings that start there, so only
//   bindings whose slot is taken over are touched (each at most once per segment).
// * add_edge is all or nothing: bad input is reported before anything changes, and
//   an allocation failure part way through is undone before it propagates.
// * Nothing recurses along the graph: the cycle check is a DFS with an explicit
//   stack (O(V+E) per edge, skipped under Allow), is_dag is Kahn's algorithm.
// Threads: const members only read and may run concurrently (routing does so
// without the interpreter lock); callers exclude mutation while any of them runs.
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <variant>
#include <vector>

#include "common/value.h"
#include "common/error.h"
#include "condition/evaluator.h"
#include "condition/parser.h"

namespace tallowmere::graph {

using condition::Expr;
using condition::Path;
using NodeId = std::uint32_t;

enum class CyclePolicy : std::uint8_t { Error, Allow };
std::optional<CyclePolicy> parse_cycle_policy(std::string_view text) noexcept;  // "error" or "allow", exactly
const char* policy_name(CyclePolicy policy) noexcept;

struct Edge {
  NodeId to;
  std::optional<std::string> when;        // the condition text exactly as given
  std::unique_ptr<const Expr> condition;  // present exactly when `when` is
  // One per path of `condition`: where in the source node's condition_paths that
  // path starts (see condition::holds_in_slots). Rebound when its slot is taken over.
  std::vector<condition::PathBinding> bindings;
};

class Graph {
 public:
  explicit Graph(CyclePolicy policy) noexcept : policy_(policy) {}

  CyclePolicy policy() const noexcept { return policy_; }

  void add_node(std::string_view name);
  // Fails with the message to raise as ValueError: "invalid condition: ..." or the
  // cycle refusal. Condition errors are reported before cycle errors.
  Result<std::monostate> add_edge(std::string_view from, std::string_view to,
                                  std::optional<std::string_view> when);

  std::optional<NodeId> find(std::string_view name) const noexcept;
  const std::string& name(NodeId id) const noexcept { return nodes_[id].name; }
  std::size_t node_count() const noexcept { return nodes_.size(); }
  std::size_t edge_count() const noexcept { return edge_count_; }
  const std::vector<Edge>& edges(NodeId id) const noexcept { return nodes_[id].out; }
  const std::vector<Path>& condition_paths(NodeId id) const noexcept { return nodes_[id].condition_paths; }
  // Every name in byte-wise ascending order.
  std::vector<std::string_view> sorted_names() const;
  bool is_dag() const;

  // Tests and fuzzers only (the binding calls route_slots): the target of the first
  // edge of `from` whose condition holds for `context` (an unconditional edge
  // always does), or nothing. Allocates nothing.
  std::optional<NodeId> route(NodeId from, const Value& context) const noexcept;
  // The same decision from the values at condition_paths(from), one per path in
  // that order (Nil where the state has none): what `route` gives for the Map that
  // insert_path builds from them, without building it.
  std::optional<NodeId> route_slots(NodeId from, const Value* slots) const noexcept;

 private:
  // Edge `edge` of the node, its binding number `index`.
  struct BindingRef {
    std::uint32_t edge;
    std::uint32_t index;
  };
  using HashIndex = std::unordered_multimap<std::uint64_t, std::uint32_t>;  // path hash -> slot
  struct NodeData {
    std::string name;
    std::vector<Edge> out;
    std::vector<Path> condition_paths;                 // by slot; empty for a free slot
    std::vector<std::vector<BindingRef>> slot_users;   // by slot: the bindings that start there
    std::vector<std::uint32_t> free_slots;
    HashIndex slot_of_path;  // the hash of each live slot's path
    // The hash of every proper prefix of each path a slot was given. Entries are
    // never removed: one whose slot no longer holds an extension of the prefix is
    // skipped, and a bucket is searched only when its prefix becomes a slot's path,
    // which happens once, so each entry is looked at about once.
    HashIndex slots_extending;
  };
  struct SlotPlan;

  NodeId intern(std::string_view name);
  static SlotPlan plan_slots(NodeData& node, const Expr& condition);
  static void commit_slots(NodeData& node, SlotPlan& plan) noexcept;
  void forget_nodes_from(std::size_t count) noexcept;
  bool would_close_cycle(std::string_view from, std::string_view to);

  CyclePolicy policy_;
  std::deque<NodeData> nodes_;  // a deque, so the names the index views never move
  std::unordered_map<std::string_view, NodeId> index_;
  std::size_t edge_count_ = 0;
  // Scratch for the cycle check, kept between calls so a check costs only what it visits.
  std::vector<std::uint32_t> visit_mark_;
  std::uint32_t visit_epoch_ = 0;
  std::vector<NodeId> dfs_stack_;
};

// Sorts `paths` by segment count (stably) and drops every path that has a kept
// path as a prefix, segment by segment (an equal path counts as a prefix).
std::vector<Path> prune_paths(const std::vector<Path>& paths);

// Tests and fuzzers only, to build contexts for `route`. Places `value` at `path`
// in a Map's pairs: a one-segment path appends a pair; a longer one descends into
// the first pair whose key is that String, creating an empty Map when there is
// none, and drops `value` when that pair's value is not a Map. Iterative, so paths
// of any length cost no stack.
void insert_path(Value::Map& pairs, const Path& path, Value value);

}  // namespace tallowmere::graph
