// The `graph` argument in any of its forms (a .flag path, a dense matrix, a SciPy sparse
// matrix, a (vertex_count, edges) pair), taken apart on the calling thread into what the
// native side needs, and the graph built from that without the interpreter.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "graph/graph.hpp"
#include "arrays/python.hpp"

namespace tolva::arrays {

// A run of edges read from two integer vectors of NumPy arrays kept alive here.
struct EdgeRun {
  Ref source_owner, target_owner;
  const char* sources;
  const char* targets;
  Py_ssize_t source_stride, target_stride;  // bytes
  std::uint64_t count;
  bool is_signed;             // int64 entries, else uint64
  std::uint64_t source_offset;  // added to every source (the first row of a matrix block)
};

struct GraphInput {
  std::optional<std::string> path;  // file-system bytes of a .flag path
  std::uint64_t vertex_count = 0;
  std::vector<EdgeRun> runs;
};

// Throws PythonError: TypeError for an unsupported object, ValueError for a matrix that is
// not square.
GraphInput take_graph_argument(PyObject* graph);

// Without the interpreter; InvalidInput or FileFailure for what cannot be a graph.
Graph build_graph(const GraphInput& input);

}  // namespace tolva::arrays
