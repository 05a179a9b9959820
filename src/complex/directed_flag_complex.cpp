#include "complex/directed_flag_complex.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>

#include "parallel/worker_pool.hpp"
#include "base/panic.hpp"

namespace tolva {

void SimplexList::append(SimplexList&& other) {
  if (bytes_.empty()) {
    bytes_ = std::move(other.bytes_);
  } else {
    bytes_.append(other.bytes_.data(), other.bytes_.size());
    other.bytes_ = {};
  }
}

std::uint64_t DirectedFlagComplex::simplex_count() const noexcept {
  std::uint64_t count = 0;
  for (const auto& list : lists) count += list.size();
  return count;
}

void DirectedFlagComplex::add_lists_up_to(std::uint64_t k) {
  while (lists.size() <= k) lists.emplace_back(q + lists.size() + 1, vertex_width);
}

DirectedFlagComplex merge_partial_complexes(DirectedFlagComplex left, DirectedFlagComplex right) {
  if (right.lists.size() > left.lists.size()) left.list_for(right.lists.size() - 1);
  for (std::size_t k = 0; k < right.lists.size(); ++k) left.lists[k].append(std::move(right.lists[k]));
  return left;
}

namespace {

// The work is cut finer than root vertices: unit 0 of root v stands for the simplex (v)
// itself, unit r > 0 for the subtree of (v, c) where c is the r-th out-neighbour of v.
// Concatenating the units' output list by list in unit order gives exactly the
// depth-first order of the roots, so the complex does not depend on how units are grouped,
// while one heavy root no longer has to run on one worker.
class WorkUnits {
 public:
  explicit WorkUnits(const Graph& graph) : graph_(graph), first_unit_(graph.vertex_count() + 1, 0) {
    for (std::uint64_t v = 0; v < graph.vertex_count(); ++v) {
      std::uint64_t degree = 0;
      const std::uint64_t* row = graph.out_row(v);
      for (std::uint64_t w = 0; w < graph.words_per_row(); ++w) degree += std::popcount(row[w]);
      first_unit_[v + 1] = first_unit_[v] + 1 + degree;
    }
  }

  std::uint64_t count() const noexcept { return first_unit_.back(); }

  struct Unit {
    std::uint64_t root;
    std::uint64_t neighbour_rank;  // 0: the root alone; r: its r-th out-neighbour (from 1)
  };

  Unit unit(std::uint64_t index) const {
    const auto after = std::upper_bound(first_unit_.begin(), first_unit_.end(), index);
    const auto root = static_cast<std::uint64_t>(after - first_unit_.begin()) - 1;
    return {root, index - first_unit_[root]};
  }

  // The rank-th (from 1) set bit of the root's out row.
  std::uint64_t neighbour(std::uint64_t root, std::uint64_t rank) const {
    const std::uint64_t* row = graph_.out_row(root);
    for (std::uint64_t w = 0;; ++w) {
      const auto bits_here = static_cast<std::uint64_t>(std::popcount(row[w]));
      if (rank <= bits_here) {
        std::uint64_t bits = row[w];
        for (std::uint64_t skip = 1; skip < rank; ++skip) bits &= bits - 1;
        return w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits));
      }
      rank -= bits_here;
    }
  }

 private:
  const Graph& graph_;
  std::vector<std::uint64_t> first_unit_;
};

// Candidate sets are bit rows restricted to the words [first, last) that can be non-zero.
struct CandidateSet {
  std::uint64_t* words;
  std::uint64_t first;
  std::uint64_t last;
  bool empty() const noexcept { return first == last; }
  std::uint64_t count() const noexcept {
    std::uint64_t total = 0;
    for (std::uint64_t w = first; w < last; ++w) total += std::popcount(words[w]);
    return total;
  }
};

// Depth-first extension of one simplex; per-thread scratch, reused across units.
template <class V>
class Extender {
 public:
  Extender(const Graph& graph, std::uint64_t q, std::uint64_t max_dimension)
      : graph_(graph), q_(q), stop_length_(max_dimension + 1), words_(graph.words_per_row()) {}

  void run_unit(const WorkUnits& units, std::uint64_t unit_index, DirectedFlagComplex& out) {
    const auto [root, rank] = units.unit(unit_index);
    simplex_.resize(std::max<std::size_t>(simplex_.size(), 2));
    simplex_[0] = static_cast<V>(root);
    if (rank == 0) {
      if (q_ == 0) out.list_for(0).push_back(simplex_.data());
      return;
    }
    if (stop_length_ == 1) return;  // max_dimension 0: the root is not extended
    const std::uint64_t second = units.neighbour(root, rank);
    simplex_[1] = static_cast<V>(second);
    const std::uint64_t* a = graph_.out_row(root);
    const std::uint64_t* b = graph_.out_row(second);
    CandidateSet candidates = level(0);
    intersect(a, 0, words_, b, candidates);
    extend(2, candidates, 1, out);
  }

 private:
  CandidateSet level(std::size_t depth) {
    while (levels_.size() <= depth) levels_.emplace_back(words_, 0);
    return {levels_[depth].data(), 0, 0};
  }

  // out = a & b over [first, last), trimmed to its non-zero words.
  static void intersect(const std::uint64_t* a, std::uint64_t first, std::uint64_t last,
                        const std::uint64_t* b, CandidateSet& out) {
    std::uint64_t low = last, high = first;
    for (std::uint64_t w = first; w < last; ++w) {
      const std::uint64_t word = a[w] & b[w];
      out.words[w] = word;
      if (word != 0) {
        low = std::min(low, w);
        high = w + 1;
      }
    }
    out.first = low < high ? low : 0;
    out.last = low < high ? high : 0;
  }

