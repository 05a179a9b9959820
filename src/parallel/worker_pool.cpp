#include "parallel/worker_pool.hpp"

#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "parallel/cpu_count.hpp"
#include "base/panic.hpp"
#include "base/task.hpp"

namespace tolva::parallel {
namespace {

// Set while a thread holds one of the pool's seats (see Shared): a block that calls
// run_blocks again (a nested call) runs blocks of its own job in the seat it holds.
// Initial-exec, so that setting it never allocates.
[[gnu::tls_model("initial-exec")]] thread_local bool holding_seat = false;

// One run_blocks call. Workers hold it by shared_ptr, so a worker that wakes late only
// finds the block counter exhausted and never touches the caller's data.
struct Job {
  Job(std::size_t count, const std::function<void(std::size_t)>* body, TaskContext* caller_task)
      : block_count(count), run_block(body), task(caller_task) {}

  const std::size_t block_count;
  const std::function<void(std::size_t)>* run_block;
  TaskContext* const task;  // the caller's, entered on whichever thread runs a block
  alignas(64) std::atomic<std::size_t> next_block{0};
  alignas(64) std::atomic<std::size_t> finished_blocks{0};
  // Blocks above the lowest failed one are skipped; those below always run, so the failure
  // raised is the one of the lowest failing block, however the blocks were timed.
  std::atomic<std::size_t> lowest_failed{SIZE_MAX};
  std::mutex mutex;  // guards failure and done
  std::exception_ptr failure;
  bool done = false;
  std::condition_variable done_signal;

  void record_failure(std::size_t block, std::exception_ptr error) {
    std::lock_guard lock(mutex);
    if (block < lowest_failed.load(std::memory_order_relaxed)) {
      failure = std::move(error);
      lowest_failed.store(block, std::memory_order_relaxed);
    }
  }

  std::size_t unclaimed_blocks() const noexcept {
    const std::size_t claimed = next_block.load(std::memory_order_relaxed);
    return claimed < block_count ? block_count - claimed : 0;
  }

  // Runs blocks until none is left to claim. Once the task is asked to stop, the next block
  // claimed fails with Cancelled instead of running, so a call stops within one block.
  void work() {
    const TaskScope scope(task);
    for (;;) {
      const std::size_t block = next_block.fetch_add(1, std::memory_order_relaxed);
      if (block >= block_count) return;
      if (block < lowest_failed.load(std::memory_order_relaxed)) {
        try {
          throw_if_cancelled();
          (*run_block)(block);
        } catch (...) {
          record_failure(block, std::current_exception());
        }
      }
      if (finished_blocks.fetch_add(1, std::memory_order_acq_rel) + 1 == block_count) {
        std::lock_guard lock(mutex);
        done = true;
        done_signal.notify_all();
      }
    }
  }

  // Hands the failure over to the caller: a worker may drop the job last, and the exception
  // must then be freed by the thread that handles it, not behind its back by that worker.
  std::exception_ptr wait_until_done() {
    std::unique_lock lock(mutex);
    done_signal.wait(lock, [&] { return done; });
    return std::exchange(failure, nullptr);
  }
};

}  // namespace

// Jobs with blocks left to claim. Any number of callers may have a job here at once, from
// outside the pool or from a block running on a worker (a nested call).
//
// Blocks run only in seats, one per worker: n workers compute on n threads at most. A caller
// takes a free seat and runs blocks of its own job beside the workers (a caller already in a
// seat, a nested one, keeps it), so that a job starts without waiting for a worker to wake and
// ends without the caller being woken, when it ran the last block. A caller finding every seat
// taken waits. Workers are woken one at a time, each waking the next while blocks and seats
// are left: a worker woken by a worker finds the core its waker's caller left idle, whereas
// workers all woken by a caller still on its core may wait for the scheduler to move them
// (about 0.1 ms on a virtual machine).
struct WorkerPool::Shared {
  explicit Shared(std::size_t seats) : seat_count(seats) {}

  const std::size_t seat_count;
  std::atomic<std::size_t> seats_taken{0};
  std::mutex mutex;  // guards open_jobs and stopping; a seat is given back under it
  std::condition_variable work_available;
  std::vector<std::shared_ptr<Job>> open_jobs;
  bool stopping = false;  // only used when start-up fails half way
  std::vector<std::thread> threads;

  bool take_seat() noexcept {
    std::size_t taken = seats_taken.load(std::memory_order_relaxed);
    while (taken < seat_count) {
      if (seats_taken.compare_exchange_weak(taken, taken + 1, std::memory_order_acq_rel)) return true;
    }
    return false;
  }
  void give_seat() {
    {
      std::lock_guard lock(mutex);
      seats_taken.fetch_sub(1, std::memory_order_acq_rel);
      if (open_jobs.empty()) return;
    }
    work_available.notify_one();  // a job may be waiting for this seat
  }
  // Wakes one more worker for `job` when it has more blocks than `running` threads can start
  // and a seat is free.
  void wake_for(const Job& job, std::size_t running) {
    if (job.unclaimed_blocks() > running && seats_taken.load(std::memory_order_relaxed) < seat_count) {
      work_available.notify_one();
    }
  }

