#define TEST_SUITE "graph"
#include <new>

#include "check.hpp"
#include "graph/graph.hpp"

using tolva::Graph;
using tolva::VertexPair;

TEST(no_vertices_has_empty_matrices_and_rejects_every_query) {
  const Graph graph(0);
  CHECK_EQ(graph.words_per_row(), 0u);
  CHECK_PANICS(graph.has_edge(0, 0), "from out of bounds: 0 >= 0");
}

TEST(words_per_row_rounds_up_to_whole_words) {
  CHECK_EQ(Graph(1).words_per_row(), 1u);
  CHECK_EQ(Graph(64).words_per_row(), 1u);
  CHECK_EQ(Graph(65).words_per_row(), 2u);
  CHECK_EQ(Graph(128).words_per_row(), 2u);
}

TEST(has_edge_checks_from_before_to) {
  const Graph graph(3);
  CHECK_PANICS(graph.has_edge(3, 7), "from out of bounds: 3 >= 3");
  CHECK_PANICS(graph.has_edge(1, 3), "to out of bounds: 3 >= 3");
}

TEST(self_loops_are_ignored_before_any_bound_check) {
  Graph graph(3);
  graph.add_edge(1, 1);
  graph.add_edge(9, 9);
  CHECK(graph.edges().empty());
  CHECK(!graph.has_edge(1, 1));
}

TEST(out_of_range_endpoints_are_reported_by_the_reverse_test) {
  Graph graph(3);
  CHECK_PANICS(graph.add_edge(0, 5), "from out of bounds: 5 >= 3");
  CHECK_PANICS(graph.add_edge(5, 0), "to out of bounds: 5 >= 3");
  CHECK_PANICS(graph.add_edge(7, 5), "from out of bounds: 5 >= 3");
}

TEST(edges_and_reciprocal_pairs_keep_first_insertion_order) {
  Graph graph(3);
  graph.add_edge(1, 2);
  graph.add_edge(2, 1);
  graph.add_edge(1, 2);
  graph.add_edge(2, 1);
  CHECK(graph.edges() == (std::vector<VertexPair>{{1, 2}, {2, 1}}));
  CHECK(graph.reciprocal_pairs() == (std::vector<VertexPair>{{2, 1}}));
  graph.add_edge(0, 2);
  graph.add_edge(2, 0);
  CHECK(graph.reciprocal_pairs() == (std::vector<VertexPair>{{2, 1}, {2, 0}}));
}

TEST(bits_land_in_the_right_words_of_both_matrices) {
  Graph graph(65);
  graph.add_edge(0, 63);
  graph.add_edge(0, 64);
  CHECK_EQ(graph.out_row(0)[0], std::uint64_t{1} << 63);
  CHECK_EQ(graph.out_row(0)[1], std::uint64_t{1});
  CHECK(!graph.has_edge(63, 0));
  CHECK(graph.has_edge(0, 64));
  // in_rows is the transpose of out_rows
  CHECK_EQ(graph.in_row(63)[0], std::uint64_t{1});
  CHECK_EQ(graph.in_row(64)[0], std::uint64_t{1});
  CHECK_EQ(graph.in_row(64)[1], std::uint64_t{0});
}

TEST(unused_bits_of_the_last_word_stay_zero) {
  Graph graph(70);
  for (std::uint64_t v = 0; v < 70; ++v) graph.add_edge(v, (v + 1) % 70);
  for (std::uint64_t v = 0; v < 70; ++v) CHECK_EQ(graph.out_row(v)[1] >> 6, std::uint64_t{0});
}

TEST(matrix_size_overflow_panics) {
  CHECK_PANICS(Graph(std::uint64_t{1} << 40), "size of adjacency matrix overflows");
  CHECK_PANICS(Graph(~std::uint64_t{0}), "size of adjacency matrix overflows");
}

TEST(matrices_too_large_for_memory_fail_with_bad_alloc) {
  // 2^32 vertices: 2^58 words per matrix, no overflow, but no machine has the memory.
  CHECK_THROWS_AS(Graph(std::uint64_t{1} << 32), std::bad_alloc);
}
