#define TEST_SUITE "complex"
#include <algorithm>
#include <bit>
#include <map>
#include <random>
#include <set>
#include <string>

#include "check.hpp"
#include "complex/directed_flag_complex.hpp"
#include "complex/simplex_index.hpp"
#include "base/task.hpp"
#include "tolva/face_walk.hpp"

using tolva::DirectedFlagComplex;
using tolva::Graph;
using Simplex = std::vector<std::uint64_t>;
using Lists = std::vector<std::vector<Simplex>>;

namespace {

constexpr std::uint64_t kUnbounded = ~std::uint64_t{0};

Graph graph_of(std::uint64_t n, const std::vector<std::pair<std::uint64_t, std::uint64_t>>& edges) {
  Graph graph(n);
  for (const auto& [from, to] : edges) graph.add_edge(from, to);
  return graph;
}

Lists lists_of(const DirectedFlagComplex& complex) {
  Lists lists;
  for (const auto& list : complex.lists) {
    auto& out = lists.emplace_back();
    for (std::uint64_t at = 0; at < list.size(); ++at) {
      Simplex& simplex = out.emplace_back();
      for (std::uint64_t k = 0; k < list.vertices_per_simplex(); ++k) simplex.push_back(list.vertex(at, k));
    }
  }
  return lists;
}

Lists build(const Graph& graph, std::uint64_t q, std::uint64_t max_dimension) {
  return lists_of(tolva::build_directed_flag_complex(graph, q, max_dimension));
}

// Each ordered pair an edge with the given probability.
Graph random_graph(std::uint64_t n, double density, std::mt19937_64& generator) {
  Graph graph(n);
  std::bernoulli_distribution edge(density);
  for (std::uint64_t a = 0; a < n; ++a)
    for (std::uint64_t b = 0; b < n; ++b)
      if (edge(generator)) graph.add_edge(a, b);
  return graph;
}

// Straightforward enumeration: every vertex sequence with all forward edges, then sorted.
void extend_plainly(const Graph& graph, Simplex& simplex, std::uint64_t max_vertices, std::vector<Simplex>& out) {
  out.push_back(simplex);
  if (simplex.size() == max_vertices) return;
  for (std::uint64_t v = 0; v < graph.vertex_count(); ++v) {
    if (std::all_of(simplex.begin(), simplex.end(), [&](std::uint64_t u) { return u != v && graph.has_edge(u, v); })) {
      simplex.push_back(v);
      extend_plainly(graph, simplex, max_vertices, out);
      simplex.pop_back();
    }
  }
}

Lists plain_complex(const Graph& graph, std::uint64_t q, std::uint64_t max_dimension) {
  std::vector<Simplex> all;
  for (std::uint64_t v = 0; v < graph.vertex_count(); ++v) {
    Simplex simplex{v};
    extend_plainly(graph, simplex, max_dimension + 1, all);
  }
  std::sort(all.begin(), all.end());
  Lists lists;
  for (const Simplex& simplex : all) {
    if (simplex.size() <= q) continue;
    const std::uint64_t k = simplex.size() - 1 - q;
    if (lists.size() <= k) lists.resize(k + 1);
    lists[k].push_back(simplex);
  }
  return lists;
}

}  // namespace

TEST(no_vertices_gives_no_lists) { CHECK(build(Graph(0), 0, kUnbounded).empty()); }

TEST(q_above_max_dimension_or_every_simplex_gives_no_lists) {
  const Graph graph = graph_of(3, {{0, 1}, {1, 2}, {0, 2}});
  CHECK(build(graph, 2, 1).empty());
  CHECK(build(graph, 3, kUnbounded).empty());
  CHECK(build(graph, 100, kUnbounded).empty());
}

TEST(dimension_zero_lists_every_vertex) {
  CHECK(build(graph_of(4, {{2, 3}}), 0, 0) == (Lists{{{0}, {1}, {2}, {3}}}));
}

TEST(opposite_edges_give_both_orders_and_no_triangle) {
  CHECK(build(graph_of(2, {{0, 1}, {1, 0}}), 0, 5) == (Lists{{{0}, {1}}, {{0, 1}, {1, 0}}}));
}

