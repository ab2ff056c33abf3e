// graph_py.cpp: the Python class HandoffGraph over the pure graph core.
// * add_node and add_edge take exclusive access to the object, every other member
//   shared access (py/access.h); a conflicting call fails at once.
// * route builds its context under the interpreter lock from the parts of the state
//   that the node's conditions read, then evaluates with the lock released while
//   it keeps shared access, so an add_edge from another thread meanwhile fails with
//   "Already borrowed" instead of changing the graph under the evaluation.
// * Dict lookups during route go through the plain dict lookup, never a subclass's
//   __getitem__/__missing__; they can still run key __eq__ code, which is why every
//   object reached is held by a strong reference while the walk goes on.
#include "graph/graph_py.h"

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "codec/codec_py.h"
#include "graph/graph.h"
#include "py/access.h"
#include "py/args.h"
#include "py/errors.h"
#include "py/gil.h"
#include "py/owned_ref.h"
#include "py/types.h"

namespace tallowmere::py {
namespace {

using graph::Graph;
using graph::NodeId;

// The str keys of one node's condition paths, made once and reused by every route
// from that node: pre-hashed and interned, so a dict lookup usually ends at an
// identity check against the caller's own (interned) key.
struct PathKeys {
  std::vector<std::vector<OwnedRef>> paths;
};

struct GraphState {
  explicit GraphState(graph::CyclePolicy policy) : graph(policy) {}
  Graph graph;
  AccessCounter access;
  // Indexed by NodeId; filled lazily by route under the interpreter lock, dropped by
  // add_edge (which has exclusive access) when a node's paths change. The entries
  // are separate allocations so that a route re-entered from Python code, which may
  // fill another node's entry and grow this vector, never moves an entry in use.
  std::vector<std::unique_ptr<PathKeys>> path_keys;
  std::vector<OwnedRef> names;  // by NodeId, filled lazily: interned node names for results
};

template <class Body>
PyObject* shared_method(PyObject* self, Body&& body) noexcept {
  return guarded([&] {
    GraphState& state = unbox<GraphState>(self);
    SharedAccess access(state.access);
    return body(state);
  });
}

template <class Body>
PyObject* exclusive_method(PyObject* self, Body&& body) noexcept {
  return guarded([&] {
    GraphState& state = unbox<GraphState>(self);
    ExclusiveAccess access(state.access);
    return body(state);
  });
}

// ---- construction and mutation -----------------------------------------------

PyObject* graph_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  return guarded([&] {
    static const Params<1> params{"HandoffGraph.__new__", {"on_cycle"}, 0};
    auto [on_cycle_arg] = bind(params, args, kwargs);
    graph::CyclePolicy policy = graph::CyclePolicy::Error;
    if (on_cycle_arg != nullptr) {
      const auto parsed = graph::parse_cycle_policy(arg_str(on_cycle_arg, "on_cycle"));
      if (!parsed) raise(PyExc_ValueError, "on_cycle must be 'error' or 'allow'");
      policy = *parsed;
    }
    return make_instance<GraphState>(type, policy);
  });
}

PyObject* get_on_cycle(PyObject* self, void*) noexcept {
  return shared_method(self, [](GraphState& state) { return str_from_utf8(graph::policy_name(state.graph.policy())); });
}

PyObject* add_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return exclusive_method(self, [&](GraphState& state) {
    static const Params<1> params{"HandoffGraph.add_node", {"name"}, 1};
    auto [name_arg] = bind(params, args, nargs, kwnames);
    state.graph.add_node(arg_str(name_arg, "name"));
    return none();
  });
}

PyObject* add_edge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return exclusive_method(self, [&](GraphState& state) {
    static const Params<3> params{"HandoffGraph.add_edge", {"from_node", "to", "when"}, 2};
    auto [from_arg, to_arg, when_arg] = bind(params, args, nargs, kwnames);
    const std::string_view from = arg_str(from_arg, "from_node");
    const std::string_view to = arg_str(to_arg, "to");
    const std::optional<std::string_view> when = arg_optional_str(when_arg, "when");
    auto added = state.graph.add_edge(from, to, when);
    if (!added) raise(PyExc_ValueError, added.error());  // built with its length: names may hold NUL
    if (when) {
      // The node's condition paths changed: its cached keys are rebuilt on the next route.
      const NodeId id = *state.graph.find(from);
      if (id < state.path_keys.size()) state.path_keys[id].reset();
    }
    return none();
  });
}

