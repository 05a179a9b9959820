// The directed flag complex of a graph between two dimensions: one flat vertex array per
// dimension (a simplex is a run of dimension + 1 vertices in it), each list in
// lexicographic order of the vertex sequences.
#pragma once

#include <cstdint>
#include <vector>

#include "graph/graph.hpp"
#include "base/flat_buffer.hpp"

namespace tolva {

// Vertex numbers are stored in 16 bits when the graph has at most 65536 vertices and in 32
// bits otherwise (a graph with more vertices than 32 bits can number could not hold its bit
// matrices in memory anyway). Code that reads vertices is written once for both widths.
using NarrowVertex = std::uint16_t;
using WideVertex = std::uint32_t;

inline unsigned vertex_width_for(std::uint64_t vertex_count) noexcept {
  return vertex_count <= std::uint64_t{1} << 16 ? sizeof(NarrowVertex) : sizeof(WideVertex);
}

// Calls body(V{}) with V the vertex type of the given width.
template <class Body>
decltype(auto) with_vertex_type(unsigned width, Body&& body) {
  if (width == sizeof(NarrowVertex)) return body(NarrowVertex{});
  return body(WideVertex{});
}

class SimplexList {
 public:
  SimplexList(std::uint64_t vertices_per_simplex, unsigned vertex_width)
      : stride_(vertices_per_simplex), width_(vertex_width) {}

  std::uint64_t vertices_per_simplex() const noexcept { return stride_; }
  unsigned vertex_width() const noexcept { return width_; }
  std::uint64_t size() const noexcept { return bytes_.size() / (stride_ * width_); }
  bool empty() const noexcept { return bytes_.empty(); }
  std::uint64_t bytes() const noexcept { return bytes_.size(); }

  // The simplex at `at`; V must be the list's vertex type.
  template <class V>
  const V* at(std::uint64_t place) const noexcept {
    return reinterpret_cast<const V*>(bytes_.data()) + place * stride_;
  }
  // Vertex k of the simplex at `place`, whatever the width.
  std::uint64_t vertex(std::uint64_t place, std::uint64_t k) const noexcept {
    return width_ == sizeof(NarrowVertex) ? at<NarrowVertex>(place)[k] : at<WideVertex>(place)[k];
  }

  template <class V>
  void push_back(const V* simplex) {
    bytes_.append(reinterpret_cast<const std::byte*>(simplex), stride_ * sizeof(V));
  }
  void append(SimplexList&& other);
  // Grows the list by `count` bytes for the caller to write; returns where they start.
  std::byte* extend_uninitialized(std::uint64_t count) { return bytes_.extend(count); }
  const std::byte* data() const noexcept { return bytes_.data(); }

 private:
  std::uint64_t stride_;
  unsigned width_;
  FlatBuffer<std::byte> bytes_;
};

struct DirectedFlagComplex {
  DirectedFlagComplex(std::uint64_t lowest_dimension, unsigned width)
      : q(lowest_dimension), vertex_width(width) {}

  std::uint64_t q;                 // dimension of the simplices of lists[0]
  unsigned vertex_width;           // bytes per stored vertex
  std::vector<SimplexList> lists;  // lists[k]: the simplices of dimension q + k

  std::uint64_t simplex_count() const noexcept;
  // The list for dimension q + k, created (with every list below it) when missing.
  SimplexList& list_for(std::uint64_t k) {
    if (k >= lists.size()) [[unlikely]] add_lists_up_to(k);
    return lists[k];
  }

 private:
  void add_lists_up_to(std::uint64_t k);
};

// Every directed simplex of dimension q .. max_dimension, enumerated in parallel over the
// vertices. max_dimension = 2^64 - 1 sets no bound.
DirectedFlagComplex build_directed_flag_complex(const Graph& graph, std::uint64_t q,
                                                std::uint64_t max_dimension);

// Joins two partial complexes; left covers the lower root vertices.
DirectedFlagComplex merge_partial_complexes(DirectedFlagComplex left, DirectedFlagComplex right);

}  // namespace tolva
