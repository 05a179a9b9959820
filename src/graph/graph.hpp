// Directed graph on the vertices 0..n-1 without self-loops, held as two row-major bit
// matrices of 64-bit words (out- and in-neighbourhoods). Built once with add_edge, then
// read concurrently without locks.
#pragma once

#include <cstdint>
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
  explicit Graph(std::uint64_t vertex_count);

  std::uint64_t vertex_count() const noexcept { return vertex_count_; }
  std::uint64_t words_per_row() const noexcept { return words_per_row_; }

  // Panics with "from out of bounds: ..." / "to out of bounds: ..." on a vertex not below n.
  bool has_edge(std::uint64_t from, std::uint64_t to) const;

  // Self-loops are ignored before any bound check; an endpoint not below n is reported by
  // the reverse test has_edge(to, from). Repeated edges change nothing.
  void add_edge(std::uint64_t from, std::uint64_t to);

  // Row v of the out (in) matrix: words_per_row() words, bit w of word k is vertex 64k + w.
  const std::uint64_t* out_row(std::uint64_t vertex) const noexcept {
    return out_rows_.data() + vertex * words_per_row_;
  }
  const std::uint64_t* in_row(std::uint64_t vertex) const noexcept {
    return in_rows_.data() + vertex * words_per_row_;
  }

  // Insertion-ordered edge sets. Membership is answered by the bit matrices, so the lists
  // only record first insertions.
  const std::vector<VertexPair>& edges() const noexcept { return edges_; }
  // One (larger, smaller) entry per pair joined in both directions, in the order in which
  // the second of its two edges arrived.
  const std::vector<VertexPair>& reciprocal_pairs() const noexcept { return reciprocal_pairs_; }

 private:
  bool bit(const FlatBuffer<std::uint64_t>& rows, std::uint64_t row, std::uint64_t column) const noexcept {
    return (rows.data()[row * words_per_row_ + (column >> 6)] >> (column & 63)) & 1U;
  }
  static void set_bit(FlatBuffer<std::uint64_t>& rows, std::uint64_t words_per_row, std::uint64_t row,
                      std::uint64_t column) noexcept {
    rows.data()[row * words_per_row + (column >> 6)] |= std::uint64_t{1} << (column & 63);
  }

  std::uint64_t vertex_count_;
  std::uint64_t words_per_row_;
  std::vector<VertexPair> edges_;
  std::vector<VertexPair> reciprocal_pairs_;
  FlatBuffer<std::uint64_t> out_rows_;
  FlatBuffer<std::uint64_t> in_rows_;
};

}  // namespace tolva