TEST(transitive_triangle_versus_directed_cycle) {
  CHECK(build(graph_of(3, {{0, 1}, {1, 2}, {0, 2}}), 2, kUnbounded) == (Lists{{{0, 1, 2}}}));
  CHECK(build(graph_of(3, {{0, 1}, {1, 2}, {2, 0}}), 2, kUnbounded).empty());
}

TEST(q_one_lists_every_edge_sorted) {
  CHECK(build(graph_of(4, {{3, 0}, {1, 2}, {0, 3}, {0, 1}}), 1, 1) == (Lists{{{0, 1}, {0, 3}, {1, 2}, {3, 0}}}));
}

TEST(complete_reciprocal_triangle_gives_six_orderings) {
  const Graph graph = graph_of(3, {{0, 1}, {1, 0}, {0, 2}, {2, 0}, {1, 2}, {2, 1}});
  CHECK(build(graph, 2, 2) ==
        (Lists{{{0, 1, 2}, {0, 2, 1}, {1, 0, 2}, {1, 2, 0}, {2, 0, 1}, {2, 1, 0}}}));
}

TEST(max_dimension_limits_the_lists) {
  const Graph graph = graph_of(4, {{0, 1}, {0, 2}, {0, 3}, {1, 2}, {1, 3}, {2, 3}});
  CHECK_EQ(build(graph, 0, 1).size(), 2u);
  CHECK_EQ(build(graph, 0, kUnbounded).size(), 4u);
  CHECK_EQ(build(graph, 1, 2).size(), 2u);
}

TEST(complete_digraph_counts_follow_the_closed_form) {
  Graph graph(6);
  for (std::uint64_t a = 0; a < 6; ++a)
    for (std::uint64_t b = 0; b < 6; ++b) graph.add_edge(a, b);
  const Lists lists = build(graph, 0, kUnbounded);
  std::uint64_t expected = 1;  // 6! / (6 - k - 1)!
  CHECK_EQ(lists.size(), 6u);
  for (std::uint64_t k = 0; k < 6; ++k) {
    expected *= 6 - k;
    CHECK_EQ(lists[k].size(), expected);
  }
}

TEST(random_graphs_match_a_plain_enumeration) {
  std::mt19937_64 generator(12345);
  for (int round = 0; round < 60; ++round) {
    const std::uint64_t n = generator() % 12;
    const double density = 0.2 + 0.6 * static_cast<double>(generator() % 100) / 100.0;
    const Graph graph = random_graph(n, density, generator);
    const std::uint64_t q = generator() % 3;
    const std::uint64_t max_dimension = round % 4 == 0 ? kUnbounded : generator() % 6;
    CHECK(build(graph, q, max_dimension) == plain_complex(graph, q, max_dimension));
  }
}

TEST(wide_graphs_cross_word_boundaries) {
  // Edges between vertices far apart in the bit rows, with reciprocal pairs.
  Graph graph(200);
  for (std::uint64_t a = 0; a < 200; a += 7)
    for (std::uint64_t b = 3; b < 200; b += 11) graph.add_edge(a, b);
  for (std::uint64_t a = 0; a < 200; a += 13) graph.add_edge(199 - a, a);
  CHECK(build(graph, 0, kUnbounded) == plain_complex(graph, 0, kUnbounded));
  CHECK(build(graph, 2, 3) == plain_complex(graph, 2, 3));
}

// Sparse random edges plus hubs: out-hubs whose neighbourhoods span many words, and
// neighbours whose own lists are far longer than the root's.
Graph sparse_graph_with_hubs(std::uint64_t n, std::mt19937_64& generator) {
  Graph graph(n);
  for (std::uint64_t e = 0; e < 4 * n; ++e) graph.add_edge(generator() % n, generator() % n);
  for (std::uint64_t hub = 0; hub < 3; ++hub) {
    for (std::uint64_t e = 0; e < n / 3; ++e) {
      graph.add_edge(hub, generator() % n);
      graph.add_edge(generator() % n, n - 1 - hub);
    }
  }
  for (std::uint64_t a = 0; a < 3; ++a)
    for (std::uint64_t b = 0; b < 3; ++b) graph.add_edge(a, n - 1 - b);
  return graph;
}

