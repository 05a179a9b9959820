#define TEST_SUITE "q_near_graph"
#include "check.hpp"
#include "base/flat_buffer.hpp"
#include "tolva/q_near_graph.hpp"

using tolva::QNearGraph;
using Pairs = std::vector<std::array<std::uint64_t, 2>>;

TEST(insert_keeps_first_insertion_order_and_ignores_repeats) {
  QNearGraph graph;
  CHECK(graph.insert(3, 5));
  CHECK(graph.insert(5, 3));
  CHECK(!graph.insert(3, 5));
  CHECK(graph.insert(0, 0));
  CHECK(graph.edges() == (Pairs{{3, 5}, {5, 3}, {0, 0}}));
}

TEST(order_survives_growth) {
  QNearGraph graph;
  Pairs expected;
  for (std::uint64_t k = 0; k < 100000; ++k) {
    const std::uint64_t s = (k * 7919) % 1000, t = (k * 104729) % 997;
    if (graph.insert(s, t)) expected.push_back({s, t});
  }
  for (std::uint64_t k = 0; k < 100000; k += 3) CHECK(!graph.insert((k * 7919) % 1000, (k * 104729) % 997));
  CHECK(graph.edges() == expected);
  CHECK_EQ(graph.size(), expected.size());
}

TEST(positions_beyond_32_bits_fail_loudly) {
  QNearGraph graph;
  CHECK(graph.insert(0xFFFFFFFEULL, 0xFFFFFFFEULL));
  CHECK_PANICS(graph.insert(0xFFFFFFFFULL, 0), "capacity overflow");
  CHECK_PANICS(graph.insert(0, std::uint64_t{1} << 32), "capacity overflow");
}

TEST(requests_beyond_available_memory_are_refused) {
  CHECK_THROWS_AS(tolva::ensure_memory_available(~std::size_t{0} / 2), std::bad_alloc);
  tolva::ensure_memory_available(std::size_t{1} << 20);  // small requests are not even checked
  CHECK_THROWS_AS(tolva::FlatBuffer<std::uint64_t>::zeros(~std::size_t{0} / 16), std::bad_alloc);
  tolva::FlatBuffer<std::uint32_t> buffer;
  CHECK_THROWS_AS(buffer.reserve(~std::size_t{0} / 8), std::bad_alloc);
  CHECK_EQ(buffer.size(), 0u);
}

TEST(taking_the_pairs_leaves_an_empty_usable_graph) {
  QNearGraph graph;
  graph.insert(1, 2);
  graph.insert(7, 0);
  const auto pairs = graph.take_packed_pairs();
  CHECK_EQ(pairs.size(), 2u);
  CHECK_EQ(QNearGraph::packed_source(pairs[1]), 7u);
  CHECK_EQ(QNearGraph::packed_target(pairs[0]), 2u);
  CHECK_EQ(graph.size(), 0u);
  CHECK(graph.insert(1, 2));
  CHECK(graph.edges() == (Pairs{{1, 2}}));
}
