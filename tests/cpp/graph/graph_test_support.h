// What the binding hands route_slots, built from a whole context: the value at each
// of the node's condition paths, Nil where the context has none (and in a free slot,
// whose path is empty).
#pragma once

#include <vector>

#include "graph/graph.h"

inline std::vector<tallowmere::Value> slots_for(const tallowmere::graph::Graph& g, tallowmere::graph::NodeId id,
                                                const tallowmere::Value& ctx) {
  std::vector<tallowmere::Value> slots;
  for (const tallowmere::graph::Path& path : g.condition_paths(id)) {
    const tallowmere::Value* at = path.empty() ? nullptr : &ctx;  // a free slot is Nil
    for (auto segment = path.begin(); at != nullptr && segment != path.end(); ++segment) {
      const tallowmere::Value* next = nullptr;
      for (std::size_t i = 0; at->is_map() && next == nullptr && i < at->pairs().size(); ++i) {
        const auto& [key, value] = at->pairs()[i];
        if (key.is_string() && key.bytes() == *segment) next = &value;
      }
      at = next;
    }
    slots.push_back(at ? *at : tallowmere::Value::nil());
  }
  return slots;
}
