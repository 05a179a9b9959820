#include "tolva/face_walk.hpp"

#include <algorithm>

#include "tolva/panic.hpp"

namespace tolva {
namespace {

// Appends the positions of all faces of one simplex with `count` vertices, sizes
// smallest..count-1, each size in lexicographic order of the kept places.
class FaceEnumerator {
 public:
  explicit FaceEnumerator(std::uint64_t max_vertices) : places_(max_vertices), face_(max_vertices) {}

  void append_faces(const Vertex* simplex, std::uint64_t count, std::uint64_t smallest,
                    const SimplexIndex& index, std::vector<Position>& out) {
    for (std::uint64_t size = smallest; size < count; ++size) {
      for (std::uint64_t k = 0; k < size; ++k) places_[k] = k;
      for (;;) {
        for (std::uint64_t k = 0; k < size; ++k) face_[k] = simplex[places_[k]];
        out.push_back(static_cast<Position>(index.position_of(face_.data(), size)));
        if (!advance(size, count)) break;
      }
    }
  }

 private:
  // Next size-subset of 0..count-1 in lexicographic order; false after the last one.
  bool advance(std::uint64_t size, std::uint64_t count) {
    std::uint64_t k = size;
    while (k > 0 && places_[k - 1] == count - size + (k - 1)) --k;
    if (k == 0) return false;
    ++places_[k - 1];
    for (std::uint64_t m = k; m < size; ++m) places_[m] = places_[m - 1] + 1;
    return true;
  }

  std::vector<std::uint64_t> places_;
  std::vector<Vertex> face_;
};

}  // namespace

FaceWalk walk_faces(const DirectedFlagComplex& complex, const SimplexIndex& index) {
  FaceWalk walk;
  walk.faces_per_simplex.assign(complex.lists.size(), 0);
  if (complex.lists.size() < 2) return walk;
  const std::uint64_t smallest = complex.q + 1;
  FaceEnumerator faces(complex.lists.back().vertices_per_simplex());
  for (std::size_t k = complex.lists.size(); k-- > 1;) {
    const SimplexList& list = complex.lists[k];
    const std::uint64_t count = list.vertices_per_simplex();
    const std::uint64_t before = walk.face_positions.size();
    for (std::uint64_t place = 0; place < list.size(); ++place) {
      faces.append_faces(list[place], count, smallest, index, walk.face_positions);
    }
    walk.faces_per_simplex[k] = (walk.face_positions.size() - before) / list.size();
  }
  return walk;
}

void check_face_places(std::uint64_t i, std::uint64_t j, std::uint64_t count) {
  if (i >= count) panic_removal_index(i, count);
  if (j >= count) panic_removal_index(j, count);
}

void face_without(const Vertex* simplex, std::uint64_t count, std::uint64_t place, Vertex* face) {
  if (place >= count) panic_removal_index(place, count);
  std::copy(simplex, simplex + place, face);
  std::copy(simplex + place + 1, simplex + count, face + place);
}

}  // namespace tolva

namespace tolva {

std::vector<Position> faces_at_place(const DirectedFlagComplex& complex, const SimplexIndex& index,
                                     std::size_t first_list, std::size_t last_list, std::uint64_t place) {
  std::vector<Position> positions;
  std::vector<Vertex> face;
  for (std::size_t k = first_list; k <= last_list && k < complex.lists.size(); ++k) {
    const SimplexList& list = complex.lists[k];
    const std::uint64_t count = list.vertices_per_simplex();
    face.resize(count);
    for (std::uint64_t at = 0; at < list.size(); ++at) {
      face_without(list[at], count, place, face.data());
      positions.push_back(static_cast<Position>(index.position_of(face.data(), count - 1)));
    }
  }
  return positions;
}

}  // namespace tolva
