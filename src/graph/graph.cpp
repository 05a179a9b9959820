#include "graph/graph.hpp"

#include <algorithm>
#include <string>

#include "base/panic.hpp"

namespace tolva {
namespace {

std::uint64_t checked_matrix_words(std::uint64_t vertex_count, std::uint64_t words_per_row) {
  std::uint64_t words = 0;
  if (__builtin_mul_overflow(vertex_count, words_per_row, &words)) {
    panic("size of adjacency matrix overflows");
  }
  return words;
}

}  // namespace

Graph::Graph(std::uint64_t vertex_count)
    : vertex_count_(vertex_count),
      // (n + 63) >> 6 without wrapping for n near 2^64.
      words_per_row_((vertex_count >> 6) + ((vertex_count & 63) != 0)),
      out_rows_(FlatBuffer<std::uint64_t>::zeros(checked_matrix_words(vertex_count, words_per_row_),
                                                 PageSize::Small)),
      in_rows_(FlatBuffer<std::uint64_t>::zeros(out_rows_.size(), PageSize::Small)) {}

bool Graph::has_edge(std::uint64_t from, std::uint64_t to) const {
  if (from >= vertex_count_) {
    panic("from out of bounds: " + std::to_string(from) + " >= " + std::to_string(vertex_count_));
  }
  if (to >= vertex_count_) {
    panic("to out of bounds: " + std::to_string(to) + " >= " + std::to_string(vertex_count_));
  }
  return bit(out_rows_, from, to);
}

void Graph::add_edge(std::uint64_t from, std::uint64_t to) {
  if (from == to) return;
  const bool reverse_exists = has_edge(to, from);  // also the bound check of both endpoints
  if (bit(out_rows_, from, to)) return;            // already present: keeps its place
  edges_.push_back({from, to});
  if (reverse_exists) reciprocal_pairs_.push_back({std::max(from, to), std::min(from, to)});
  set_bit(out_rows_, words_per_row_, from, to);
  set_bit(in_rows_, words_per_row_, to, from);
}

}  // namespace tolva
