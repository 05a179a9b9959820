// Runs the registered C++ tests: all, or those whose name starts with one of the arguments.
// --list prints the names; --count <file> prints the simplex counts of a .flag file.
#include <cstdio>
#include <exception>
#include <string>

#include "base/memory_guard.hpp"
#include "check.hpp"
#include "complex/directed_flag_complex.hpp"
#include "graph_io/flag_reader.hpp"

namespace check {

std::vector<Case>& registry() {
  static std::vector<Case> cases;
  return cases;
}

void panics_with(const std::function<void()>& body, const std::string& message, const char* file, int line) {
  try {
    body();
  } catch (const tolva::Panic& panic) {
    if (panic.message() == message) return;
    throw Failure(std::string(file) + ":" + std::to_string(line) + ": panic message\n  actual:   " +
                  panic.message() + "\n  expected: " + message);
  }
  throw Failure(std::string(file) + ":" + std::to_string(line) + ": expected a panic with: " + message);
}

}  // namespace check

namespace {

// Simplices per dimension (q = 0, no bound) of a .flag file, for the known-answer tests.
int print_simplex_counts(const char* path) {
  const tolva::Graph graph = tolva::read_flag_file(path);
  const tolva::DirectedFlagComplex complex = tolva::build_directed_flag_complex(graph, 0, ~std::uint64_t{0});
  for (const auto& list : complex.lists) std::printf("%llu ", static_cast<unsigned long long>(list.size()));
  std::printf("\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--count") return print_simplex_counts(argv[2]);
  if (argc > 1 && std::string(argv[1]) == "--list") {
    for (const auto& test : check::registry()) std::printf("%s\n", test.name.c_str());
    return 0;
  }
  // The suites' buffers are measured against a fixed figure, not against what other
  // processes leave of the host's memory; tests of the guard set their own.
  const tolva::AvailableMemoryOverride plenty(std::size_t{1} << 40);
  int run = 0, failed = 0;
  for (const auto& test : check::registry()) {
    bool selected = argc == 1;
    for (int a = 1; a < argc && !selected; ++a) selected = test.name.rfind(argv[a], 0) == 0;
    if (!selected) continue;
    ++run;
    try {
      test.body();
    } catch (const std::exception& error) {
      ++failed;
      std::printf("FAIL %s\n  %s\n", test.name.c_str(), error.what());
    }
  }
  std::printf("%d run, %d failed\n", run, failed);
  return failed == 0 && run > 0 ? 0 : 1;
}
