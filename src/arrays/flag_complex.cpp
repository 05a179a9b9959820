#include "arrays/flag_complex.hpp"

#include <chrono>
#include <thread>
#include <utility>

#include "base/task.hpp"

namespace tolva::arrays {
namespace {

DirectedFlagComplex enumerate_and_release(Graph graph, std::uint64_t q, std::uint64_t max_dimension) {
  DirectedFlagComplex complex = build_directed_flag_complex(graph, q, max_dimension);
  { const Graph released = std::move(graph); }  // the neighbour lists are not needed any more
  begin_stage(Stage::Index, 0);
  return complex;
}

std::uint64_t non_empty_lists(const DirectedFlagComplex& complex) {
  std::uint64_t count = complex.lists.size();
  while (count > 0 && complex.lists[count - 1].empty()) --count;
  return count;
}

}  // namespace

BuiltComplex::BuiltComplex(Graph graph, std::uint64_t q, std::uint64_t max_dimension)
    : vertex_count_(graph.vertex_count()),
      complex_(enumerate_and_release(std::move(graph), q, max_dimension)),
      list_count_(non_empty_lists(complex_)),
      index_(build_simplex_index(complex_)) {}

const FaceWalk& BuiltComplex::face_walk() const {
  std::unique_lock lock(walk_mutex_, std::defer_lock);
  while (!lock.try_lock()) {
    throw_if_cancelled();
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  if (!walk_) walk_.emplace(walk_faces(complex_, index_));
  return *walk_;
}

std::uint64_t BuiltComplex::first_position(std::uint64_t k) const noexcept {
  return k < list_count_ ? index_.first_position(k) : index_.size();
}

}  // namespace tolva::arrays
