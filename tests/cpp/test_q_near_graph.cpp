#define TEST_SUITE "q_near_graph"
#include "check.hpp"
#include <array>
#include <random>
#include <set>
#include <string>

#include "base/flat_buffer.hpp"
#include "base/memory_guard.hpp"
#include "complex/directed_flag_complex.hpp"
#include "complex/simplex_index.hpp"
#include "graph/graph.hpp"
#include "tolva/new/single_thread.hpp"
#include "tolva/original/single_thread.hpp"
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

TEST(reserving_attempts_that_cannot_fit_refuses_them_before_any_is_made) {
  const tolva::AvailableMemoryOverride available(std::size_t{1} << 30);  // 768 MiB usable
  const std::uint64_t fitting = (std::uint64_t{768} << 20) / 16;        // 16 bytes per attempt
  QNearGraph graph;
  graph.reserve(fitting);
  CHECK_THROWS_AS(graph.reserve(fitting + 1), tolva::OutOfMemory);
  CHECK(graph.insert(1, 2));  // a refused reserve leaves the graph usable
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

namespace {

// Attempted pairs with many repeats, near and far apart in the stream.
std::vector<std::array<std::uint64_t, 2>> repeating_stream(std::uint64_t length, std::uint64_t seed) {
  std::vector<std::array<std::uint64_t, 2>> stream;
  std::uint64_t state = seed;
  for (std::uint64_t k = 0; k < length; ++k) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    const std::uint64_t draw = state >> 33;
    stream.push_back({draw % 1500, (draw / 1500) % 700});
  }
  return stream;
}

Pairs first_occurrences(const std::vector<std::array<std::uint64_t, 2>>& stream) {
  std::set<std::array<std::uint64_t, 2>> seen;
  Pairs firsts;
  for (const auto& pair : stream) {
    if (seen.insert(pair).second) firsts.push_back(pair);
  }
  return firsts;
}

}  // namespace

// Several chunks, many partitions (and the workers, at every worker count the suite runs
// with), and pairs already present before the stream.
TEST(a_stream_inserts_like_one_insert_after_the_other) {
  for (const std::uint64_t reserved : {std::uint64_t{0}, std::uint64_t{1} << 16, std::uint64_t{1} << 22}) {
    const auto stream = repeating_stream(700000, reserved + 1);
    QNearGraph graph;
    graph.reserve(reserved);
    graph.insert(stream[5][0], stream[5][1]);
    graph.insert(1499, 699);
    graph.insert_all([&](QNearGraph::PairStream& pairs) {
      for (const auto& pair : stream) pairs.insert(pair[0], pair[1]);
    });
    std::vector<std::array<std::uint64_t, 2>> expected_stream{stream[5], {1499, 699}};
    expected_stream.insert(expected_stream.end(), stream.begin(), stream.end());
    const Pairs expected = first_occurrences(expected_stream);
    CHECK(graph.edges() == expected);
    CHECK_EQ(graph.size(), expected.size());
    // Still one set afterwards.
    CHECK(!graph.insert(stream.back()[0], stream.back()[1]));
    CHECK(graph.insert(1500, 0));
  }
}

TEST(a_short_stream_is_complete_when_insert_all_returns) {
  QNearGraph graph;
  graph.insert_all([](QNearGraph::PairStream& pairs) {
    pairs.insert(4, 2);
    pairs.insert(4, 2);
    pairs.insert(2, 4);
  });
  CHECK(graph.edges() == (Pairs{{4, 2}, {2, 4}}));
}

TEST(the_graph_cannot_be_used_while_a_stream_is_open) {
  QNearGraph graph;
  graph.insert(1, 1);
  const std::string read = "a q-near graph was read while a pair stream into it was open";
  graph.insert_all([&](QNearGraph::PairStream& pairs) {
    pairs.insert(2, 2);
    CHECK_PANICS(graph.size(), read);
    CHECK_PANICS(graph.edges(), read);
    CHECK_PANICS(graph.take_packed_pairs(), read);
    CHECK_PANICS(graph.insert(3, 3), "a q-near graph was written to while a pair stream into it was open");
    CHECK_PANICS(graph.insert_all([](QNearGraph::PairStream&) {}),
                 "a second pair stream was opened into one q-near graph");
  });
  CHECK(graph.edges() == (Pairs{{1, 1}, {2, 2}}));
}

TEST(a_failed_stream_leaves_an_empty_usable_graph) {
  QNearGraph graph;
  graph.reserve(std::uint64_t{1} << 20);
  graph.insert(9, 9);
  const auto stream = repeating_stream(300000, 7);
  CHECK_PANICS(graph.insert_all([&](QNearGraph::PairStream& pairs) {
    for (const auto& pair : stream) pairs.insert(pair[0], pair[1]);
    pairs.insert(std::uint64_t{1} << 32, 0);
  }),
               "capacity overflow");
  CHECK_EQ(graph.size(), 0u);
  CHECK(graph.insert(9, 9));
  CHECK(graph.edges() == (Pairs{{9, 9}}));
}

