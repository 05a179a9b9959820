// Benchmark of the pipeline's C++ stages: reading or generating the graph, the complex
// enumeration, the simplex index and (TOLVA_BENCH_ALGORITHM=old|new, TOLVA_BENCH_I/J) an algorithm;
// TOLVA_BENCH_WALK=N times the algorithms' face walk alone, N times (the best is printed).
//   tolva_bench flag <path> [q] [max_dimension]
//   tolva_bench random <n> <p> <seed> [q] [max_dimension]
//   tolva_bench sparse <n> <edges> <seed> [q] [max_dimension]
// "sparse" draws a heavy-tailed graph like large connectomes: sources and targets with
// Pareto (shape 2) propensities, so that most vertices have a few edges and hubs thousands.
// Worker count from RAYON_NUM_THREADS as in the module. Prints simplices per dimension,
// wall times and the memory held by the complex; with TOLVA_BENCH_JSON=1 also one JSON line
// of the same numbers at exit (for bench/run.py).
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "complex/directed_flag_complex.hpp"
#include "complex/simplex_index.hpp"
#include "graph_io/flag_reader.hpp"
#include "parallel/worker_pool.hpp"
#include "tolva/face_walk.hpp"
#include "tolva/new/single_thread.hpp"
#include "tolva/original/single_thread.hpp"

namespace {

// User and system CPU seconds of the process so far.
struct CpuTime {
  double user = 0, system = 0;
  static CpuTime now() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6; };
    return {seconds(usage.ru_utime), seconds(usage.ru_stime)};
  }
};

double seconds_since(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

tolva::Graph random_graph(std::uint64_t n, double p, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::bernoulli_distribution edge(p);
  tolva::Graph graph(n);
  for (std::uint64_t from = 0; from < n; ++from) {
    for (std::uint64_t to = 0; to < n; ++to) {
      if (from != to && edge(generator)) graph.add_edge(from, to);
    }
  }
  return graph;
}

tolva::Graph sparse_graph(std::uint64_t n, std::uint64_t edges, std::uint64_t seed) {
  std::mt19937_64 generator(seed);
  std::uniform_real_distribution<double> uniform(0.0, 1.0);
  const auto propensities = [&] {
    std::vector<double> cumulative(n);
    double total = 0;
    for (std::uint64_t v = 0; v < n; ++v) cumulative[v] = total += 1.0 / std::sqrt(1.0 - uniform(generator));
    return cumulative;
  };
  const std::vector<double> out = propensities(), in = propensities();
  const auto draw = [&](const std::vector<double>& cumulative) {
    const double at = uniform(generator) * cumulative.back();
    return static_cast<std::uint64_t>(std::upper_bound(cumulative.begin(), cumulative.end(), at) - cumulative.begin());
  };
  tolva::Graph graph(n);
  for (std::uint64_t e = 0; e < edges; ++e) graph.add_edge(std::min(draw(out), n - 1), std::min(draw(in), n - 1));
  return graph;
}

// The numbers of the run for the JSON line, filled in as the stages finish.
struct Record {
  std::uint64_t vertices = 0, edges = 0, workers = 0, pairs = 0;
  std::string simplices;  // comma-separated counts per dimension
  double graph_s = -1, complex_s = -1, index_s = -1, algorithm_s = -1;
  double algorithm_user_s = -1, algorithm_system_s = -1;  // CPU seconds of all threads
};
Record record;

void print_record() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  std::printf("{\"vertices\": %llu, \"edges\": %llu, \"workers\": %llu, \"simplices\": [%s], \"graph_s\": %.6f, "
              "\"complex_s\": %.6f, \"index_s\": %.6f, \"algorithm_s\": %.6f, \"algorithm_user_s\": %.6f, "
              "\"algorithm_system_s\": %.6f, \"pairs\": %llu, \"peak_rss_kib\": %ld}\n",
              static_cast<unsigned long long>(record.vertices), static_cast<unsigned long long>(record.edges),
              static_cast<unsigned long long>(record.workers), record.simplices.c_str(), record.graph_s,
              record.complex_s, record.index_s, record.algorithm_s, record.algorithm_user_s, record.algorithm_system_s,
              static_cast<unsigned long long>(record.pairs),
              usage.ru_maxrss);
}

long peak_rss_mib() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_maxrss / 1024;
}