TEST(sparse_graphs_with_hubs_match_a_plain_enumeration) {
  std::mt19937_64 generator(2024);
  for (const std::uint64_t n : {300u, 1500u}) {
    const Graph graph = sparse_graph_with_hubs(n, generator);
    for (const std::uint64_t q : {0u, 1u, 2u}) {
      const Lists lists = build(graph, q, kUnbounded);
      CHECK(lists == plain_complex(graph, q, kUnbounded));
      CHECK(lists.size() >= 3 - q);  // the hubs' neighbourhoods hold triangles at least
    }
    CHECK(build(graph, 1, 2) == plain_complex(graph, 1, 2));
  }
}

TEST(both_neighbourhood_sources_give_the_same_complex) {
  // Dense graphs choose the bit matrix and sparse ones the lists; each is forced here on
  // both kinds, including roots whose neighbourhoods span several words.
  using tolva::NeighbourhoodSource;
  std::mt19937_64 generator(77);
  struct Case {
    Graph graph;
    std::vector<std::uint64_t> max_dimensions;
  };
  std::vector<Case> cases;
  cases.push_back({random_graph(40, 0.4, generator), {kUnbounded, 3}});
  cases.push_back({random_graph(130, 0.6, generator), {2}});  // three words per bit row
  cases.push_back({sparse_graph_with_hubs(700, generator), {kUnbounded, 3}});
  for (const Case& c : cases) {
    for (const std::uint64_t q : {0u, 2u}) {
      for (const std::uint64_t max_dimension : c.max_dimensions) {
        const Lists chosen = build(c.graph, q, max_dimension);
        CHECK(lists_of(tolva::build_directed_flag_complex(c.graph, q, max_dimension, NeighbourhoodSource::Lists)) == chosen);
        CHECK(lists_of(tolva::build_directed_flag_complex(c.graph, q, max_dimension, NeighbourhoodSource::BitRows)) == chosen);
        if (c.graph.vertex_count() < 100 || max_dimension <= 3) CHECK(chosen == plain_complex(c.graph, q, max_dimension));
      }
    }
  }
}

TEST(simplex_lists_read_across_many_pieces) {
  // Enough simplices that every block writes several pieces and the directory has to step
  // over piece ends; every place must read back the simplex written there.
  std::mt19937_64 generator(17);
  const Graph graph = random_graph(60, 0.45, generator);
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 0, kUnbounded);
  const Lists expected = plain_complex(graph, 0, kUnbounded);
  CHECK(lists_of(complex) == expected);
  CHECK(complex.simplex_count() > 400000);  // several 16 KiB pieces per block and list
}

TEST(merging_pads_and_appends_list_by_list) {
  DirectedFlagComplex left(0, 2), right(0, 2);
  const tolva::NarrowVertex a[] = {0}, b[] = {1}, ab[] = {1, 2};
  left.list_for(0).push_back(a);
  right.list_for(0).push_back(b);
  right.list_for(1).push_back(ab);
  CHECK(lists_of(tolva::merge_partial_complexes(std::move(left), std::move(right))) ==
        (Lists{{{0}, {1}}, {{1, 2}}}));
}

TEST(index_positions_follow_the_lists) {
  const Graph graph = graph_of(4, {{0, 1}, {0, 2}, {1, 2}, {2, 3}});
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 0, kUnbounded);
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  CHECK_EQ(index.size(), complex.simplex_count());
  for (std::uint64_t v = 0; v < 4; ++v) CHECK(index.find(Simplex{v}) == v);
  CHECK(index.find(Simplex{0, 1}) == 4u);  // the first edge in list order comes right after the vertices
  CHECK(index.find(Simplex{2, 3}) == 7u);
  CHECK(index.find(Simplex{0, 1, 2}) == 8u);
  CHECK(!index.find(Simplex{1, 0}));
  CHECK(!index.find(Simplex{1, 0, 2}));
  CHECK(!index.find(Simplex{0, 1, 2, 3}));
  CHECK(!index.find(Simplex{}));
  CHECK(!index.find(Simplex{std::uint64_t{1} << 40}));
}