  void store(std::uint64_t length, DirectedFlagComplex& out) {
    out.list_for(length - 1 - q_).push_back(simplex_.data());
  }

  void store_extensions(std::uint64_t length, const CandidateSet& candidates, DirectedFlagComplex& out) {
    SimplexList& list = out.list_for(length - q_);
    for (std::uint64_t w = candidates.first; w < candidates.last; ++w) {
      for (std::uint64_t bits = candidates.words[w]; bits != 0; bits &= bits - 1) {
        simplex_[length] = static_cast<V>(w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits)));
        list.push_back(simplex_.data());
      }
    }
  }

  void extend(std::uint64_t length, const CandidateSet& candidates, std::size_t depth, DirectedFlagComplex& out) {
    if (length > q_) store(length, out);
    if (length == stop_length_ || candidates.empty()) return;
    // Nothing below here reaches dimension q: skip the subtree.
    if (length <= q_ && length + candidates.count() <= q_) return;
    if (simplex_.size() <= length) simplex_.resize(length + 1);
    if (length + 1 == stop_length_) {  // the extensions are the last level: store them directly
      if (length + 1 > q_) store_extensions(length, candidates, out);
      return;
    }
    CandidateSet next = level(depth);
    for (std::uint64_t w = candidates.first; w < candidates.last; ++w) {
      for (std::uint64_t bits = candidates.words[w]; bits != 0; bits &= bits - 1) {
        const std::uint64_t vertex = w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits));
        simplex_[length] = static_cast<V>(vertex);
        intersect(candidates.words, candidates.first, candidates.last, graph_.out_row(vertex), next);
        extend(length + 1, next, depth + 1, out);
      }
    }
  }

  const Graph& graph_;
  std::uint64_t q_;
  std::uint64_t stop_length_;  // max_dimension + 1, wrapping: 0 means unbounded
  std::uint64_t words_;
  std::vector<V> simplex_;
  std::vector<std::vector<std::uint64_t>> levels_;  // inner buffers never move
};

// The same as merging the pieces one after another with merge_partial_complexes, but each
// list is allocated once at its final size and the pieces are copied into it in parallel.
DirectedFlagComplex concatenate_partial_complexes(std::vector<DirectedFlagComplex>& pieces) {
  DirectedFlagComplex whole(pieces.front().q, pieces.front().vertex_width);
  std::size_t list_count = 0;
  for (const auto& piece : pieces) list_count = std::max(list_count, piece.lists.size());
  if (list_count == 0) return whole;
  whole.list_for(list_count - 1);
  // offsets[p][k]: where piece p's part of list k starts, in bytes.
  std::vector<std::vector<std::uint64_t>> offsets(pieces.size(), std::vector<std::uint64_t>(list_count, 0));
  std::vector<std::byte*> destinations(list_count);
  for (std::size_t k = 0; k < list_count; ++k) {
    std::uint64_t total = 0;
    for (std::size_t p = 0; p < pieces.size(); ++p) {
      offsets[p][k] = total;
      if (k < pieces[p].lists.size()) total += pieces[p].lists[k].bytes();
    }
    destinations[k] = whole.lists[k].extend_uninitialized(total);
  }
  parallel::WorkerPool::global().run_blocks(pieces.size(), [&](std::size_t p) {
    for (std::size_t k = 0; k < pieces[p].lists.size(); ++k) {
      const SimplexList& source = pieces[p].lists[k];
      if (source.bytes() != 0) std::memcpy(destinations[k] + offsets[p][k], source.data(), source.bytes());
    }
    pieces[p] = DirectedFlagComplex(whole.q, whole.vertex_width);  // release the piece once copied
  });
  return whole;
}

template <class V>
DirectedFlagComplex enumerate(const Graph& graph, std::uint64_t q, std::uint64_t max_dimension) {
  const WorkUnits units(graph);
  // Each piece of the range folds into its own complex with its own scratch.
  struct Partial {
    DirectedFlagComplex complex;
    std::unique_ptr<Extender<V>> extender;
  };
  std::vector<Partial> pieces = parallel::parallel_fold_pieces(
      0, units.count(),
      [&] {
        return Partial{DirectedFlagComplex(q, sizeof(V)), std::make_unique<Extender<V>>(graph, q, max_dimension)};
      },
      [&](Partial partial, std::uint64_t unit) {
        partial.extender->run_unit(units, unit, partial.complex);
        return partial;
      });
  std::vector<DirectedFlagComplex> complexes;
  complexes.reserve(pieces.size());
  for (Partial& piece : pieces) complexes.push_back(std::move(piece.complex));
  return concatenate_partial_complexes(complexes);
}

}  // namespace

DirectedFlagComplex build_directed_flag_complex(const Graph& graph, std::uint64_t q,
                                                std::uint64_t max_dimension) {
  if (graph.vertex_count() > std::uint64_t{std::numeric_limits<WideVertex>::max()} + 1) {
    panic_capacity_overflow();
  }
  return with_vertex_type(vertex_width_for(graph.vertex_count()),
                          [&]<class V>(V) { return enumerate<V>(graph, q, max_dimension); });
}

}  // namespace tolva
