#define TEST_SUITE "worker_pool"
#include <atomic>
#include <mutex>
#include <set>
#include <chrono>
#include <string>
#include <thread>

#include "check.hpp"
#include "parallel/worker_pool.hpp"

using tolva::parallel::parallel_fold_reduce;
using tolva::parallel::WorkerPool;

namespace {

// Not commutative: the value shows the order in which indices and pieces were joined.
std::vector<std::uint64_t> ordered_fold(std::uint64_t begin, std::uint64_t end) {
  return parallel_fold_reduce(
      begin, end, [] { return std::vector<std::uint64_t>{}; },
      [](std::vector<std::uint64_t> values, std::uint64_t index) {
        values.push_back(index);
        return values;
      },
      [](std::vector<std::uint64_t> left, std::vector<std::uint64_t> right) {
        left.insert(left.end(), right.begin(), right.end());
        return left;
      });
}

std::vector<std::uint64_t> sequence(std::uint64_t begin, std::uint64_t end) {
  std::vector<std::uint64_t> values;
  for (std::uint64_t v = begin; v < end; ++v) values.push_back(v);
  return values;
}

}  // namespace

TEST(fold_reduce_keeps_index_order) {
  for (const auto& [begin, end] : {std::pair<std::uint64_t, std::uint64_t>{0, 0}, {5, 5}, {0, 1}, {7, 9}, {0, 3},
                                  {10, 1000}, {0, 100003}}) {
    CHECK(ordered_fold(begin, end) == sequence(begin, end));
  }
}

TEST(ranges_near_the_top_of_the_index_type) {
  const std::uint64_t top = ~std::uint64_t{0};
  CHECK(ordered_fold(top - 5, top) == sequence(top - 5, top));
}

TEST(short_ranges_fold_on_the_calling_thread) {
  const auto caller = std::this_thread::get_id();
  std::thread::id seen;
  parallel_fold_reduce(
      4, 5, [] { return 0; },
      [&](int accumulator, std::uint64_t) {
        seen = std::this_thread::get_id();
        return accumulator;
      },
      [](int left, int) { return left; });
  CHECK(seen == caller);
}