TEST(reserving_after_pairs_are_in_keeps_them) {
  QNearGraph graph;
  CHECK(graph.insert(1, 2));
  graph.reserve(std::uint64_t{1} << 24);
  CHECK(!graph.insert(1, 2));
  CHECK(graph.insert(2, 1));
  CHECK(graph.edges() == (Pairs{{1, 2}, {2, 1}}));
}

// Pieces filed on the workers land in piece order, between the pairs inserted before and
// after them.
TEST(pieces_insert_like_their_pairs_in_piece_order) {
  const auto stream = repeating_stream(600000, 11);
  for (const std::uint64_t pieces : {std::uint64_t{1}, std::uint64_t{7}, std::uint64_t{64}}) {
    QNearGraph graph;
    graph.reserve(stream.size());
    const std::uint64_t before = 1000, after = stream.size() - 5000;
    graph.insert_all([&](QNearGraph::PairStream& pairs) {
      for (std::uint64_t at = 0; at < before; ++at) pairs.insert(stream[at][0], stream[at][1]);
      pairs.insert_pieces(pieces, [&](std::uint64_t piece, auto&& emit) {
        const std::uint64_t length = after - before;
        for (std::uint64_t at = before + length * piece / pieces; at < before + length * (piece + 1) / pieces; ++at) {
          emit(stream[at][0], stream[at][1]);
        }
      });
      for (std::uint64_t at = after; at < stream.size(); ++at) pairs.insert(stream[at][0], stream[at][1]);
    });
    CHECK(graph.edges() == first_occurrences(stream));
  }
}

// Empty pieces and pieces of very different lengths put chunk edges anywhere against the
// stretches the stream is joined in (a chunk may span stretches, or hold nothing): the
// joined pairs are still the stream's first occurrences, in order.
TEST(chunks_of_any_length_join_in_stream_order) {
  const auto stream = repeating_stream(300000, 23);
  // Piece p ends at ends[p]: lengths 0, 1, a few, and long runs.
  std::vector<std::uint64_t> ends{0};
  for (std::uint64_t p = 0; ends.back() < stream.size(); ++p) {
    const std::uint64_t length = p % 4 == 0 ? 0 : p % 4 == 1 ? 1 : p % 4 == 2 ? 37 : 9000 + 4000 * (p % 7);
    ends.push_back(std::min<std::uint64_t>(stream.size(), ends.back() + length));
  }
  for (const std::uint64_t reserved : {std::uint64_t{0}, stream.size()}) {
    QNearGraph graph;
    graph.reserve(reserved);
    graph.insert_all([&](QNearGraph::PairStream& pairs) {
      pairs.insert_pieces(ends.size() - 1, [&](std::uint64_t piece, auto&& emit) {
        for (std::uint64_t at = ends[piece]; at < ends[piece + 1]; ++at) emit(stream[at][0], stream[at][1]);
      });
    });
    CHECK(graph.edges() == first_occurrences(stream));
  }
}

// Hints are only hints: pieces that write fewer pairs than hinted, none, or more (on in a
// buffer of their own) still land in piece order, whether the pieces share one block or not.
TEST(pieces_that_miss_their_hints_still_insert_in_order) {
  const auto stream = repeating_stream(200000, 31);
  const std::uint64_t pieces = 40;
  const auto piece_range = [&](std::uint64_t piece) {
    return std::pair<std::uint64_t, std::uint64_t>{stream.size() * piece / pieces, stream.size() * (piece + 1) / pieces};
  };
  for (const bool shared : {true, false}) {  // hints within one block's size, or beyond it
    QNearGraph graph;
    graph.reserve(stream.size());
    graph.insert_all([&](QNearGraph::PairStream& pairs) {
      pairs.insert_pieces(
          pieces,
          [&](std::uint64_t piece) {
            const auto [first, last] = piece_range(piece);
            const std::uint64_t length = last - first;
            // too few, none, exactly, too many
            const std::uint64_t hint = piece % 4 == 0 ? length / 2 : piece % 4 == 1 ? 0 : piece % 4 == 2 ? length : 3 * length;
            return shared ? hint : hint + tolva::kSharedBlockKeys;
          },
          [&](std::uint64_t piece, auto&& emit) {
            const auto [first, last] = piece_range(piece);
            for (std::uint64_t at = first; at < last; ++at) emit(stream[at][0], stream[at][1]);
          });
    });
    CHECK(graph.edges() == first_occurrences(stream));
  }
}

