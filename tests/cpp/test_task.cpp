#define TEST_SUITE "task"
#include <atomic>
#include <cstdio>
#include <string>
#include <unistd.h>

#include "base/panic.hpp"
#include "base/task.hpp"
#include "check.hpp"
#include "parallel/worker_pool.hpp"

using tolva::Cancelled;
using tolva::TaskContext;
using tolva::TaskScope;

TEST(cancelled_task_stops_run_blocks_and_later_blocks_never_run) {
  TaskContext task;
  const TaskScope scope(&task);
  std::atomic<std::uint64_t> ran{0};
  CHECK_THROWS_AS(tolva::parallel::WorkerPool::global().run_blocks(1000,
                                                                   [&](std::size_t block) {
                                                                     ran.fetch_add(1);
                                                                     if (block == 3) task.request_cancel();
                                                                   }),
                  Cancelled);
  // Blocks claimed before the request may finish; nothing close to all of them runs.
  CHECK(ran.load() < 1000);
  CHECK(ran.load() >= 4);
}

TEST(every_thread_running_a_block_sees_the_callers_task) {
  TaskContext task;
  const TaskScope scope(&task);
  std::atomic<std::uint64_t> seen{0};
  tolva::parallel::WorkerPool::global().run_blocks(256, [&](std::size_t) {
    if (tolva::current_task() == &task) seen.fetch_add(1);
  });
  CHECK_EQ(seen.load(), 256u);
}

TEST(scope_restores_the_task_before_it) {
  TaskContext outer, inner;
  CHECK(tolva::current_task() == nullptr);
  {
    const TaskScope first(&outer);
    {
      const TaskScope second(&inner);
      CHECK(tolva::current_task() == &inner);
    }
    CHECK(tolva::current_task() == &outer);
  }
  CHECK(tolva::current_task() == nullptr);
}

TEST(progress_reports_the_stage_and_never_more_done_than_total) {
  TaskContext task;
  const TaskScope scope(&task);
  tolva::begin_stage(tolva::Stage::Index, 10);
  tolva::advance_stage(4);
  CHECK(task.progress().stage == tolva::Stage::Index);
  CHECK_EQ(task.progress().done, 4u);
  tolva::advance_stage(40);
  CHECK_EQ(task.progress().done, 10u);
  CHECK_EQ(task.progress().total, 10u);
}

namespace {

// What a panic thrown inside `body` writes to standard error.
template <class Body>
std::string stderr_of(Body&& body) {
  std::fflush(stderr);
  const int saved = dup(2);
  std::FILE* sink = std::tmpfile();
  dup2(fileno(sink), 2);
  try {
    body();
  } catch (const tolva::Panic&) {
  }
  std::fflush(stderr);
  dup2(saved, 2);
  close(saved);
  std::string text;
  std::rewind(sink);
  for (int c; (c = std::fgetc(sink)) != EOF;) text.push_back(static_cast<char>(c));
  std::fclose(sink);
  return text;
}

}  // namespace

TEST(quiet_task_panics_without_a_report) {
  TaskContext task;
  task.quiet = true;
  const std::string quiet = stderr_of([&] {
    const TaskScope scope(&task);
    tolva::panic("quiet failure");
  });
  CHECK_EQ(quiet, std::string());
  const std::string loud = stderr_of([] { tolva::panic("loud failure"); });
  CHECK(loud.find("thread 'main' panicked at 'loud failure'") == 0);
}