TEST(work_is_spread_over_the_workers) {
  // Each of two blocks waits until the other has started: they can only both finish when two
  // workers run them at once. The deadline only turns a pool that runs blocks one at a time
  // into a failure instead of a hang.
  if (tolva::parallel::worker_count() < 2) return;  // one worker runs blocks one at a time
  std::atomic<int> started{0};
  std::atomic<bool> both_seen[2] = {false, false};
  std::thread::id ran_on[2];
  tolva::parallel::WorkerPool::global().run_blocks(2, [&](std::size_t block) {
    ran_on[block] = std::this_thread::get_id();
    ++started;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (started.load() < 2 && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
    both_seen[block] = started.load() == 2;
  });
  CHECK(both_seen[0] && both_seen[1]);
  CHECK(ran_on[0] != ran_on[1]);
}

TEST(a_failure_reaches_the_caller_and_the_pool_stays_usable) {
  for (int round = 0; round < 3; ++round) {
    CHECK_PANICS(parallel_fold_reduce(
                     0, 10000, [] { return 0; },
                     [](int accumulator, std::uint64_t index) {
                       if (index == 6007) tolva::panic("failed at 6007");
                       return accumulator + 1;
                     },
                     [](int left, int right) { return left + right; }),
                 "failed at 6007");
    CHECK(ordered_fold(0, 5000) == sequence(0, 5000));
  }
}

TEST(block_ranges_tile_the_range) {
  for (const std::uint64_t length : {2u, 3u, 64u, 1000u}) {
    for (const std::uint64_t blocks : {1u, 2u, 7u}) {
      if (blocks > length) continue;
      std::uint64_t next = 10;
      for (std::uint64_t b = 0; b < blocks; ++b) {
        const auto [first, last] = tolva::parallel::block_range(10, length, blocks, b);
        CHECK_EQ(first, next);
        CHECK(last > first);
        next = last;
      }
      CHECK_EQ(next, 10 + length);
    }
  }
}

// Counts the blocks running at once, keeping the most seen.
struct Concurrency {
  std::atomic<int> running{0}, most{0};
  void run_one(std::chrono::microseconds length) {
    const int now = running.fetch_add(1) + 1;
    for (int seen = most.load(); now > seen && !most.compare_exchange_weak(seen, now);) {
    }
    std::this_thread::sleep_for(length);
    running.fetch_sub(1);
  }
};

TEST(n_workers_compute_on_at_most_n_threads_whoever_calls) {
  // One caller, two callers at once, and callers nesting calls: never more blocks at once
  // than workers, though a caller runs blocks of its job itself.
  const int workers = static_cast<int>(tolva::parallel::worker_count());
  Concurrency one;
  std::set<std::thread::id> ran_on;
  std::mutex mutex;
  WorkerPool::global().run_blocks(256, [&](std::size_t) {
    one.run_one(std::chrono::microseconds(50));
    const std::lock_guard lock(mutex);
    ran_on.insert(std::this_thread::get_id());
  });
  CHECK(one.most.load() <= workers);
  CHECK(static_cast<int>(ran_on.size()) <= workers);
  Concurrency two;
  const auto blocks = [&] { WorkerPool::global().run_blocks(128, [&](std::size_t) { two.run_one(std::chrono::microseconds(50)); }); };
  std::thread other(blocks);
  blocks();
  other.join();
  CHECK(two.most.load() <= workers);
  Concurrency nested;
  WorkerPool::global().run_blocks(16, [&](std::size_t) {
    WorkerPool::global().run_blocks(8, [&](std::size_t) { nested.run_one(std::chrono::microseconds(50)); });
  });
  CHECK(nested.most.load() <= workers);
  CHECK(nested.most.load() >= 1);
}

TEST(two_callers_at_once_both_complete) {
  for (int round = 0; round < 20; ++round) {
    std::vector<std::uint64_t> first, second;
    std::thread other([&] { first = ordered_fold(0, 30000); });
    second = ordered_fold(5, 20000);
    other.join();
    CHECK(first == sequence(0, 30000));
    CHECK(second == sequence(5, 20000));
  }
}

TEST(nested_calls_complete) {
  // Every index of the outer fold runs a whole fold of its own on the pool.
  const auto sums = parallel_fold_reduce(
      0, 200, [] { return std::vector<std::uint64_t>{}; },
      [](std::vector<std::uint64_t> values, std::uint64_t index) {
        const auto inner = ordered_fold(index, index + 300);
        values.push_back(inner == sequence(index, index + 300) ? index : ~std::uint64_t{0});
        return values;
      },
      [](std::vector<std::uint64_t> left, std::vector<std::uint64_t> right) {
        left.insert(left.end(), right.begin(), right.end());
        return left;
      });
  CHECK(sums == sequence(0, 200));
}

TEST(the_lowest_failing_block_decides_the_failure) {
  for (int round = 0; round < 5; ++round) {
    CHECK_PANICS(parallel_fold_reduce(
                     0, 10000, [] { return 0; },
                     [](int accumulator, std::uint64_t index) {
                       if (index == 3) {
                         std::this_thread::sleep_for(std::chrono::milliseconds(20));  // fails last in time
                         tolva::panic("failed at 3");
                       }
                       if (index == 5000 || index == 9999) tolva::panic("failed at " + std::to_string(index));
                       return accumulator + 1;
                     },
                     [](int left, int right) { return left + right; }),
                 "failed at 3");
  }
}

TEST(blocks_below_a_failure_all_run) {
  std::atomic<std::size_t> ran{0};
  const std::size_t blocks = 64 * tolva::parallel::worker_count();
  CHECK_PANICS(WorkerPool::global().run_blocks(blocks,
                                               [&](std::size_t block) {
                                                 if (block == blocks / 2) tolva::panic("middle");
                                                 ++ran;
                                               }),
               "middle");
  CHECK(ran.load() >= blocks / 2);
}
