#include "parallel/worker_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "parallel/cpu_count.hpp"
#include "base/panic.hpp"

namespace tolva::parallel {
namespace {

// One run_blocks call. Workers hold it by shared_ptr, so a worker that wakes late only
// finds the block counter exhausted and never touches the caller's data.
struct Job {
  Job(std::size_t count, const std::function<void(std::size_t)>* body)
      : block_count(count), run_block(body) {}

  const std::size_t block_count;
  const std::function<void(std::size_t)>* run_block;
  alignas(64) std::atomic<std::size_t> next_block{0};
  alignas(64) std::atomic<std::size_t> finished_blocks{0};
  std::atomic<bool> failed{false};
  std::mutex mutex;  // guards failure and done
  std::exception_ptr failure;
  bool done = false;
  std::condition_variable done_signal;

  void record_failure(std::exception_ptr error) {
    std::lock_guard lock(mutex);
    if (!failure) failure = std::move(error);
    failed.store(true, std::memory_order_relaxed);
  }

  void work() {
    for (;;) {
      const std::size_t block = next_block.fetch_add(1, std::memory_order_relaxed);
      if (block >= block_count) return;
      if (!failed.load(std::memory_order_relaxed)) {
        try {
          (*run_block)(block);
        } catch (...) {
          record_failure(std::current_exception());
        }
      }
      if (finished_blocks.fetch_add(1, std::memory_order_acq_rel) + 1 == block_count) {
        std::lock_guard lock(mutex);
        done = true;
        done_signal.notify_one();
      }
    }
  }
};

}  // namespace

struct WorkerPool::Shared {
  std::mutex mutex;
  std::condition_variable work_available;
  std::shared_ptr<Job> current;
  std::uint64_t generation = 0;
  bool stopping = false;  // only used when start-up fails half way
  std::vector<std::thread> threads;

  void worker_loop(std::size_t worker) {
    const std::string name = "tolva-worker-" + std::to_string(worker);
    set_panic_thread_name(name);
    pthread_setname_np(pthread_self(), name.substr(0, 15).c_str());  // as shown by top and gdb
    std::uint64_t seen = 0;
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock lock(mutex);
        work_available.wait(lock, [&] { return stopping || generation != seen; });
        if (stopping) return;
        seen = generation;
        job = current;
      }
      if (job) job->work();
    }
  }
};

WorkerPool::WorkerPool(std::size_t count) : shared_(new Shared), worker_count_(count) {
  try {
    shared_->threads.reserve(count);
    for (std::size_t worker = 0; worker < count; ++worker) {
      shared_->threads.emplace_back([shared = shared_, worker] { shared->worker_loop(worker); });
    }
  } catch (...) {
    {
      std::lock_guard lock(shared_->mutex);
      shared_->stopping = true;
    }
    shared_->work_available.notify_all();
    for (auto& thread : shared_->threads) thread.join();
    delete shared_;
    throw;
  }
}

namespace {

// The process-wide pool. A process forked from this one has none of its threads, so the
// child forgets the pool and starts its own on first use instead of waiting forever on
// workers that do not exist there.
struct GlobalPool {
  pthread_mutex_t creation = PTHREAD_MUTEX_INITIALIZER;
  bool attempted = false;
  WorkerPool* pool = nullptr;  // never destroyed: workers sleep between operations
  std::string failure;
};

GlobalPool global_pool;

void forget_pool_in_child() {
  // Only the forking thread exists here; the parent's pool and its lock are left behind.
  pthread_mutex_init(&global_pool.creation, nullptr);
  global_pool.attempted = false;
  global_pool.pool = nullptr;
  global_pool.failure.clear();
}

}  // namespace

WorkerPool& WorkerPool::global() {
  pthread_mutex_lock(&global_pool.creation);
  if (!global_pool.attempted) {
    global_pool.attempted = true;
    static const bool fork_handler = (pthread_atfork(nullptr, nullptr, forget_pool_in_child), true);
    (void)fork_handler;
    const std::uint64_t count = worker_count_from(std::getenv("RAYON_NUM_THREADS"),
                                                  std::getenv("RAYON_RS_NUM_CPUS"), cpu_count);
    try {
      global_pool.pool = new WorkerPool(static_cast<std::size_t>(count));
    } catch (const std::system_error& error) {
      global_pool.failure = error.what();
    } catch (const std::bad_alloc&) {
      global_pool.failure = "out of memory";
    }
  }
  WorkerPool* const pool = global_pool.pool;
  const std::string failure = global_pool.failure;
  pthread_mutex_unlock(&global_pool.creation);
  if (pool == nullptr) panic("The global thread pool has not been initialized.: " + failure);
  return *pool;
}

void WorkerPool::run_blocks(std::size_t block_count, const std::function<void(std::size_t)>& run_block) {
  if (block_count == 0) return;
  auto job = std::make_shared<Job>(block_count, &run_block);
  {
    std::lock_guard lock(shared_->mutex);
    shared_->current = job;
    ++shared_->generation;
  }
  shared_->work_available.notify_all();
  {
    std::unique_lock lock(job->mutex);
    job->done_signal.wait(lock, [&] { return job->done; });
  }
  {
    std::lock_guard lock(shared_->mutex);
    if (shared_->current == job) shared_->current.reset();
  }
  if (job->failure) std::rethrow_exception(job->failure);
}

std::size_t worker_count() { return WorkerPool::global().worker_count(); }

}  // namespace tolva::parallel