TEST(index_omits_dimensions_below_q) {
  const Graph graph = graph_of(3, {{0, 1}, {0, 2}, {1, 2}});
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 1, 2);
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  CHECK(!index.find(Simplex{0}));
  CHECK(index.find(Simplex{0, 1}) == 0u);
  CHECK(index.find(Simplex{0, 1, 2}) == 3u);
}

TEST(empty_complex_gives_empty_index) {
  const DirectedFlagComplex complex(0, 2);
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  CHECK_EQ(index.size(), 0u);
  CHECK(!index.find(Simplex{0}));
}

TEST(every_simplex_of_a_large_complex_finds_its_position) {
  std::mt19937_64 generator(7);
  const Graph graph = random_graph(40, 0.5, generator);
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 1, kUnbounded);
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  std::uint64_t position = 0;
  for (const auto& list : complex.lists) {
    for (std::uint64_t at = 0; at < list.size(); ++at, ++position) {
      CHECK(index.find(list.at<tolva::NarrowVertex>(at), list.vertices_per_simplex()) == position);
    }
  }
  CHECK_EQ(position, index.size());
}

TEST(slots_of_every_width_find_their_simplices) {
  // Root 0 has 70,000 edges (a region that needs 4-byte slots), 300 triangles (3 bytes); the
  // vertices' regions are small (2 bytes). The tetrahedron 0123 makes the triangles hashed.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> edges;
  for (std::uint64_t leaf = 1; leaf <= 70000; ++leaf) edges.emplace_back(0, leaf);
  for (std::uint64_t leaf = 2; leaf <= 301; ++leaf) edges.emplace_back(1, leaf);
  edges.emplace_back(2, 3);
  const Graph graph = graph_of(70001, edges);
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 0, kUnbounded);
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  CHECK_EQ(complex.lists.size(), 4u);
  CHECK_EQ(index.slot_bytes(0), 2u);
  CHECK_EQ(index.slot_bytes(1), 4u);
  CHECK_EQ(index.slot_bytes(2), 3u);
  CHECK_EQ(index.slot_bytes(3), 0u);
  std::uint64_t position = 0;
  for (const auto& list : complex.lists) {
    for (std::uint64_t at = 0; at < list.size(); ++at, ++position) {
      CHECK(index.find(list.at<tolva::WideVertex>(at), list.vertices_per_simplex()) == position);
    }
  }
  // Absent sequences whose regions hold many simplices: only their vertices tell them apart.
  for (std::uint64_t v = 1; v <= 70000; v += 97) {
    CHECK(!index.find(Simplex{1, v + 301}));
    CHECK(!index.find(Simplex{0, 2, v + 301}));
    CHECK(!index.find(Simplex{v, 0}));
  }
}

TEST(three_byte_slots_filled_in_several_pieces_at_once_find_their_simplices) {
  // 200 roots with 301 edges each: regions of 3-byte slots, side by side, in a list long enough
  // to be filled in several pieces, each writing its slots beside another's (the C++ suite runs
  // under a thread checker too). The edges r -> r + 1 make triangles, so the edges are hashed.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> edges;
  for (std::uint64_t root = 0; root < 200; ++root) {
    for (std::uint64_t target = 200; target < 500; ++target) edges.emplace_back(root, target);
    edges.emplace_back(root, root + 1);
  }
  const Graph graph = graph_of(500, edges);
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 1, 2);
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  CHECK_EQ(index.slot_bytes(0), 3u);
  CHECK(complex.lists[0].size() > (std::uint64_t{1} << 15));  // places per piece
  for (std::uint64_t at = 0; at < complex.lists[0].size(); ++at) {
    CHECK(index.find(complex.lists[0].at<tolva::NarrowVertex>(at), 2) == at);
  }
}

