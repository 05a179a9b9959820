#define TEST_SUITE "graph"
#include <new>
#include <random>
#include <set>
#include <vector>

#include "base/memory_guard.hpp"
#include "check.hpp"
#include "base/task.hpp"
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

namespace {

std::vector<std::uint64_t> neighbours_of(const Graph& graph, std::uint64_t vertex) {
  const auto list = graph.out_neighbours(vertex);
  return {list.begin(), list.end()};
}

}  // namespace

TEST(neighbours_across_word_boundaries_are_kept_apart_from_their_reverse) {
  Graph graph(65);
  graph.add_edge(0, 64);
  graph.add_edge(0, 63);
  CHECK(neighbours_of(graph, 0) == (std::vector<std::uint64_t>{63, 64}));
  CHECK(!graph.has_edge(63, 0));
  CHECK(graph.has_edge(0, 64));
  CHECK(graph.has_edge(0, 63));
  CHECK(neighbours_of(graph, 63).empty());
  CHECK(neighbours_of(graph, 64).empty());
}

TEST(neighbours_stay_within_the_vertices) {
  Graph graph(70);
  for (std::uint64_t v = 0; v < 70; ++v) graph.add_edge(v, (v + 1) % 70);
  for (std::uint64_t v = 0; v < 70; ++v) CHECK(neighbours_of(graph, v) == (std::vector<std::uint64_t>{(v + 1) % 70}));
  CHECK_EQ(graph.edge_count(), 70u);
}

namespace {

// A plain model of the insertion-ordered sets, for shuffled input with repeats.
struct PlainGraph {
  std::vector<VertexPair> edges, reciprocal;
  std::set<std::pair<std::uint64_t, std::uint64_t>> present;
  void add(std::uint64_t a, std::uint64_t b) {
    if (a == b || present.count({a, b})) return;
    edges.push_back({a, b});
    if (present.count({b, a})) reciprocal.push_back({std::max(a, b), std::min(a, b)});
    present.insert({a, b});
  }
};

}  // namespace

TEST(shuffled_repeated_edges_keep_both_orders_and_sorted_neighbours) {
  std::mt19937_64 generator(5);
  for (const std::uint64_t n : {2u, 9u, 300u}) {
    Graph graph(n);
    PlainGraph plain;
    for (int added = 0; added < 2000; ++added) {
      const std::uint64_t a = generator() % n, b = generator() % n;
      graph.add_edge(a, b);
      plain.add(a, b);
      if (added == 700) CHECK(graph.edges() == plain.edges);  // a build between additions
    }
    CHECK(graph.edges() == plain.edges);
    CHECK(graph.reciprocal_pairs() == plain.reciprocal);
    CHECK_EQ(graph.edge_count(), plain.edges.size());
    for (std::uint64_t v = 0; v < n; ++v) {
      std::vector<std::uint64_t> expected;
      for (const auto& [from, to] : plain.present)
        if (from == v) expected.push_back(to);
      CHECK(neighbours_of(graph, v) == expected);
      for (std::uint64_t w = 0; w < n; ++w) CHECK_EQ(graph.has_edge(v, w), plain.present.count({v, w}) == 1);
    }
  }
}

TEST(a_cancelled_task_stops_the_build_and_a_later_build_is_whole) {
  Graph graph(50);
  for (std::uint64_t v = 50; v-- > 0;) graph.add_edge(v, (v * 7 + 3) % 50);  // out of order: sorted
  {
    tolva::TaskContext task;
    task.request_cancel();
    const tolva::TaskScope scope(&task);
    CHECK_THROWS_AS(graph.edges(), tolva::Cancelled);
  }
  std::vector<tolva::VertexPair> expected;
  for (std::uint64_t v = 50; v-- > 0;) expected.push_back({v, (v * 7 + 3) % 50});
  CHECK(graph.edges() == expected);
  CHECK_EQ(neighbours_of(graph, 49).size(), 1u);
}

TEST(rows_arriving_in_order_build_the_same_graph) {
  // Ascending arrivals (a matrix scan) take the path without sorting.
  Graph in_order(5), shuffled(5);
  const std::vector<VertexPair> edges{{0, 3}, {1, 0}, {1, 4}, {3, 1}, {4, 1}};
  for (const auto& [from, to] : edges) in_order.add_edge(from, to);
  for (auto at = edges.rbegin(); at != edges.rend(); ++at) shuffled.add_edge(at->first, at->second);
  for (std::uint64_t v = 0; v < 5; ++v) CHECK(neighbours_of(in_order, v) == neighbours_of(shuffled, v));
  CHECK(in_order.edges() == edges);
  CHECK(in_order.reciprocal_pairs() == (std::vector<VertexPair>{{4, 1}}));
  CHECK(shuffled.reciprocal_pairs() == (std::vector<VertexPair>{{4, 1}}));
  in_order.add_edge(0, 1);  // out of order after a build
  CHECK(neighbours_of(in_order, 0) == (std::vector<std::uint64_t>{1, 3}));
  CHECK(in_order.reciprocal_pairs() == (std::vector<VertexPair>{{4, 1}, {1, 0}}));
}

TEST(many_vertices_cost_no_matrix) {
  // 10^6 vertices: an n x n bit matrix would take 125 GB.
  Graph graph(1000000);
  graph.add_edge(999999, 3);
  CHECK(graph.has_edge(999999, 3));
  CHECK(!graph.has_edge(3, 999999));
  CHECK(graph.edges() == (std::vector<VertexPair>{{999999, 3}}));
}

TEST(matrix_size_overflow_panics) {
  CHECK_PANICS(Graph(std::uint64_t{1} << 40), "size of adjacency matrix overflows");
  CHECK_PANICS(Graph(~std::uint64_t{0}), "size of adjacency matrix overflows");
}

TEST(matrix_size_overflow_is_exactly_where_the_product_wraps) {
  // n * ceil(n / 64) first passes 2^64 - 1 at n = 2^35: 2^35 * 2^29 = 2^64, while
  // (2^35 - 1) * 2^29 = 2^64 - 2^29 still fits. Below the wrap, that many vertices cannot be
  // numbered: bad_alloc, not the overflow panic.
  CHECK_THROWS_AS(Graph{(std::uint64_t{1} << 35) - 1}, std::bad_alloc);
  CHECK_PANICS(Graph{std::uint64_t{1} << 35}, "size of adjacency matrix overflows");
  CHECK_PANICS(Graph{(std::uint64_t{1} << 35) + 1}, "size of adjacency matrix overflows");
}

TEST(vertex_tables_beyond_the_available_memory_fail_with_bad_alloc) {
  // 2^32 vertices can be numbered; their offsets take 32 GiB, more than the 1 GiB given here.
  const tolva::AvailableMemoryOverride available(std::size_t{1} << 30);
  CHECK_THROWS_AS(Graph(std::uint64_t{1} << 32), std::bad_alloc);
  CHECK_THROWS_AS(Graph((std::uint64_t{1} << 32) + 1), std::bad_alloc);  // too many to number
  Graph fits(std::uint64_t{1} << 20);  // 8 MiB of offsets
  fits.add_edge(7, 3);
  CHECK(fits.has_edge(7, 3));
}