// Promised pairs (sources below the bound, each once) interleaved with checked ones that
// repeat: the order is the stream's, with only the checked repeats gone, on one thread and
// in pieces.
TEST(promised_distinct_pairs_keep_their_place_among_checked_ones) {
  constexpr std::uint64_t bound = 300;
  auto checked = repeating_stream(400000, 5);
  checked[0] = checked[1] = {bound + 1, 7};
  std::vector<std::array<std::uint64_t, 2>> stream;
  std::uint64_t promised = 0;
  for (std::uint64_t k = 0; k < checked.size(); ++k) {
    if (checked[k][0] >= bound) stream.push_back(checked[k]);
    if (k % 3 == 0) {
      stream.push_back({promised % bound, promised / bound});
      ++promised;
    }
  }
  // With a pair in the graph before, and without.
  for (const auto& [pieces, prior] : std::vector<std::pair<std::uint64_t, bool>>{{1, true}, {9, true}, {9, false}, {40, false}}) {
    QNearGraph graph;
    graph.reserve(stream.size());
    if (prior) graph.insert(checked[0][0], checked[0][1]);  // in the graph before: its repeats are dropped
    graph.insert_all([&](QNearGraph::PairStream& pairs) {
      pairs.insert_pieces(pieces, [&](std::uint64_t piece, auto&& emit) {
        for (std::uint64_t at = stream.size() * piece / pieces; at < stream.size() * (piece + 1) / pieces; ++at) {
          emit(stream[at][0], stream[at][1]);
        }
      });
    }, bound);
    std::vector<std::array<std::uint64_t, 2>> expected_stream;
    if (prior) expected_stream.push_back(checked[0]);
    expected_stream.insert(expected_stream.end(), stream.begin(), stream.end());
    const Pairs expected = first_occurrences(expected_stream);
    CHECK(expected.size() < expected_stream.size());
    CHECK(graph.edges() == expected);
  }
}

// Without a repeat the keys stay as they were streamed.
TEST(a_stream_without_repeats_is_kept_as_streamed) {
  QNearGraph graph;
  Pairs expected;
  graph.insert_all([&](QNearGraph::PairStream& pairs) {
    for (std::uint64_t k = 0; k < 50000; ++k) {
      pairs.insert(k % 977, k);
      expected.push_back({k % 977, k});
    }
  });
  CHECK(graph.edges() == expected);
}

namespace {

// A small stand-in for a cortical column: vertices on a line, each ordered pair an edge with
// a probability falling with distance, higher along the vertex order (which makes directed
// cliques common), plus two out-hubs and an in-hub.
tolva::Graph column_like_graph(std::uint64_t n, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  tolva::Graph graph(n);
  for (std::uint64_t a = 0; a < n; ++a) {
    for (std::uint64_t b = 0; b < n; ++b) {
      if (a == b) continue;
      const double distance = static_cast<double>(a > b ? a - b : b - a);
      const double closeness = distance > 12 ? 0.0 : 0.75 - distance / 20;
      if (uniform(generator) < (a < b ? closeness : closeness / 4)) graph.add_edge(a, b);
    }
  }
  for (std::uint64_t v = 0; v < n; v += 3) {
    graph.add_edge(n / 3, v == n / 3 ? v + 1 : v);
    graph.add_edge(n / 2, v == n / 2 ? v + 1 : v);
    if (v != 2 * n / 3) graph.add_edge(v, 2 * n / 3);
  }
  return graph;
}

}  // namespace

// The products cut into pieces of one row group or of a handful of pairs each (many chunks,
// each filed and checked on the workers), and tables built on all workers or on one, give
// the pairs of one piece, in the same order.
TEST(results_do_not_depend_on_how_the_products_are_cut) {
  const tolva::Graph graph = column_like_graph(120, 5);
  for (const auto& [q, i, j] : std::vector<std::array<std::uint64_t, 3>>{{0, 0, 1}, {1, 1, 1}, {1, 2, 0}, {2, 0, 3}}) {
    const tolva::DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, q, q + 3);
    CHECK(complex.lists.size() == 4);
    const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
    const tolva::ProductCuts whole{std::uint64_t{1} << 40, ~std::uint64_t{0}, ~std::uint64_t{0}};
    const Pairs old_whole = tolva::q_near_graph_old(q, i, j, complex, index, whole).edges();
    const Pairs new_whole = tolva::q_near_graph_new(q, i, j, complex, index, whole).edges();
    CHECK(old_whole.size() > 5000);
    CHECK(new_whole.size() > 5000);
    for (const tolva::ProductCuts cuts :
         {tolva::ProductCuts{1, 1, 0}, tolva::ProductCuts{64, 5000, 0}, tolva::ProductCuts{}}) {
      CHECK(tolva::q_near_graph_old(q, i, j, complex, index, cuts).edges() == old_whole);
      CHECK(tolva::q_near_graph_new(q, i, j, complex, index, cuts).edges() == new_whole);
    }
  }
}