TEST(sequences_that_are_no_simplex_are_not_found) {
  // Random vertex sequences of every length against the set of simplices: a slot whose stored
  // hash bits match by chance must still be told apart by its vertices.
  std::mt19937_64 generator(5);
  const Graph graph = random_graph(30, 0.4, generator);
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 0, kUnbounded);
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  std::map<std::vector<std::uint64_t>, std::uint64_t> positions;
  std::uint64_t position = 0;
  for (const auto& list : complex.lists) {
    for (std::uint64_t at = 0; at < list.size(); ++at, ++position) {
      const auto* simplex = list.at<tolva::NarrowVertex>(at);
      positions[std::vector<std::uint64_t>(simplex, simplex + list.vertices_per_simplex())] = position;
    }
  }
  std::uniform_int_distribution<std::uint64_t> vertex(0, 29), length(1, complex.lists.size());
  std::uint64_t found = 0;
  for (int draw = 0; draw < 200000; ++draw) {
    Simplex sequence(length(generator));
    for (auto& v : sequence) v = vertex(generator);
    const auto known = positions.find(sequence);
    const auto position_found = index.find(sequence);
    CHECK(position_found.has_value() == (known != positions.end()));
    if (position_found && known != positions.end()) {
      CHECK_EQ(*position_found, known->second);
      ++found;
    }
  }
  CHECK(found > 1000);  // the draws met simplices too, not only absent sequences
}

TEST(lookups_in_flight_find_what_position_of_finds) {
  // Many lookups begun before any ends, in a small table so that probe runs are long.
  std::mt19937_64 generator(11);
  const Graph graph = random_graph(24, 0.5, generator);
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 1, 4);
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  using V = tolva::NarrowVertex;
  for (std::size_t k = 0; k + 1 < complex.lists.size(); ++k) {
    const auto& list = complex.lists[k];
    const std::uint64_t count = list.vertices_per_simplex();
    std::vector<tolva::SimplexIndex::Probe> probes;
    for (std::uint64_t at = 0; at < list.size(); ++at) probes.push_back(index.begin_lookup(list.at<V>(at), count));
    for (const auto& probe : probes) index.fetch_candidate<V>(probe);
    for (std::uint64_t at = 0; at < list.size(); ++at) {
      CHECK_EQ(index.end_lookup(probes[at], list.at<V>(at), count), index.position_of(list.at<V>(at), count));
    }
  }
  const V absent[] = {1, 1, 1};  // a repeated vertex is never a simplex
  CHECK_PANICS(index.end_lookup(index.begin_lookup(absent, 3), absent, 3), "called `Option::unwrap()` on a `None` value");
  const V too_long[] = {0, 1, 2, 3, 4, 5, 6, 7};
  CHECK_PANICS(index.end_lookup(index.begin_lookup(too_long, 8), too_long, 8), "called `Option::unwrap()` on a `None` value");
}

// Dense random edges among the vertices first .. first + size - 1 of a graph of n vertices.
Graph cluster_graph(std::uint64_t n, std::uint64_t first, std::uint64_t size, double density, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::bernoulli_distribution edge(density);
  Graph graph(n);
  for (std::uint64_t a = first; a < first + size; ++a)
    for (std::uint64_t b = first; b < first + size; ++b)
      if (a != b && edge(generator)) graph.add_edge(a, b);
  return graph;
}

Graph sparse_random_graph(std::uint64_t n, std::uint64_t edges, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::uniform_int_distribution<std::uint64_t> vertex(0, n - 1);
  Graph graph(n);
  for (std::uint64_t e = 0; e < edges; ++e) {
    const std::uint64_t a = vertex(generator), b = vertex(generator);
    if (a != b) graph.add_edge(a, b);
  }
  return graph;
}

