// What the caller of a long computation may ask of it while it runs: to stop early, to see
// how far it has come, and to keep failure reports off standard error. A caller makes one
// TaskContext per call and enters it with a TaskScope; the worker pool carries it to every
// thread that runs blocks of the call, so core code reaches it through current_task()
// without passing it down.
#pragma once

#include <atomic>
#include <cstdint>
#include <exception>

#include "base/memory_guard.hpp"

namespace tolva {

// Thrown where a task asked to stop notices it; it unwinds like any failure, releasing
// everything on the way.
class Cancelled : public std::exception {
 public:
  const char* what() const noexcept override { return "the computation was cancelled"; }
};

// The stages of a q-near computation, in the order they run.
enum class Stage : int { Idle = 0, Reading, Enumeration, Index, Algorithm };

class TaskContext {
 public:
  // Asks every thread working for the task to stop at its next check; any thread may call it.
  void request_cancel() noexcept { cancelled_.store(true, std::memory_order_relaxed); }
  bool cancel_requested() const noexcept { return cancelled_.load(std::memory_order_relaxed); }

  // Starts a stage of `total` units of work, none done yet; waits first for a cancellation
  // when the stage is the one held.
  void begin_stage(Stage stage, std::uint64_t total) noexcept {
    done_.store(0, std::memory_order_relaxed);
    total_.store(total, std::memory_order_relaxed);
    stage_.store(static_cast<int>(stage), std::memory_order_release);
    if (stage == hold_at) [[unlikely]] wait_for_cancel();
  }
  void advance(std::uint64_t units) noexcept { done_.fetch_add(units, std::memory_order_relaxed); }

  struct Progress {
    Stage stage;
    std::uint64_t done, total;
  };
  // Read while the task runs; done never exceeds total.
  Progress progress() const noexcept {
    const auto stage = static_cast<Stage>(stage_.load(std::memory_order_acquire));
    const std::uint64_t total = total_.load(std::memory_order_relaxed);
    const std::uint64_t done = done_.load(std::memory_order_relaxed);
    return {stage, done < total ? done : total, total};
  }

  // Failures of the task are raised to the caller only, without a report on standard error.
  bool quiet = false;
  // A stage whose start waits until the task is cancelled (Idle: none), so that tests can
  // aim a cancellation at a stage however quickly it would pass.
  Stage hold_at = Stage::Idle;
  // The memory budget of the task's call (base/memory_guard.hpp), shared by its workers.
  MemoryBudget memory_budget;

 private:
  void wait_for_cancel() const noexcept;

  std::atomic<bool> cancelled_{false};
  std::atomic<int> stage_{0};
  std::atomic<std::uint64_t> done_{0}, total_{0};
};

// The task the calling thread works for; null when none was entered.
TaskContext* current_task() noexcept;

// Makes `task` the calling thread's task for the scope (null: none), restoring the one before.
class TaskScope {
 public:
  explicit TaskScope(TaskContext* task) noexcept;
  TaskScope(const TaskScope&) = delete;
  TaskScope& operator=(const TaskScope&) = delete;
  ~TaskScope();

 private:
  TaskContext* previous_;
};

// Throws Cancelled when the calling thread's task was asked to stop: one load, cheap enough
// for any loop that does a few microseconds of work between checks.
inline void throw_if_cancelled() {
  const TaskContext* task = current_task();
  if (task != nullptr && task->cancel_requested()) [[unlikely]] throw Cancelled();
}

// Progress of the calling thread's task; nothing without one.
inline void begin_stage(Stage stage, std::uint64_t total) noexcept {
  if (TaskContext* task = current_task()) task->begin_stage(stage, total);
}
inline void advance_stage(std::uint64_t units) noexcept {
  if (TaskContext* task = current_task()) task->advance(units);
}

}  // namespace tolva
