#include "arrays/native_call.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

namespace tolva::arrays {
namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kWakeInterval = std::chrono::milliseconds(100);

// What the work thread and the waiting caller share.
struct Shared {
  TaskContext task;
  std::mutex mutex;
  std::condition_variable finished_signal;
  bool finished = false;
  std::exception_ptr failure;
};

// Waits up to `interval` for the work to finish, without the interpreter lock.
bool wait_released(Shared& shared, Clock::duration interval) {
  PyThreadState* const saved = PyEval_SaveThread();
  bool finished = false;
  {
    std::unique_lock lock(shared.mutex);
    finished = shared.finished_signal.wait_for(lock, interval, [&] { return shared.finished; });
  }
  py::restore_thread(saved);
  return finished;
}

// The thread doing a call's work. However the caller leaves (also unwound by the interpreter
// ending a daemon thread at exit), the work is asked to stop and joined first: it refers to
// the caller's frame.
class WorkThread {
 public:
  WorkThread(Shared& shared, const std::function<void()>& work)
      : shared_(shared), thread_([&shared, &work] { run(shared, work); }) {}
  WorkThread(const WorkThread&) = delete;
  WorkThread& operator=(const WorkThread&) = delete;
  ~WorkThread() {
    if (!thread_.joinable()) return;
    shared_.task.request_cancel();
    thread_.join();
  }

  void join_released() {
    PyThreadState* const saved = PyEval_SaveThread();
    thread_.join();
    py::restore_thread(saved);
  }

 private:
  static void run(Shared& shared, const std::function<void()>& work) {
    std::exception_ptr failure;
    try {
      const TaskScope scope(&shared.task);
      const MemoryBudgetScope budget;  // the call's own: other calls may run at once
      work();
    } catch (...) {
      failure = std::current_exception();
    }
    const std::lock_guard lock(shared.mutex);
    shared.failure = failure;
    shared.finished = true;
    shared.finished_signal.notify_one();
  }

  Shared& shared_;
  std::thread thread_;
};

// Calls progress(stage, done, total); false when it raised.
bool report_progress(PyObject* progress, const TaskContext::Progress& now) {
  const Ref result(PyObject_CallFunction(progress, "sKK", stage_name(now.stage),
                                         static_cast<unsigned long long>(now.done),
                                         static_cast<unsigned long long>(now.total)));
  return static_cast<bool>(result);
}

class ProgressReporter {
 public:
  explicit ProgressReporter(PyObject* progress) : progress_(progress == Py_None ? nullptr : progress) {}

  // Reports when at least a wake interval has passed since the last report; false when the
  // callable raised.
  bool maybe_report(const TaskContext& task) {
    if (progress_ == nullptr) return true;
    const auto now = Clock::now();
    if (reported_ && now - last_ < kWakeInterval) return true;
    const TaskContext::Progress state = task.progress();
    if (state.stage == Stage::Idle) return true;
    reported_ = true;
    last_ = now;
    return report_progress(progress_, state);
  }

 private:
  PyObject* progress_;
  bool reported_ = false;
  Clock::time_point last_{};
};

}  // namespace

const char* stage_name(Stage stage) noexcept {
  switch (stage) {
    case Stage::Reading: return "reading";
    case Stage::Enumeration: return "enumeration";
    case Stage::Index: return "index";
    case Stage::Algorithm: return "algorithm";
    case Stage::Idle: break;
  }
  return "idle";
}

void check_progress(PyObject* progress) {
  if (progress != Py_None && PyCallable_Check(progress) == 0) {
    raise(PyExc_TypeError, "progress must be None or a callable taking (stage, done, total), not '" +
                               type_name_of(progress) + "'");
  }
}

// The stage named by TOLVA_HOLD_STAGE, read at each call: tests hold a call at its start
// until they interrupt it.
Stage held_stage() noexcept {
  const char* name = std::getenv("TOLVA_HOLD_STAGE");
  if (name == nullptr) return Stage::Idle;
  for (const Stage stage : {Stage::Reading, Stage::Enumeration, Stage::Index, Stage::Algorithm}) {
    if (std::strcmp(name, stage_name(stage)) == 0) return stage;
  }
  return Stage::Idle;
}

void run_native(const std::function<void()>& work, PyObject* progress) {
  Shared shared;
  // Failures are the caller's to raise: nothing is reported on standard error.
  shared.task.quiet = true;
  shared.task.hold_at = held_stage();
  WorkThread thread(shared, work);
  ProgressReporter reporter(progress);
  while (!wait_released(shared, kWakeInterval)) {
    if (PyErr_CheckSignals() != 0 || !reporter.maybe_report(shared.task)) {
      shared.task.request_cancel();
      thread.join_released();
      throw_python_error();  // the work's own outcome is dropped with it
    }
  }
  thread.join_released();
  if (shared.failure) std::rethrow_exception(shared.failure);
}

}  // namespace tolva::arrays