// The face walk alone, best of `times` runs: its lookups are most of the algorithms' reads of
// the index.
void time_face_walk(const tolva::DirectedFlagComplex& complex, const tolva::SimplexIndex& index, std::uint64_t times) {
  double best = 1e300;
  std::uint64_t lookups = 0;
  for (std::uint64_t run = 0; run < std::max<std::uint64_t>(1, times); ++run) {
    const auto start = std::chrono::steady_clock::now();
    const tolva::FaceWalk walk = tolva::walk_faces(complex, index);
    best = std::min(best, seconds_since(start));
    lookups = walk.face_positions.size();
  }
  std::printf("face walk: %.3f s, %llu lookups, %.1f ns per lookup per worker\n", best,
              static_cast<unsigned long long>(lookups),
              best * 1e9 * static_cast<double>(tolva::parallel::worker_count()) / static_cast<double>(std::max<std::uint64_t>(1, lookups)));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: %s flag <path> [q] [max_dim] | random <n> <p> <seed> [q] [max_dim] | sparse <n> <edges> <seed> [q] [max_dim]\n", argv[0]);
    return 2;
  }
  const std::string mode = argv[1];
  int next = 3;
  auto start = std::chrono::steady_clock::now();
  CpuTime cpu_before = CpuTime::now();
  tolva::Graph graph(0);
  if (mode == "flag") {
    graph = tolva::read_flag_file(argv[2]);
  } else if (mode == "sparse") {
    graph = sparse_graph(std::strtoull(argv[2], nullptr, 10), std::strtoull(argv[3], nullptr, 10),
                         std::strtoull(argv[4], nullptr, 10));
    next = 5;
  } else {
    graph = random_graph(std::strtoull(argv[2], nullptr, 10), std::strtod(argv[3], nullptr),
                         std::strtoull(argv[4], nullptr, 10));
    next = 5;
  }
  const std::uint64_t q = argc > next ? std::strtoull(argv[next], nullptr, 10) : 0;
  const std::uint64_t max_dimension = argc > next + 1 ? std::strtoull(argv[next + 1], nullptr, 10) : ~0ULL;
  if (std::getenv("TOLVA_BENCH_JSON") != nullptr) std::atexit(print_record);
  record.graph_s = seconds_since(start);
  record.vertices = graph.vertex_count();
  record.edges = graph.edge_count();
  record.workers = tolva::parallel::worker_count();
  CpuTime cpu_after = CpuTime::now();
  std::printf("graph: %llu vertices, %zu edges, %.3f s (CPU: %.3f s user, %.3f s system)\n",
              static_cast<unsigned long long>(graph.vertex_count()), static_cast<std::size_t>(graph.edge_count()),
              seconds_since(start), cpu_after.user - cpu_before.user, cpu_after.system - cpu_before.system);
  std::printf("workers: %zu\n", tolva::parallel::worker_count());
  const long rss_before = peak_rss_mib();

  start = std::chrono::steady_clock::now();
  cpu_before = CpuTime::now();
  const tolva::DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, q, max_dimension);
  const double complex_seconds = seconds_since(start);
  cpu_after = CpuTime::now();
  record.complex_s = complex_seconds;
  std::uint64_t bytes = 0;
  std::printf("simplices per dimension:");
  for (const auto& list : complex.lists) {
    std::printf(" %llu", static_cast<unsigned long long>(list.size()));
    record.simplices += (record.simplices.empty() ? "" : ", ") + std::to_string(list.size());
    bytes += list.bytes();
  }
  const std::uint64_t total = complex.simplex_count();
  std::printf("\ntotal: %llu simplices\n", static_cast<unsigned long long>(total));
  std::printf("complex: %.5f s (CPU: %.3f s user, %.3f s system; %.1f M simplices/s), %.1f MiB of vertex arrays (%u-byte vertices), "
              "peak RSS %ld MiB (before: %ld MiB)\n",
              complex_seconds, cpu_after.user - cpu_before.user, cpu_after.system - cpu_before.system,
              static_cast<double>(total) / complex_seconds / 1e6, static_cast<double>(bytes) / 1048576.0,
              complex.vertex_width, peak_rss_mib(), rss_before);

  const char* algorithm = std::getenv("TOLVA_BENCH_ALGORITHM");  // "old" or "new": run it too
  if (std::getenv("TOLVA_BENCH_INDEX") == nullptr && algorithm == nullptr) return 0;
  start = std::chrono::steady_clock::now();
  cpu_before = CpuTime::now();
  const tolva::SimplexIndex index = tolva::build_simplex_index(complex);
  record.index_s = seconds_since(start);
  cpu_after = CpuTime::now();
  std::printf("index: %.5f s (CPU: %.3f s user, %.3f s system), peak RSS %ld MiB\n", record.index_s,
              cpu_after.user - cpu_before.user, cpu_after.system - cpu_before.system, peak_rss_mib());
  if (const char* walks = std::getenv("TOLVA_BENCH_WALK")) time_face_walk(complex, index, std::strtoull(walks, nullptr, 10));
  if (algorithm == nullptr) return 0;
  const std::uint64_t i = std::strtoull(std::getenv("TOLVA_BENCH_I") ? std::getenv("TOLVA_BENCH_I") : "0", nullptr, 10);
  const std::uint64_t j = std::strtoull(std::getenv("TOLVA_BENCH_J") ? std::getenv("TOLVA_BENCH_J") : "1", nullptr, 10);
  start = std::chrono::steady_clock::now();
  cpu_before = CpuTime::now();
  const tolva::QNearGraph result = std::string(algorithm) == "old" ? tolva::q_near_graph_old(q, i, j, complex, index)
                                                                   : tolva::q_near_graph_new(q, i, j, complex, index);
  record.algorithm_s = seconds_since(start);
  cpu_after = CpuTime::now();
  record.algorithm_user_s = cpu_after.user - cpu_before.user;
  record.algorithm_system_s = cpu_after.system - cpu_before.system;
  record.pairs = result.size();
  std::printf("%s algorithm: %.5f s (CPU: %.3f s user, %.3f s system), %llu pairs, peak RSS %ld MiB\n", algorithm,
              record.algorithm_s, record.algorithm_user_s, record.algorithm_system_s,
              static_cast<unsigned long long>(result.size()), peak_rss_mib());
  return 0;
}