// ---- routing -------------------------------------------------------------------

const PathKeys& keys_for(GraphState& state, NodeId id) {
  if (state.path_keys.size() <= id) state.path_keys.resize(static_cast<std::size_t>(id) + 1);
  if (state.path_keys[id]) return *state.path_keys[id];
  auto keys = std::make_unique<PathKeys>();
  for (const graph::Path& path : state.graph.condition_paths(id)) {
    std::vector<OwnedRef> segments;
    segments.reserve(path.size());
    for (const std::string& segment : path) {
      PyObject* key = str_from_utf8(segment).release();
      PyUnicode_InternInPlace(&key);
      segments.push_back(OwnedRef::steal(key));
    }
    keys->paths.push_back(std::move(segments));
  }
  state.path_keys[id] = std::move(keys);
  return *state.path_keys[id];
}

// The routing context: the values at the node's condition paths, one slot per path
// (Nil where the state has none), laid out as the graph's route_slots reads them.
// Each thread keeps its last context and refills it in place, so routing states of
// one shape (the usual case: one graph, one state schema) allocates nothing for
// strings, lists and dicts once the first call has sized them. A route re-entered
// on the same thread (from a key's __eq__) builds a context of its own; one that
// grew past what is worth keeping is let go after the call.
class RoutingContext {
 public:
  explicit RoutingContext(std::size_t count) : kept_(&thread_context_) {
    if (kept_->in_use) kept_ = nullptr;
    slots_ = kept_ != nullptr ? &kept_->slots : &own_;
    if (kept_ != nullptr) kept_->in_use = true;
    try {
      slots_->resize(count);
    } catch (...) {
      if (kept_ != nullptr) kept_->in_use = false;
      throw;
    }
  }
  ~RoutingContext() {
    if (kept_ == nullptr) return;
    if (footprint_.values > kKeepValues || footprint_.bytes > kKeepBytes) kept_->slots = {};
    kept_->in_use = false;
  }
  RoutingContext(const RoutingContext&) = delete;
  RoutingContext& operator=(const RoutingContext&) = delete;

  void set_nil(std::size_t slot) noexcept { (*slots_)[slot].recycle_as(Value::Kind::Nil); }
  void fill(std::size_t slot, PyObject* obj) { py_refill_value((*slots_)[slot], obj, footprint_); }
  const Value* data() const noexcept { return slots_->data(); }

 private:
  static constexpr std::size_t kKeepValues = 4096;
  static constexpr std::size_t kKeepBytes = std::size_t{1} << 18;
  struct Kept {
    std::vector<Value> slots;
    bool in_use = false;
  };
  static thread_local Kept thread_context_;

  Kept* kept_;  // this thread's kept context, or null when an outer route holds it
  std::vector<Value> own_;
  std::vector<Value>* slots_;
  RefillFootprint footprint_;
};

thread_local RoutingContext::Kept RoutingContext::thread_context_;

// Fills `context` from the state. Only a dict state is looked into; any other state
// is still converted whole, so that a value the codec refuses fails the call, but
// then holds no path: every path of a state that is not a dict is missing.
void fill_context(GraphState& state, PyObject* state_arg, std::optional<NodeId> node, RoutingContext& context) {
  const std::size_t count = node ? state.graph.condition_paths(*node).size() : 0;
  const bool is_dict = state_arg != nullptr && (PyDict_CheckExact(state_arg) || PyDict_Check(state_arg));
  if (state_arg != nullptr && state_arg != Py_None && !is_dict) (void)py_to_value(state_arg);
  if (!is_dict || count == 0) {
    for (std::size_t p = 0; p < count; ++p) context.set_nil(p);
    return;
  }
  const PathKeys& keys = keys_for(state, *node);
  for (std::size_t p = 0; p < keys.paths.size(); ++p) {
    if (keys.paths[p].empty()) {  // a free slot: no condition reads it
      context.set_nil(p);
      continue;
    }
    // Held strongly: a key's __eq__ may run Python code that drops what we walk through.
    OwnedRef current = OwnedRef::borrow(state_arg);
    bool reached = true;
    for (const OwnedRef& key : keys.paths[p]) {
      if (!PyDict_CheckExact(current.get()) && !PyDict_Check(current.get())) {
        reached = false;
        break;
      }
      PyObject* found = PyDict_GetItemWithError(current.get(), key.get());
      if (found == nullptr) {
        if (PyErr_Occurred()) throw PythonErrorSet{};
        reached = false;
        break;
      }
      current = OwnedRef::borrow(found);
    }
    if (reached) {
      context.fill(p, current.get());
    } else {
      context.set_nil(p);
    }
  }
}

