#include "complex/directed_flag_complex.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>

#include "parallel/worker_pool.hpp"
#include "base/panic.hpp"
#include "base/task.hpp"

namespace tolva {

void SimplexList::adopt_piece(FlatBuffer<std::byte>&& piece) {
  if (!piece.empty()) storage_.push_back(std::move(piece));
}

void SimplexList::append(SimplexList&& other) {
  for (auto& piece : other.storage_) adopt_piece(std::move(piece));
  other.storage_.clear();
  other.reindex();
  reindex();
}

void SimplexList::reindex() {
  pieces_.clear();
  size_ = 0;
  for (const auto& piece : storage_) {
    const std::uint64_t count = piece.size() / simplex_bytes_;
    if (count == 0) continue;
    pieces_.push_back({size_ + count, reinterpret_cast<std::uintptr_t>(piece.data()) - size_ * simplex_bytes_});
    size_ += count;
  }
  shift_ = 63;
  directory_.assign(1, 0);
  if (pieces_.size() < 2) return;
  // About four directory entries per piece: the directory stays small enough for the cache,
  // and a read rarely has more than one piece end to step over.
  const std::uint64_t chunk = std::bit_floor(std::max<std::uint64_t>(1, size_ / (4 * pieces_.size())));
  shift_ = static_cast<unsigned>(std::countr_zero(chunk));
  directory_.resize(((size_ - 1) >> shift_) + 1);
  std::uint32_t piece = 0;
  for (std::uint64_t entry = 0; entry < directory_.size(); ++entry) {
    while ((entry << shift_) >= pieces_[piece].end) ++piece;
    directory_[entry] = piece;
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
// while one heavy root no longer has to run on one worker. Root v's units start at
// v + (the out-degrees of the vertices before it).
class WorkUnits {
 public:
  explicit WorkUnits(const Graph& graph)
      : offsets_(graph.neighbour_offsets()), roots_(graph.vertex_count()) {}

  std::uint64_t count() const noexcept { return roots_ + offsets_[roots_]; }
  std::uint64_t first_of(std::uint64_t root) const noexcept { return root + offsets_[root]; }
  std::uint64_t degree(std::uint64_t root) const noexcept { return offsets_[root + 1] - offsets_[root]; }

  // The root whose units include `unit`.
  std::uint64_t root_of(std::uint64_t unit) const noexcept {
    std::uint64_t low = 0, high = roots_;  // first_of(low) <= unit < first_of(high)
    while (high - low > 1) {
      const std::uint64_t middle = low + (high - low) / 2;
      if (first_of(middle) <= unit) {
        low = middle;
      } else {
        high = middle;
      }
    }
    return low;
  }

 private:
  const std::uint64_t* offsets_;
  std::uint64_t roots_;
};

// A list's output of one block: pieces of growing size, each filled before the next is
// opened and never moved, so no simplex is written twice.
class PieceWriter {
 public:
  explicit PieceWriter(std::uint64_t simplex_bytes) : simplex_bytes_(simplex_bytes) {}

  void push(const void* simplex) {
    if (cursor_ == limit_) [[unlikely]] open_piece();
    std::memcpy(cursor_, simplex, simplex_bytes_);
    cursor_ += simplex_bytes_;
  }

  // Hands the pieces, in writing order, to the list.
  void hand_to(SimplexList& list) {
    close_piece();
    for (auto& piece : pieces_) list.adopt_piece(std::move(piece));
    pieces_.clear();
  }

 private:
  static constexpr std::uint64_t kFirstPieceBytes = std::uint64_t{16} << 10;
  static constexpr std::uint64_t kLargestPieceBytes = std::uint64_t{8} << 20;

  void close_piece() {
    if (cursor_ != nullptr) pieces_.back().extend(static_cast<std::size_t>(cursor_ - pieces_.back().data()));
    cursor_ = limit_ = nullptr;
  }

  void open_piece() {
    close_piece();
    const std::uint64_t simplices = std::max<std::uint64_t>(1, next_piece_bytes_ / simplex_bytes_);
    next_piece_bytes_ = std::min(kLargestPieceBytes, next_piece_bytes_ * 2);
    FlatBuffer<std::byte>& piece = pieces_.emplace_back();
    piece.reserve(simplices * simplex_bytes_);  // written in place below its capacity
    cursor_ = piece.data();
    limit_ = cursor_ + simplices * simplex_bytes_;
  }

  std::uint64_t simplex_bytes_;
  std::uint64_t next_piece_bytes_ = kFirstPieceBytes;
  std::byte* cursor_ = nullptr;
  std::byte* limit_ = nullptr;
  std::vector<FlatBuffer<std::byte>> pieces_;
};

// What one block of units stored: writers[k] for the simplices of dimension q + k.
struct BlockOutput {
  std::vector<PieceWriter> writers;
  PieceWriter& writer_for(std::uint64_t k, std::uint64_t q, unsigned width) {
    while (writers.size() <= k) writers.emplace_back((q + writers.size() + 1) * width);
    return writers[k];
  }
};

// Candidate sets are bit rows over a root's local vertex numbers, restricted to the words
// [first, last) that can be non-zero.
struct CandidateSet {
  const std::uint64_t* words;
  std::uint64_t first;
  std::uint64_t last;
  bool empty() const noexcept { return first == last; }
  std::uint64_t count() const noexcept {
    std::uint64_t total = 0;
    for (std::uint64_t w = first; w < last; ++w) total += std::popcount(words[w]);
    return total;
  }
};

// What the workers read: the graph's lists and, where made, its bit matrix.
struct Adjacency {
  const Graph& graph;
  NeighbourhoodSource source;
  FlatBuffer<std::uint64_t> bit_rows;  // row v: words_per_row words, bit w set for v -> w; or empty
};

// The bit matrix pays where reading the neighbours' lists would cost much more than reading
// one bit row per neighbour, and only while it stays small.
bool bit_rows_pay(const Graph& graph) {
  constexpr std::uint64_t kLargestMatrixBytes = std::uint64_t{64} << 20;
  const std::uint64_t n = graph.vertex_count(), words = graph.words_per_row();
  if (n == 0 || words > kLargestMatrixBytes / 8 / n) return false;
  const std::uint64_t* offsets = graph.neighbour_offsets();
  const Graph::Vertex* targets = graph.neighbour_targets();
  FlatBuffer<std::uint64_t> in_degree = FlatBuffer<std::uint64_t>::zeros(n, PageSize::Small);
  for (std::uint64_t at = 0; at < offsets[n]; ++at) ++in_degree[targets[at]];
  // Lists: every root reads the lists of its neighbours, sum of in-degree x out-degree.
  std::uint64_t list_reads = 0;
  for (std::uint64_t v = 0; v < n; ++v) list_reads += in_degree[v] * (offsets[v + 1] - offsets[v]);
  return offsets[n] * words < list_reads;  // bit rows: one row per neighbour of every root
}

FlatBuffer<std::uint64_t> make_bit_rows(const Graph& graph) {
  const std::uint64_t n = graph.vertex_count(), words = graph.words_per_row();
  FlatBuffer<std::uint64_t> rows = FlatBuffer<std::uint64_t>::zeros(n * words, PageSize::Small);
  for (std::uint64_t v = 0; v < n; ++v) {
    for (const Graph::Vertex w : graph.out_neighbours(v)) rows[v * words + (w >> 6)] |= std::uint64_t{1} << (w & 63);
  }
  return rows;
}

// Depth-first extension of the simplices of one root, on the subgraph induced by the root's
// out-neighbourhood: every candidate of every level is an out-neighbour of the root, so the
// out-neighbours get local numbers 0..d-1 in ascending vertex order and the induced
// subgraph is a d x d bit matrix. Local order is vertex order, so candidates are visited in
// the same order as on the whole graph. Per-worker scratch, reused across blocks; the
// matrix of the last root stays until another root needs it.
template <class V>
class Extender {
 public:
  Extender(const Adjacency& adjacency, std::uint64_t q, std::uint64_t max_dimension)
      : graph_(adjacency.graph),
        adjacency_(adjacency),
        q_(q),
        stop_length_(max_dimension + 1),
        local_of_(FlatBuffer<std::uint32_t>::zeros(graph_.vertex_count(), PageSize::Small)),
        is_neighbour_(FlatBuffer<std::uint64_t>::zeros(graph_.words_per_row(), PageSize::Small)) {}
  Extender(const Extender&) = delete;
  Extender& operator=(const Extender&) = delete;
  ~Extender() = default;

  void run_unit(std::uint64_t root, std::uint64_t rank, BlockOutput& out) {
    out_ = &out;
    simplex_.resize(std::max<std::size_t>(simplex_.size(), 2));
    simplex_[0] = static_cast<V>(root);
    if (rank == 0) {
      if (q_ == 0) store(1);
      return;
    }
    if (stop_length_ == 1) return;  // max_dimension 0: the root is not extended
    const std::span<const Graph::Vertex> neighbours = graph_.out_neighbours(root);
    simplex_[1] = static_cast<V>(neighbours[rank - 1]);
    if (stop_length_ == 2) {  // max_dimension 1: edges only, no matrix needed
      if (q_ < 2) store(2);
      return;
    }
    focus_on(root);
    extend(2, trimmed(row(rank - 1), 0, words_), 0);
  }

 private:
  const std::uint64_t* row(std::uint64_t local) const noexcept { return rows_.data() + local * words_; }

  // Builds the bit matrix of the subgraph induced by the out-neighbours of `root`.
  void focus_on(std::uint64_t root) {
    if (root == root_) return;
    for (const Graph::Vertex v : neighbours_) {
      local_of_[v] = 0;
      is_neighbour_[v >> 6] = 0;
    }
    root_ = root;
    neighbours_ = graph_.out_neighbours(root);
    const std::uint64_t d = neighbours_.size();
    words_ = (d + 63) / 64;
    if (rows_.size() < d * words_) rows_.extend(d * words_ - rows_.size());
    std::memset(rows_.data(), 0, d * words_ * sizeof(std::uint64_t));
    for (std::uint64_t local = 0; local < d; ++local) {
      const Graph::Vertex v = neighbours_[local];
      local_of_[v] = static_cast<std::uint32_t>(local);
      is_neighbour_[v >> 6] |= std::uint64_t{1} << (v & 63);
    }
    if (use_bit_rows()) {
      fill_rows_from_bit_rows();
    } else {
      fill_rows_from_lists();
    }
    for (auto& level : levels_) {
      if (level.size() < words_) level.resize(words_);
    }
  }

  bool use_bit_rows() const {
    if (adjacency_.bit_rows.empty()) return false;
    if (adjacency_.source == NeighbourhoodSource::BitRows) return true;
    const std::uint64_t* offsets = graph_.neighbour_offsets();
    std::uint64_t list_reads = 0;
    for (const Graph::Vertex v : neighbours_) list_reads += offsets[v + 1] - offsets[v];
    return neighbours_.size() * graph_.words_per_row() < list_reads;
  }

  // Row of each neighbour u: its bit row masked to the root's neighbours, each hit
  // renumbered by the neighbours below it.
  void fill_rows_from_bit_rows() {
    if (neighbours_.empty()) return;
    const std::uint64_t graph_words = graph_.words_per_row();
    const std::uint64_t first = neighbours_.front() >> 6, last = (neighbours_.back() >> 6) + 1;
    below_.resize(last - first);
    std::uint64_t count = 0;
    for (std::uint64_t w = first; w < last; ++w) {
      below_[w - first] = count;
      count += static_cast<std::uint64_t>(std::popcount(is_neighbour_[w]));
    }
    for (std::uint64_t local = 0; local < neighbours_.size(); ++local) {
      std::uint64_t* bits = rows_.data() + local * words_;
      const std::uint64_t* row = adjacency_.bit_rows.data() + neighbours_[local] * graph_words;
      for (std::uint64_t w = first; w < last; ++w) {
        const std::uint64_t mask = is_neighbour_[w];
        for (std::uint64_t hits = row[w] & mask; hits != 0; hits &= hits - 1) {
          const std::uint64_t below_bit = (hits & -hits) - 1;
          const std::uint64_t other = below_[w - first] + static_cast<std::uint64_t>(std::popcount(mask & below_bit));
          bits[other >> 6] |= std::uint64_t{1} << (other & 63);
        }
      }
    }
  }

  void fill_rows_from_lists() {
    const std::uint64_t d = neighbours_.size();
    const std::uint64_t* offsets = graph_.neighbour_offsets();
    const Graph::Vertex* all_targets = graph_.neighbour_targets();
    constexpr std::uint64_t kAhead = 4;  // the offsets of neighbours are scattered: fetch early
    for (std::uint64_t local = 0; local < std::min(d, kAhead); ++local) __builtin_prefetch(offsets + neighbours_[local]);
    for (std::uint64_t local = 0; local < d; ++local) {
      if (local + kAhead < d) __builtin_prefetch(offsets + neighbours_[local + kAhead]);
      std::uint64_t* bits = rows_.data() + local * words_;
      const Graph::Vertex* targets = all_targets + offsets[neighbours_[local]];
      const std::uint64_t degree = offsets[neighbours_[local] + 1] - offsets[neighbours_[local]];
      if (degree <= 16 * d) {
        // The membership bits of the whole graph fit the cache where local numbers do not;
        // most targets miss, and only hits read their local number.
        for (std::uint64_t at = 0; at < degree; ++at) {
          const Graph::Vertex target = targets[at];
          if ((is_neighbour_[target >> 6] >> (target & 63) & 1) == 0) continue;
          const std::uint32_t other = local_of_[target];
          bits[other >> 6] |= std::uint64_t{1} << (other & 63);
        }
      } else {  // a hub among the neighbours: look the few neighbours up in its long list instead
        for (std::uint64_t other = 0; other < d; ++other) {
          if (std::binary_search(targets, targets + degree, neighbours_[other])) bits[other >> 6] |= std::uint64_t{1} << (other & 63);
        }
      }
    }
  }

  std::uint64_t* level(std::size_t depth) {
    while (levels_.size() <= depth) levels_.emplace_back(words_, 0);
    return levels_[depth].data();
  }

  // The words [first, last) of `words`, trimmed to the non-zero ones.
  static CandidateSet trimmed(const std::uint64_t* words, std::uint64_t first, std::uint64_t last) {
    while (first < last && words[first] == 0) ++first;
    while (last > first && words[last - 1] == 0) --last;
    return {words, first, last};
  }

  // out = candidates & row over candidates' words, trimmed to its non-zero words.
  static CandidateSet intersect(const CandidateSet& candidates, const std::uint64_t* row, std::uint64_t* out) {
    std::uint64_t low = candidates.last, high = candidates.first;
    for (std::uint64_t w = candidates.first; w < candidates.last; ++w) {
      const std::uint64_t word = candidates.words[w] & row[w];
      out[w] = word;
      if (word != 0) {
        low = std::min(low, w);
        high = w + 1;
      }
    }
    return low < high ? CandidateSet{out, low, high} : CandidateSet{out, 0, 0};
  }

  void store(std::uint64_t length) {
    out_->writer_for(length - 1 - q_, q_, sizeof(V)).push(simplex_.data());
  }

  void store_extensions(std::uint64_t length, const CandidateSet& candidates) {
    PieceWriter& writer = out_->writer_for(length - q_, q_, sizeof(V));
    for (std::uint64_t w = candidates.first; w < candidates.last; ++w) {
      for (std::uint64_t bits = candidates.words[w]; bits != 0; bits &= bits - 1) {
        simplex_[length] = static_cast<V>(neighbours_[w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits))]);
        writer.push(simplex_.data());
      }
    }
  }

  void extend(std::uint64_t length, const CandidateSet& candidates, std::size_t depth) {
    // One unit can walk a huge tree that stores little (q above most cliques): a cancelled
    // call is noticed every few thousand steps, with one decrement per step.
    if (--steps_to_check_ == 0) [[unlikely]] {
      steps_to_check_ = kStepsPerCheck;
      throw_if_cancelled();
    }
    if (length > q_) store(length);
    if (length == stop_length_ || candidates.empty()) return;
    // Nothing below here reaches dimension q: skip the subtree.
    if (length <= q_ && length + candidates.count() <= q_) return;
    if (simplex_.size() <= length) simplex_.resize(length + 1);
    if (length + 1 == stop_length_) {  // the extensions are the last level: store them directly
      if (length + 1 > q_) store_extensions(length, candidates);
      return;
    }
    std::uint64_t* next = level(depth);
    for (std::uint64_t w = candidates.first; w < candidates.last; ++w) {
      for (std::uint64_t bits = candidates.words[w]; bits != 0; bits &= bits - 1) {
        const std::uint64_t local = w * 64 + static_cast<std::uint64_t>(std::countr_zero(bits));
        simplex_[length] = static_cast<V>(neighbours_[local]);
        extend(length + 1, intersect(candidates, row(local), next), depth + 1);
      }
    }
  }

  static constexpr std::uint64_t kStepsPerCheck = std::uint64_t{1} << 14;

  const Graph& graph_;
  const Adjacency& adjacency_;
  std::uint64_t q_;
  std::uint64_t stop_length_;  // max_dimension + 1, wrapping: 0 means unbounded
  std::uint64_t steps_to_check_ = kStepsPerCheck;
  BlockOutput* out_ = nullptr;
  std::vector<V> simplex_;
  std::uint64_t root_ = ~std::uint64_t{0};        // whose neighbourhood the matrix holds
  std::span<const Graph::Vertex> neighbours_;     // local number -> vertex
  FlatBuffer<std::uint32_t> local_of_;            // vertex -> local number, where is_neighbour_
  FlatBuffer<std::uint64_t> is_neighbour_;        // bit v: v is an out-neighbour of root_
  std::uint64_t words_ = 0;                       // words per local row
  FlatBuffer<std::uint64_t> rows_;                // local row r at r * words_
  std::vector<std::uint64_t> below_;              // neighbours in the bit-row words before each
  std::vector<std::vector<std::uint64_t>> levels_;  // inner buffers never move during a unit
};

// Scratch handed from block to block: at most one per worker exists at a time.
template <class V>
class ExtenderPool {
 public:
  ExtenderPool(const Adjacency& adjacency, std::uint64_t q, std::uint64_t max_dimension)
      : adjacency_(adjacency), q_(q), max_dimension_(max_dimension) {}