// Every simplex is found at its position, by find and by lookups kept in flight; sequences
// that are not simplices of the complex (reversed, or with a first vertex that starts no
// simplex or lies beyond every one) are absent.
template <class V>
void check_index_answers(const DirectedFlagComplex& complex, const tolva::SimplexIndex& index, std::uint64_t n) {
  const Lists lists = lists_of(complex);
  std::uint64_t position = 0;
  for (std::size_t k = 0; k < lists.size(); ++k) {
    const std::set<Simplex> present(lists[k].begin(), lists[k].end());  // the list is sorted: linear
    std::set<std::uint64_t> roots;
    for (const Simplex& simplex : lists[k]) roots.insert(simplex[0]);
    std::vector<tolva::SimplexIndex::Probe> probes;
    std::vector<std::vector<V>> keys;
    // Absent sequences are tried near a sample of the simplices of long lists.
    const std::size_t sample = lists[k].size() < 100000 ? 1 : 97;
    for (std::size_t at = 0; at < lists[k].size(); ++at) {
      const Simplex& simplex = lists[k][at];
      CHECK(index.find(simplex) == position++);
      keys.emplace_back(simplex.begin(), simplex.end());
      probes.push_back(index.begin_lookup(keys.back().data(), keys.back().size()));
      if (at % sample != 0) continue;
      Simplex reversed(simplex.rbegin(), simplex.rend());
      if (!present.contains(reversed)) CHECK(!index.find(reversed));
      for (const std::uint64_t root : {std::uint64_t{0}, n / 2, n - 1}) {
        Simplex moved = simplex;
        moved[0] = root;
        if (!roots.contains(root)) CHECK(!index.find(moved));
      }
    }
    for (const auto& probe : probes) index.fetch_candidate<V>(probe);
    for (std::size_t at = 0; at < keys.size(); ++at) {
      CHECK_EQ(index.end_lookup(probes[at], keys[at].data(), keys[at].size()),
               index.first_position(k) + at);
    }
  }
  CHECK_EQ(position, index.size());
}

// A complete digraph on the vertices 0 .. 11, then a chain of triangles (v, v + 1, v + 2) on
// 12 .. 40: most roots of the triangles start one each, a few start a hundred.
Graph skewed_graph() {
  Graph graph = cluster_graph(41, 0, 12, 1.0, 7);
  for (std::uint64_t v = 12; v + 2 <= 40; ++v) {
    graph.add_edge(v, v + 1);
    graph.add_edge(v, v + 2);
  }
  graph.add_edge(39, 40);
  return graph;
}

TEST(index_answers_for_graphs_of_every_shape) {
  struct Case {
    const char* name;
    Graph graph;
    std::uint64_t q, max_dimension;
  };
  Case cases[] = {
      // Far more vertices than simplices per list: several roots share a region, most
      // regions are empty.
      {"sparse", sparse_random_graph(5000, 12000, 3), 0, kUnbounded},
      // Simplices only above vertex 4000: empty regions below, no root beyond the cluster.
      {"late cluster", cluster_graph(5000, 4000, 30, 0.5, 4), 1, kUnbounded},
      // Regions of one simplex each, side by side.
      {"skewed", skewed_graph(), 1, 3},
      // Every ordering of 10 vertices: a root holds more simplices than a block of work
      // usually inserts, so blocks are stretched to whole regions.
      {"complete", cluster_graph(10, 0, 10, 1.0, 5), 6, 7},
      {"wide vertices", cluster_graph(70000, 65520, 32, 0.5, 6), 1, kUnbounded},
  };
  for (const Case& c : cases) {
    const DirectedFlagComplex complex = tolva::build_directed_flag_complex(c.graph, c.q, c.max_dimension);
    CHECK(complex.lists.size() >= 2);
    const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
    const std::uint64_t n = c.graph.vertex_count();
    tolva::with_vertex_type(complex.vertex_width, [&]<class V>(V) { check_index_answers<V>(complex, index, n); });
  }
}

TEST(index_reports_its_progress_and_stops_when_cancelled) {
  const Graph graph = cluster_graph(10, 0, 10, 1.0, 5);
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 6, 7);
  std::uint64_t hashed = 0;
  for (std::size_t k = 0; k + 1 < complex.lists.size(); ++k) hashed += complex.lists[k].size();
  {
    tolva::TaskContext task;
    const tolva::TaskScope scope(&task);
    const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
    const auto progress = task.progress();
    CHECK(progress.stage == tolva::Stage::Index);
    CHECK_EQ(progress.total, hashed);
    CHECK_EQ(progress.done, hashed);
  }
  // A complex of one block of work, and one of many.
  const DirectedFlagComplex small = tolva::build_directed_flag_complex(sparse_random_graph(50, 100, 8), 0, kUnbounded);
  for (const DirectedFlagComplex* cancelled : {&small, &complex}) {
    tolva::TaskContext task;
    const tolva::TaskScope scope(&task);
    task.request_cancel();
    CHECK_THROWS_AS(tolva::build_simplex_index(*cancelled), tolva::Cancelled);
  }
}