// The node's name as a str, made once per node and shared by every result.
OwnedRef name_object(GraphState& state, NodeId id) {
  if (state.names.size() <= id) state.names.resize(static_cast<std::size_t>(id) + 1);
  if (!state.names[id]) {
    PyObject* name = str_from_utf8(state.graph.name(id)).release();
    PyUnicode_InternInPlace(&name);
    state.names[id] = OwnedRef::steal(name);
  }
  return OwnedRef::borrow(state.names[id].get());
}

PyObject* route(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return shared_method(self, [&](GraphState& state) {
    static const Params<2> params{"HandoffGraph.route", {"node", "state"}, 1};
    PyObject* node_arg = nullptr;
    PyObject* state_arg = nullptr;
    if (kwnames == nullptr && (nargs == 1 || nargs == 2)) {  // the common call, bound without the table
      node_arg = args[0];
      state_arg = nargs == 2 ? args[1] : nullptr;
    } else {
      const auto bound = bind(params, args, nargs, kwnames);
      node_arg = bound[0];
      state_arg = bound[1];
    }
    const std::optional<NodeId> node = state.graph.find(arg_str(node_arg, "node"));
    RoutingContext context(node ? state.graph.condition_paths(*node).size() : 0);
    fill_context(state, state_arg, node, context);
    if (!node) return none();
    const std::optional<NodeId> target = without_gil([&] { return state.graph.route_slots(*node, context.data()); });
    return target ? name_object(state, *target) : none();
  });
}

// ---- queries -------------------------------------------------------------------

PyObject* nodes(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return shared_method(self, [&](GraphState& state) {
    static const Params<0> params{"HandoffGraph.nodes", {}, 0};
    bind(params, args, nargs, kwnames);
    const std::vector<std::string_view> names = state.graph.sorted_names();
    OwnedRef list = check_new(PyList_New(static_cast<Py_ssize_t>(names.size())));
    for (std::size_t i = 0; i < names.size(); ++i) {
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), str_from_utf8(names[i]).release());
    }
    return list;
  });
}

PyObject* edges(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return shared_method(self, [&](GraphState& state) {
    static const Params<1> params{"HandoffGraph.edges", {"node"}, 1};
    auto [node_arg] = bind(params, args, nargs, kwnames);
    const std::optional<NodeId> node = state.graph.find(arg_str(node_arg, "node"));
    if (!node) return check_new(PyList_New(0));
    const std::vector<graph::Edge>& out = state.graph.edges(*node);
    OwnedRef list = check_new(PyList_New(static_cast<Py_ssize_t>(out.size())));
    for (std::size_t i = 0; i < out.size(); ++i) {
      OwnedRef to = str_from_utf8(state.graph.name(out[i].to));
      OwnedRef when = out[i].when ? str_from_utf8(*out[i].when) : none();
      OwnedRef pair = check_new(PyTuple_New(2));
      PyTuple_SetItem(pair.get(), 0, to.release());
      PyTuple_SetItem(pair.get(), 1, when.release());
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), pair.release());
    }
    return list;
  });
}

PyObject* has_node(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return shared_method(self, [&](GraphState& state) {
    static const Params<1> params{"HandoffGraph.has_node", {"node"}, 1};
    auto [node_arg] = bind(params, args, nargs, kwnames);
    return boolean(state.graph.find(arg_str(node_arg, "node")).has_value());
  });
}

PyObject* is_dag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  return shared_method(self, [&](GraphState& state) {
    static const Params<0> params{"HandoffGraph.is_dag", {}, 0};
    bind(params, args, nargs, kwnames);
    return boolean(state.graph.is_dag());
  });
}