  std::unique_ptr<Extender<V>> take() {
    {
      const std::lock_guard lock(mutex_);
      if (!idle_.empty()) {
        auto extender = std::move(idle_.back());
        idle_.pop_back();
        return extender;
      }
    }
    return std::make_unique<Extender<V>>(adjacency_, q_, max_dimension_);
  }

  void give_back(std::unique_ptr<Extender<V>> extender) {
    const std::lock_guard lock(mutex_);
    idle_.push_back(std::move(extender));
  }

 private:
  const Adjacency& adjacency_;
  std::uint64_t q_, max_dimension_;
  std::mutex mutex_;
  std::vector<std::unique_ptr<Extender<V>>> idle_;
};

// The blocks' pieces become the lists, block after block: nothing is copied.
DirectedFlagComplex assemble(std::vector<BlockOutput>& blocks, std::uint64_t q, unsigned width) {
  DirectedFlagComplex whole(q, width);
  std::size_t list_count = 0;
  for (const auto& block : blocks) list_count = std::max(list_count, block.writers.size());
  if (list_count == 0) return whole;
  whole.list_for(list_count - 1);
  for (auto& block : blocks) {
    for (std::size_t k = 0; k < block.writers.size(); ++k) block.writers[k].hand_to(whole.lists[k]);
  }
  for (auto& list : whole.lists) list.reindex();
  return whole;
}

template <class V>
DirectedFlagComplex enumerate(const Graph& graph, std::uint64_t q, std::uint64_t max_dimension,
                              NeighbourhoodSource source) {
  parallel::WorkerPool& pool = parallel::WorkerPool::global();
  graph.build_pending();  // the workers only read
  const WorkUnits units(graph);
  const std::uint64_t unit_count = units.count();
  if (unit_count == 0) return DirectedFlagComplex(q, sizeof(V));
  // Contiguous runs of units; many more than workers, so that a heavy run does not leave
  // the others idle.
  const std::uint64_t block_count =
      std::min<std::uint64_t>(unit_count, parallel::kBlocksPerWorker * static_cast<std::uint64_t>(pool.worker_count()));
  std::vector<BlockOutput> blocks(block_count);
  Adjacency adjacency{graph, source, {}};
  if (source == NeighbourhoodSource::BitRows || (source == NeighbourhoodSource::Chosen && bit_rows_pay(graph))) {
    adjacency.bit_rows = make_bit_rows(graph);
  }
  ExtenderPool<V> extenders(adjacency, q, max_dimension);
  begin_stage(Stage::Enumeration, unit_count);
  pool.run_blocks(block_count, [&](std::size_t block) {
    const auto [first, last] = parallel::block_range(0, unit_count, block_count, block);
    std::unique_ptr<Extender<V>> extender = extenders.take();
    std::uint64_t root = units.root_of(first);
    std::uint64_t rank = first - units.first_of(root);
    for (std::uint64_t unit = first; unit < last; ++unit) {
      // A unit (one root and one of its edges) is what a hub can make slow: checked singly,
      // a cancelled call stops within one unit; progress is counted per block.
      throw_if_cancelled();
      extender->run_unit(root, rank, blocks[block]);
      if (rank == units.degree(root)) {
        ++root;
        rank = 0;
      } else {
        ++rank;
      }
    }
    extenders.give_back(std::move(extender));
    advance_stage(last - first);
  });
  return assemble(blocks, q, sizeof(V));
}

}  // namespace

DirectedFlagComplex build_directed_flag_complex(const Graph& graph, std::uint64_t q, std::uint64_t max_dimension,
                                                NeighbourhoodSource source) {
  if (graph.vertex_count() > std::uint64_t{std::numeric_limits<WideVertex>::max()} + 1) {
    panic_capacity_overflow();
  }
  return with_vertex_type(vertex_width_for(graph.vertex_count()),
                          [&]<class V>(V) { return enumerate<V>(graph, q, max_dimension, source); });
}

}  // namespace tolva
