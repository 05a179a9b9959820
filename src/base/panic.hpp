// Internal failures ("panics"): a C++ exception carrying the exact message the caller will see.
// A panic is thrown where a check fails; the Python boundary turns it into PanicException.
#pragma once

#include <cstdint>
#include <exception>
#include <source_location>
#include <string>

namespace tolva {

class Panic : public std::exception {
 public:
  explicit Panic(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }
  const std::string& message() const noexcept { return message_; }

 private:
  std::string message_;
};

// Writes the one-line panic report to standard error (unless the thread's task is quiet),
// then throws Panic(message).
[[noreturn]] void panic(std::string message,
                        std::source_location where = std::source_location::current());

// Keeps the calling thread's panic reports in `kept` for the scope instead of writing them, so
// that a failure found early can wait behind one that must be raised first; a caller that
// raises the early failure after all writes them with write_panic_reports.
class PanicReportsKept {
 public:
  explicit PanicReportsKept(std::string& kept) noexcept;
  PanicReportsKept(const PanicReportsKept&) = delete;
  PanicReportsKept& operator=(const PanicReportsKept&) = delete;
  ~PanicReportsKept();

 private:
  std::string* previous_;
};
void write_panic_reports(const std::string& kept);

// Names the current thread in panic reports ("main" unless set); `name` must outlive the
// thread's use of it.
void set_panic_thread_name(const char* name);

// The generic message forms shared by every subsystem.
[[noreturn]] void panic_index_out_of_bounds(std::uint64_t length, std::uint64_t index,
                                            std::source_location where = std::source_location::current());
[[noreturn]] void panic_unwrap_none(std::source_location where = std::source_location::current());
[[noreturn]] void panic_assert_eq(std::int64_t left, std::int64_t right,
                                  std::source_location where = std::source_location::current());
[[noreturn]] void panic_assert_ne(std::int64_t left, std::int64_t right,
                                  std::source_location where = std::source_location::current());
[[noreturn]] void panic_removal_index(std::uint64_t index, std::uint64_t length,
                                      std::source_location where = std::source_location::current());
[[noreturn]] void panic_capacity_overflow(std::source_location where = std::source_location::current());

}  // namespace tolva
