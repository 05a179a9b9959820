// The directed flag complex of a graph between two dimensions: one flat vertex array per
// dimension (a simplex is a run of dimension + 1 vertices in it), each list in
// lexicographic order of the vertex sequences.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/graph.hpp"
#include "tolva/flat_buffer.hpp"

namespace tolva {

// Vertex numbers as stored in the complex; a graph with more vertices than this type can
// number could not hold its bit matrices in memory anyway.
using Vertex = std::uint32_t;

class SimplexList {
 public:
  explicit SimplexList(std::uint64_t vertices_per_simplex) : stride_(vertices_per_simplex) {}

  std::uint64_t vertices_per_simplex() const noexcept { return stride_; }
  std::uint64_t size() const noexcept { return vertices_.size() / stride_; }
  bool empty() const noexcept { return vertices_.empty(); }
  const Vertex* operator[](std::uint64_t at) const noexcept { return vertices_.data() + at * stride_; }

  void push_back(const Vertex* simplex) { vertices_.append(simplex, stride_); }
  void append(SimplexList&& other);
  // Grows the list by `count` vertices for the caller to write; returns where they start.
  Vertex* extend_uninitialized(std::uint64_t count) { return vertices_.extend(count); }
  const FlatBuffer<Vertex>& vertices() const noexcept { return vertices_; }

 private:
  std::uint64_t stride_;
  FlatBuffer<Vertex> vertices_;
};

struct DirectedFlagComplex {
  explicit DirectedFlagComplex(std::uint64_t lowest_dimension) : q(lowest_dimension) {}

  std::uint64_t q;                // dimension of the simplices of lists[0]
  std::vector<SimplexList> lists;  // lists[k]: the simplices of dimension q + k

  std::uint64_t simplex_count() const noexcept;
  // The list for dimension q + k, created (with every list below it) when missing.
  SimplexList& list_for(std::uint64_t k);
};

// Every directed simplex of dimension q .. max_dimension, enumerated in parallel over the
// vertices. max_dimension = 2^64 - 1 sets no bound.
DirectedFlagComplex build_directed_flag_complex(const Graph& graph, std::uint64_t q,
                                                std::uint64_t max_dimension);

// Joins two partial complexes; left covers the lower root vertices.
DirectedFlagComplex merge_partial_complexes(DirectedFlagComplex left, DirectedFlagComplex right);

}  // namespace tolva
