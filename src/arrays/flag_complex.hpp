// The complex and its index, built once per DirectedFlagComplex object and read-only after:
// any number of calls may read them at once.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>

#include "complex/directed_flag_complex.hpp"
#include "complex/simplex_index.hpp"
#include "graph/graph.hpp"
#include "tolva/face_walk.hpp"

namespace tolva::arrays {

// Never moved once built: the index refers to the complex's lists.
class BuiltComplex {
 public:
  // Enumerates the graph's complex (which then releases the graph) and indexes it.
  BuiltComplex(Graph graph, std::uint64_t q, std::uint64_t max_dimension);
  BuiltComplex(const BuiltComplex&) = delete;
  BuiltComplex& operator=(const BuiltComplex&) = delete;

  std::uint64_t vertex_count() const noexcept { return vertex_count_; }
  const DirectedFlagComplex& complex() const noexcept { return complex_; }
  const SimplexIndex& index() const noexcept { return index_; }
  // Lists from q up to the last non-empty one.
  std::uint64_t list_count() const noexcept { return list_count_; }
  // Position of the first simplex of dimension q + k; the simplex count for k >= list_count().
  std::uint64_t first_position(std::uint64_t k) const noexcept;
  bool has_cofaces_of_q_simplices() const noexcept { return list_count_ >= 2; }
  // The faces of every simplex, found in the index: the same for every q-near request, so
  // made by the first (4 bytes per face pair) and kept for the others. A call waiting for
  // another to make it can still be cancelled.
  const FaceWalk& face_walk() const;

 private:
  std::uint64_t vertex_count_;
  DirectedFlagComplex complex_;
  std::uint64_t list_count_;
  SimplexIndex index_;
  mutable std::mutex walk_mutex_;
  mutable std::optional<FaceWalk> walk_;
};

}  // namespace tolva::arrays
