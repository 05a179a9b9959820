#include "base/task.hpp"

#include <chrono>
#include <thread>

namespace tolva {
namespace {

// Initial-exec: the variable lives in the static TLS block set up with each thread, so a
// thread's first use never allocates (the default model for a dlopen'ed module allocates
// lazily, and aborts the process when that allocation fails).
[[gnu::tls_model("initial-exec")]] thread_local TaskContext* current = nullptr;

}  // namespace

TaskContext* current_task() noexcept { return current; }

void TaskContext::wait_for_cancel() const noexcept {
  while (!cancel_requested()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TaskScope::TaskScope(TaskContext* task) noexcept : previous_(current) { current = task; }

TaskScope::~TaskScope() { current = previous_; }

}  // namespace tolva