TEST(graphs_beyond_65536_vertices_store_wide_vertices) {
  const Graph graph = graph_of(70000, {{65535, 65536}, {65536, 69999}, {65535, 69999}, {3, 65535}});
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 1, kUnbounded);
  CHECK_EQ(complex.vertex_width, 4u);
  CHECK(lists_of(complex) ==
        (Lists{{{3, 65535}, {65535, 65536}, {65535, 69999}, {65536, 69999}}, {{65535, 65536, 69999}}}));
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  CHECK(index.find(Simplex{65536, 69999}) == 3u);
  CHECK(index.find(Simplex{65535, 65536, 69999}) == 4u);
  CHECK(!index.find(Simplex{65536, 65535}));
}

TEST(graphs_of_up_to_65536_vertices_store_narrow_vertices) {
  const Graph graph = graph_of(65536, {{65535, 0}, {0, 65534}, {65535, 65534}});
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 2, kUnbounded);
  CHECK_EQ(complex.vertex_width, 2u);
  CHECK(lists_of(complex) == (Lists{{{65535, 0, 65534}}}));
}

// The face positions a walk must write: per simplex of every list above the first (the top
// list first), its faces of more than q vertices by size, then in lexicographic order of the
// kept places, each looked up on its own.
std::vector<std::uint64_t> plain_walk(const DirectedFlagComplex& complex, const tolva::SimplexIndex& index,
                                      std::uint64_t q) {
  std::vector<std::uint64_t> expected;
  const Lists lists = lists_of(complex);
  for (std::size_t k = lists.size(); k-- > 1;) {
    for (const Simplex& simplex : lists[k]) {
      std::vector<std::vector<std::uint64_t>> faces;
      for (std::uint64_t mask = 1; mask + 1 < (std::uint64_t{1} << simplex.size()); ++mask) {
        if (static_cast<std::uint64_t>(std::popcount(mask)) <= q) continue;
        std::vector<std::uint64_t> places;
        for (std::uint64_t p = 0; p < simplex.size(); ++p)
          if (mask >> p & 1) places.push_back(p);
        faces.push_back(places);
      }
      std::sort(faces.begin(), faces.end(), [](const auto& x, const auto& y) {
        return x.size() != y.size() ? x.size() < y.size() : x < y;
      });
      for (const auto& places : faces) {
        Simplex face;
        for (const std::uint64_t p : places) face.push_back(simplex[p]);
        expected.push_back(*index.find(face));
      }
    }
  }
  return expected;
}

void check_walk(const DirectedFlagComplex& complex, std::uint64_t q) {
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  const tolva::FaceWalk walk = tolva::walk_faces(complex, index);
  const std::vector<std::uint64_t> expected = plain_walk(complex, index, q);
  CHECK_EQ(walk.face_positions.size(), expected.size());
  CHECK(std::equal(expected.begin(), expected.end(), walk.face_positions.begin()));
}

TEST(face_walk_matches_a_plain_walk_across_many_pieces) {
  // Big enough that the walk is cut into many pieces written in parallel.
  std::mt19937_64 generator(99);
  const Graph graph = random_graph(30, 0.55, generator);
  const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 1, 6);
  CHECK(tolva::walk_faces(complex, tolva::build_simplex_index(complex)).face_positions.size() > (std::uint64_t{1} << 18));
  check_walk(complex, 1);
}

// Faces one vertex short (hashed from the simplex's partial sums) and smaller ones (hashed
// vertex by vertex) must meet the index's hash alike, for 2- and 4-byte vertices and at every
// q up to the largest simplex.
TEST(face_walk_finds_every_face_at_every_q_and_vertex_width) {
  for (const std::uint64_t first : {std::uint64_t{0}, std::uint64_t{70000}}) {
    // A dense cluster, numbered from `first` on in a graph of first + 12 vertices.
    const Graph graph = cluster_graph(first + 12, first, 12, 0.7, 3);
    for (std::uint64_t q = 0; q < 5; ++q) {
      const DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, q, kUnbounded);
      CHECK_EQ(complex.vertex_width, first == 0 ? 2u : 4u);
      CHECK(complex.lists.size() > 2);
      check_walk(complex, q);
    }
  }
}
