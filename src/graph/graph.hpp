// Directed graph on the vertices 0..n-1 without self-loops. add_edge records arrivals; the
// first query after them sorts them into out-neighbour lists (one ascending run of targets
// per vertex, back to back), dropping repeats, so memory and time grow with n + edges.
// Built on one thread; once built (build_pending() or any query) it is read concurrently
// without locks.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "base/flat_buffer.hpp"

namespace tolva {

struct VertexPair {
  std::uint64_t first;
  std::uint64_t second;
  friend bool operator==(const VertexPair&, const VertexPair&) = default;
};

class Graph {
 public:
  // Vertex numbers in the neighbour lists. A graph of more than 2^32 vertices throws
  // std::bad_alloc: its offset table alone would need 32 GiB.
  using Vertex = std::uint32_t;

  // Panics with "size of adjacency matrix overflows" when n * words_per_row() does not fit
  // in 64 bits (the size of an n x n bit matrix, checked without allocating one).
  explicit Graph(std::uint64_t vertex_count);

  std::uint64_t vertex_count() const noexcept { return vertex_count_; }
  // ceil(n / 64): the words of one row of an n x n bit matrix.
  std::uint64_t words_per_row() const noexcept { return words_per_row_; }

  // Panics with "from out of bounds: ..." / "to out of bounds: ..." on a vertex not below n.
  bool has_edge(std::uint64_t from, std::uint64_t to) const;

  // Self-loops are ignored before any bound check; an endpoint not below n is reported as
  // the reverse test has_edge(to, from) would. Repeated edges change nothing.
  void add_edge(std::uint64_t from, std::uint64_t to);

  // The out-neighbours of `vertex` (below n) in ascending order.
  std::span<const Vertex> out_neighbours(std::uint64_t vertex) const {
    build_pending();
    return {targets_.data() + offsets_[vertex], targets_.data() + offsets_[vertex + 1]};
  }
  // All lists back to back, and where each vertex's list starts in them (n + 1 entries).
  const Vertex* neighbour_targets() const {
    build_pending();
    return targets_.data();
  }
  const std::uint64_t* neighbour_offsets() const {
    build_pending();
    return offsets_.data();
  }
  std::uint64_t edge_count() const {
    build_pending();
    return arrivals_.size();
  }

  // Every edge once, in the order of its first insertion.
  std::vector<VertexPair> edges() const;
  // One (larger, smaller) entry per pair joined in both directions, in the order in which
  // the second of its two edges arrived.
  std::vector<VertexPair> reciprocal_pairs() const;

  // Sorts the edges added since the last build into the neighbour lists. Queries do this
  // themselves; a caller about to share the graph between threads calls it first.
  void build_pending() const {
    if (built_arrivals_ != arrivals_.size()) [[unlikely]] rebuild();
  }

 private:
  static std::uint64_t key_of(std::uint64_t from, std::uint64_t to) noexcept { return from << 32 | to; }
  void rebuild() const;
  void build_from_ascending_arrivals() const;
  void build_from_any_arrivals() const;
  // Place of edge from->to in targets_, or the end of the list of `from` when absent.
  std::uint64_t slot_of(std::uint64_t from, std::uint64_t to) const;

  std::uint64_t vertex_count_;
  std::uint64_t words_per_row_;
  // (from << 32 | to) per add_edge; after a build, the distinct edges in first-insertion order.
  mutable FlatBuffer<std::uint64_t> arrivals_;
  mutable std::uint64_t built_arrivals_ = 0;
  bool arrivals_ascending_ = true;  // every arrival above the one before: no repeats, no sort
  mutable FlatBuffer<std::uint64_t> offsets_;
  mutable FlatBuffer<Vertex> targets_;
};

}  // namespace tolva
