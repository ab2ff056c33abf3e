// graph/graph_py.h: the Python class HandoffGraph over graph::Graph.
#pragma once

#include <Python.h>

namespace tallowmere::py {

// Created on first use and kept for the process; null with a Python error set on failure.
PyTypeObject* handoff_graph_type() noexcept;

}  // namespace tallowmere::py
