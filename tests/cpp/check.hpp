// A small test harness: TEST(name) registers a case, CHECK* throw on failure.
#pragma once

#include <functional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "base/panic.hpp"

namespace check {

struct Failure : std::runtime_error {
  using std::runtime_error::runtime_error;
};

struct Case {
  std::string name;
  std::function<void()> body;
};

std::vector<Case>& registry();

struct Registrar {
  Registrar(std::string name, std::function<void()> body) { registry().push_back({std::move(name), std::move(body)}); }
};

template <class A, class B>
void equal(const A& actual, const B& expected, const char* actual_text, const char* expected_text,
           const char* file, int line) {
  if (actual == expected) return;
  std::ostringstream message;
  message << file << ":" << line << ": CHECK_EQ(" << actual_text << ", " << expected_text << ")";
  if constexpr (requires(std::ostream& out) { out << actual << expected; }) {
    message << "\n  actual:   " << actual << "\n  expected: " << expected;
  }
  throw Failure(message.str());
}

// Runs body, which must panic with exactly `message`.
void panics_with(const std::function<void()>& body, const std::string& message, const char* file, int line);

}  // namespace check

#define CHECK_CONCAT_INNER(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT_INNER(a, b)
#define TEST(name)                                                                                   \
  static void name();                                                                                \
  static const check::Registrar CHECK_CONCAT(registrar_, name)(std::string(TEST_SUITE) + "::" #name, name); \
  static void name()

#define CHECK(condition)                                                                                  \
  do {                                                                                                    \
    if (!(condition)) throw check::Failure(std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": CHECK(" #condition ")"); \
  } while (0)

#define CHECK_EQ(actual, expected) check::equal((actual), (expected), #actual, #expected, __FILE__, __LINE__)

#define CHECK_PANICS(statement, message) check::panics_with([&] { statement; }, (message), __FILE__, __LINE__)

#define CHECK_THROWS_AS(statement, type)                                                          \
  do {                                                                                            \
    bool thrown = false;                                                                          \
    try {                                                                                         \
      statement;                                                                                  \
    } catch (const type&) {                                                                       \
      thrown = true;                                                                              \
    }                                                                                             \
    if (!thrown) throw check::Failure(std::string(__FILE__) + ":" + std::to_string(__LINE__) + ": expected " #type); \
  } while (0)