  void open(const std::shared_ptr<Job>& job, bool caller_seated) {
    {
      std::lock_guard lock(mutex);
      open_jobs.push_back(job);
    }
    wake_for(*job, caller_seated ? 1 : 0);
  }

  void close(const std::shared_ptr<Job>& job) {
    std::lock_guard lock(mutex);
    std::erase(open_jobs, job);
  }

  void worker_loop(std::size_t worker) {
    // Formatted in place: an exception escaping a thread's first frame would end the
    // process, so nothing here may allocate.
    char name[32];
    std::snprintf(name, sizeof name, "tolva-worker-%zu", worker);
    set_panic_thread_name(name);  // name lives as long as the thread
    char short_name[16];          // as shown by top and gdb, at most 15 characters
    std::memcpy(short_name, name, sizeof short_name - 1);
    short_name[sizeof short_name - 1] = '\0';
    pthread_setname_np(pthread_self(), short_name);
    for (;;) {
      std::shared_ptr<Job> job;
      {
        std::unique_lock lock(mutex);
        for (;;) {
          work_available.wait(lock, [&] {
            return stopping || (!open_jobs.empty() && seats_taken.load(std::memory_order_relaxed) < seat_count);
          });
          if (stopping) return;
          if (take_seat()) break;  // else a caller took the last seat meanwhile
        }
        job = open_jobs.back();  // the newest: a nested job holds up a block of an older one
      }
      wake_for(*job, 1);
      holding_seat = true;
      job->work();
      holding_seat = false;
      close(job);  // every block is claimed: no worker need find it again
      give_seat();
    }
  }
};

WorkerPool::WorkerPool(std::size_t count) : shared_(new Shared(count)), worker_count_(count) {
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

// Holds a pthread mutex for a scope (the creation lock must stay a pthread mutex so that a
// forked child can initialise it afresh).
class ScopedLock {
 public:
  explicit ScopedLock(pthread_mutex_t& mutex) : mutex_(mutex) { pthread_mutex_lock(&mutex_); }
  ScopedLock(const ScopedLock&) = delete;
  ScopedLock& operator=(const ScopedLock&) = delete;
  ~ScopedLock() { pthread_mutex_unlock(&mutex_); }

 private:
  pthread_mutex_t& mutex_;
};

// The text of the exception being handled, for the message of every later use.
std::string current_failure_text() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return "out of memory";
  } catch (const std::exception& error) {
    return error.what();
  } catch (...) {
    return "unknown error";
  }
}

}  // namespace

WorkerPool& WorkerPool::global() {
  WorkerPool* pool = nullptr;
  std::string failure;
  {
    const ScopedLock lock(global_pool.creation);
    if (!global_pool.attempted) {
      global_pool.attempted = true;
      static const bool fork_handler = (pthread_atfork(nullptr, nullptr, forget_pool_in_child), true);
      (void)fork_handler;
      try {
        const std::uint64_t count = worker_count_from(std::getenv("RAYON_NUM_THREADS"),
                                                      std::getenv("RAYON_RS_NUM_CPUS"), cpu_count);
        global_pool.pool = new WorkerPool(static_cast<std::size_t>(count));
      } catch (...) {
        global_pool.failure = current_failure_text();
      }
    }
    pool = global_pool.pool;
    if (pool == nullptr) failure = global_pool.failure;
  }
  if (pool == nullptr) panic("The global thread pool has not been initialized.: " + failure);
  return *pool;
}

void WorkerPool::run_blocks(std::size_t block_count, const std::function<void(std::size_t)>& run_block) {
  if (block_count == 0) return;
  auto job = std::make_shared<Job>(block_count, &run_block, current_task());
  if (block_count == 1) {
    job->work();  // nothing to share: on the calling thread
  } else {
    // A nested caller runs blocks in the seat it holds; others when they find one free.
    const bool seated_before = holding_seat;
    const bool seated = seated_before || shared_->take_seat();
    shared_->open(job, seated);
    if (seated) {
      holding_seat = true;
      job->work();
      holding_seat = seated_before;
      shared_->close(job);  // every block is claimed
      if (!seated_before) shared_->give_seat();
    }
  }
  std::exception_ptr failure = job->wait_until_done();
  if (block_count > 1) shared_->close(job);  // only once every block is claimed: workers find it until then
  if (failure) std::rethrow_exception(std::move(failure));
}

std::size_t worker_count() { return WorkerPool::global().worker_count(); }

}  // namespace tolva::parallel
