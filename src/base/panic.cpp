#include "base/panic.hpp"

#include <cstdio>
#include <string_view>
#include <utility>

#include "base/task.hpp"

namespace tolva {
namespace {

// A plain pointer in the static TLS block (see base/task.cpp): naming a thread or reporting
// from it never allocates thread-local storage. The text is owned by the thread that set it.
[[gnu::tls_model("initial-exec")]] thread_local const char* current_thread_name = "main";
// Where the thread's reports go instead of standard error (PanicReportsKept); null: written.
[[gnu::tls_model("initial-exec")]] thread_local std::string* kept_reports = nullptr;

// Source paths are reported relative to the project ("src/..."), not as build-machine paths.
std::string_view project_relative(std::string_view path) {
  const auto at = path.rfind("src/");
  return at == std::string_view::npos ? path : path.substr(at);
}

// The report in pieces, each handed to `put`: one rendering for reports written and kept.
template <class Put>
void render_report(const std::string& message, const std::source_location& where, Put&& put) {
  char place[48];
  std::snprintf(place, sizeof place, ":%u:%u\n", where.line(), where.column());
  for (const std::string_view piece :
       {std::string_view("thread '"), std::string_view(current_thread_name), std::string_view("' panicked at '"),
        std::string_view(message), std::string_view("', "), project_relative(where.file_name()), std::string_view(place),
        std::string_view("note: the message above is raised as pyo3_runtime.PanicException; "
                         "run under gdb with 'catch throw' for a backtrace\n")}) {
    put(piece);
  }
}

// Written without allocating, so that a panic under memory pressure stays a panic; a kept
// report is appended to its keeper's string.
void write_report(const std::string& message, const std::source_location& where) {
  if (kept_reports == nullptr) {
    flockfile(stderr);  // one report stays whole when threads panic at once
    render_report(message, where, [](std::string_view piece) { fwrite_unlocked(piece.data(), 1, piece.size(), stderr); });
    funlockfile(stderr);
  } else {
    render_report(message, where, [](std::string_view piece) { kept_reports->append(piece); });
  }
}

std::string assertion(const char* op, std::int64_t left, std::int64_t right) {
  return std::string("assertion failed: `(left ") + op + " right)`\n  left: `" + std::to_string(left) +
         "`,\n right: `" + std::to_string(right) + "`";
}

}  // namespace

void set_panic_thread_name(const char* name) { current_thread_name = name; }

PanicReportsKept::PanicReportsKept(std::string& kept) noexcept : previous_(std::exchange(kept_reports, &kept)) {}
PanicReportsKept::~PanicReportsKept() { kept_reports = previous_; }

void write_panic_reports(const std::string& kept) { std::fputs(kept.c_str(), stderr); }

void panic(std::string message, std::source_location where) {
  const TaskContext* task = current_task();
  if (task == nullptr || !task->quiet) write_report(message, where);
  throw Panic(std::move(message));
}

void panic_index_out_of_bounds(std::uint64_t length, std::uint64_t index, std::source_location where) {
  panic("index out of bounds: the len is " + std::to_string(length) + " but the index is " +
            std::to_string(index),
        where);
}

void panic_unwrap_none(std::source_location where) {
  panic("called `Option::unwrap()` on a `None` value", where);
}

void panic_assert_eq(std::int64_t left, std::int64_t right, std::source_location where) {
  panic(assertion("==", left, right), where);
}

void panic_assert_ne(std::int64_t left, std::int64_t right, std::source_location where) {
  panic(assertion("!=", left, right), where);
}

void panic_removal_index(std::uint64_t index, std::uint64_t length, std::source_location where) {
  panic("removal index (is " + std::to_string(index) + ") should be < len (is " +
            std::to_string(length) + ")",
        where);
}

void panic_capacity_overflow(std::source_location where) { panic("capacity overflow", where); }

}  // namespace tolva
