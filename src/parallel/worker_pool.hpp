// The process-wide worker pool and its one operation, an order-preserving parallel fold and
// reduce over an index range. Work is handed out in small contiguous blocks through an atomic
// counter, so idle workers keep finding work however skewed the cost per index is; each
// block folds into its own accumulator and the blocks are joined in index order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <array>
#include <functional>
#include <optional>
#include <utility>
#include <vector>

#include "base/task.hpp"

namespace tolva::parallel {

class WorkerPool {
 public:
  // The pool, started on first use with the worker count of the environment. A pool that
  // could not start panics here on every use.
  static WorkerPool& global();

  std::size_t worker_count() const noexcept { return worker_count_; }

  // Runs run_block(0) ... run_block(block_count - 1): on at most worker_count() threads at
  // once, the calling thread among them when a seat is free (a nested caller keeps its own),
  // and a single block on the calling thread. Several callers may run jobs at once. The
  // failure of the lowest failing block is rethrown here once every running block has
  // finished; blocks above a failed one are skipped. The caller's task (base/task.hpp) is the
  // task of every thread while it runs one of these blocks, and a block claimed after the
  // task was asked to stop throws Cancelled instead of running.
  void run_blocks(std::size_t block_count, const std::function<void(std::size_t)>& run_block);

  WorkerPool(const WorkerPool&) = delete;
  WorkerPool& operator=(const WorkerPool&) = delete;

 private:
  explicit WorkerPool(std::size_t worker_count);
  struct Shared;
  Shared* shared_;
  std::size_t worker_count_;
};

// Number of workers of the global pool; creates the pool.
std::size_t worker_count();

// run_piece(0) ... run_piece(count - 1): on the calling thread when there are fewer than two
// pieces (nothing to spread), else as blocks of the global pool (see run_blocks). Either way a
// cancelled task stops before its next piece.
template <class RunPiece>
void run_pieces(std::uint64_t count, RunPiece&& run_piece) {
  if (count < 2) {
    for (std::uint64_t piece = 0; piece < count; ++piece) {
      throw_if_cancelled();
      run_piece(piece);
    }
    return;
  }
  WorkerPool::global().run_blocks(count, [&](std::size_t piece) { run_piece(piece); });
}

// Runs each task once: side by side on the workers when `side_by_side` (tasks too small to
// spread their own work), else one after another on the calling thread, each free to spread
// its work over the workers. As with run_pieces, the failure of the first failing task is the
// one that goes on.
template <class... Tasks>
void run_tasks(bool side_by_side, Tasks&&... tasks) {
  const std::array<std::function<void()>, sizeof...(Tasks)> all{std::function<void()>(std::ref(tasks))...};
  if (side_by_side) {
    run_pieces(all.size(), [&](std::uint64_t task) { all[task](); });
    return;
  }
  for (const auto& task : all) {
    throw_if_cancelled();
    task();
  }
}

// Half-open index range of block `block` when [begin, begin + length) is cut into
// `block_count` nearly equal contiguous blocks.
inline std::pair<std::uint64_t, std::uint64_t> block_range(std::uint64_t begin, std::uint64_t length,
                                                           std::uint64_t block_count,
                                                           std::uint64_t block) {
  // length * b / block_count without overflow: block_count <= length, both 64-bit.
  const auto edge = [&](std::uint64_t b) {
    const std::uint64_t whole = length / block_count, rest = length % block_count;
    return begin + whole * b + (rest * b) / block_count;
  };
  return {edge(block), edge(block + 1)};
}

// Blocks per worker: enough that a block holding a heavy index does not leave the other
// workers idle, few enough that per-block accumulators stay cheap.
inline constexpr std::uint64_t kBlocksPerWorker = 64;

// Folds begin..end-1 in ascending order over contiguous pieces, each starting from
// identity(), and returns the pieces' values in index order. Ranges of fewer than two
// indices are folded on the calling thread.
template <class Identity, class Fold>
auto parallel_fold_pieces(std::uint64_t begin, std::uint64_t end, Identity identity, Fold fold)
    -> std::vector<decltype(identity())> {
  using Accumulator = decltype(identity());
  WorkerPool& pool = WorkerPool::global();
  const std::uint64_t length = end - begin;
  std::vector<Accumulator> values;
  if (length < 2) {
    Accumulator accumulator = identity();
    for (std::uint64_t index = begin; index < end; ++index) accumulator = fold(std::move(accumulator), index);
    values.push_back(std::move(accumulator));
    return values;
  }
  const std::uint64_t block_count =
      std::min<std::uint64_t>(length, kBlocksPerWorker * static_cast<std::uint64_t>(pool.worker_count()));
  std::vector<std::optional<Accumulator>> pieces(block_count);
  pool.run_blocks(block_count, [&](std::size_t block) {
    const auto [first, last] = block_range(begin, length, block_count, block);
    Accumulator accumulator = identity();
    for (std::uint64_t index = first; index < last; ++index) accumulator = fold(std::move(accumulator), index);
    pieces[block].emplace(std::move(accumulator));
  });
  values.reserve(block_count);
  for (auto& piece : pieces) values.push_back(std::move(*piece));
  return values;
}

// Folds begin..end-1 in ascending order over contiguous pieces (each starting from
// identity()) and joins the pieces' values with reduce(left, right) in index order.
// The value equals the sequential fold whenever reduce is associative with identity() as
// neutral element, whatever the number of workers.
template <class Identity, class Fold, class Reduce>
auto parallel_fold_reduce(std::uint64_t begin, std::uint64_t end, Identity identity, Fold fold,
                          Reduce reduce) -> decltype(identity()) {
  auto pieces = parallel_fold_pieces(begin, end, identity, fold);
  auto result = std::move(pieces.front());
  for (std::size_t piece = 1; piece < pieces.size(); ++piece) result = reduce(std::move(result), std::move(pieces[piece]));
  return result;
}

}  // namespace tolva::parallel