int graph_contains(PyObject* self, PyObject* node) noexcept {
  return guarded_value(-1, [&] {
    GraphState& state = unbox<GraphState>(self);
    SharedAccess access(state.access);
    return state.graph.find(arg_str(node, "node")) ? 1 : 0;
  });
}

Py_ssize_t graph_length(PyObject* self) noexcept {
  return guarded_value<Py_ssize_t>(-1, [&]() -> Py_ssize_t {
    GraphState& state = unbox<GraphState>(self);
    SharedAccess access(state.access);
    // Node ids are 32-bit, so the count always fits a Py_ssize_t.
    return static_cast<Py_ssize_t>(state.graph.node_count());
  });
}

PyObject* graph_repr(PyObject* self) noexcept {
  return shared_method(self, [](GraphState& state) {
    return str_from_utf8("HandoffGraph(nodes=" + std::to_string(state.graph.node_count()) +
                         ", edges=" + std::to_string(state.graph.edge_count()) + ", on_cycle='" +
                         graph::policy_name(state.graph.policy()) + "')");
  });
}

// ---- the type --------------------------------------------------------------------

PyMethodDef graph_methods[] = {
    method_entry("add_node", add_node,
     "add_node($self, name)\n--\n\nRegister a node with no edges (edges also register their endpoints)."),
    method_entry("add_edge", add_edge,
     "add_edge($self, from_node, to, when=None)\n--\n\n"
     "Add a directed edge `from -> to`, optionally guarded by a `when`\n"
     "condition (see the condition mini-language).\n\n"
     "Raises `ValueError` on an invalid condition, or \xe2\x80\x94 when `on_cycle` is\n"
     "`\"error\"` \xe2\x80\x94 if the edge would create a cycle."),
    method_entry("route", route,
     "route($self, node, state=None)\n--\n\n"
     "Resolve the next node from `node` given `state`.\n\n"
     "Evaluates outgoing edges in insertion order and returns the first whose\n"
     "condition is satisfied (an edge with no condition always matches).\n"
     "Returns `None` if no edge matches."),
    method_entry("nodes", nodes,
     "nodes($self)\n--\n\nAll nodes in the graph (sorted for stable output)."),
    method_entry("edges", edges,
     "edges($self, node)\n--\n\nOutgoing edges of `node` as `(to, when)` pairs, in insertion order."),
    method_entry("has_node", has_node,
     "has_node($self, node)\n--\n\nWhether `node` exists in the graph."),
    method_entry("is_dag", is_dag,
     "is_dag($self)\n--\n\nWhether the graph is currently acyclic.\n\n"
     "Kahn's algorithm: O(V+E) and iterative. The previous reachability search\n"
     "per edge was O(V\xc2\xb7" "E) \xe2\x80\x94 half a second on a 3000-node chain \xe2\x80\x94 and recursed\n"
     "once per node, so a deep graph could overflow the stack."),
    kMethodTableEnd,
};

PyGetSetDef graph_getset[] = {
    {"on_cycle", get_on_cycle, nullptr, "Behaviour on cycle detection: `\"error\"` or `\"allow\"`.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot graph_slots[] = {
    {Py_tp_doc, const_cast<char*>("HandoffGraph(on_cycle=\"error\")\n--\n\n"
                                  "A deterministic routing graph over named nodes with conditional edges.")},
    {Py_tp_new, reinterpret_cast<void*>(graph_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_instance<GraphState>)},
    {Py_tp_repr, reinterpret_cast<void*>(graph_repr)},
    {Py_tp_methods, graph_methods},
    {Py_tp_getset, graph_getset},
    {Py_sq_length, reinterpret_cast<void*>(graph_length)},
    {Py_sq_contains, reinterpret_cast<void*>(graph_contains)},
    {0, nullptr},
};

PyType_Spec graph_spec = {
    "tallowmere._core.HandoffGraph",
    static_cast<int>(sizeof(Boxed<GraphState>)),
    0,
    Py_TPFLAGS_DEFAULT,
    graph_slots,
};

PyTypeObject* graph_type_slot = nullptr;

}  // namespace

PyTypeObject* handoff_graph_type() noexcept { return cached_type(graph_type_slot, &graph_spec); }

}  // namespace tallowmere::py
