#include "tolva/original/single_thread.hpp"

#include "tolva/face_walk.hpp"

namespace tolva {
namespace {

// Simplices of dimension q + 1 or more filed under the position of one of their faces
// (rows for every position of the complex), visited in ascending position order.
PositionTable file_by_face(const std::vector<Position>& face_of, std::uint64_t first_filed,
                           std::uint64_t rows) {
  return PositionTable::build(rows, [&](auto&& emit) {
    for (std::uint64_t k = 0; k < face_of.size(); ++k) emit(face_of[k], static_cast<Position>(first_filed + k));
  });
}

void insert_shared_face_pairs(const PositionTable& cofaces, const PositionTable& by_i_face,
                              const PositionTable& by_j_face, QNearGraph::Inserter& graph) {
  for (std::uint64_t t = 0; t < cofaces.rows(); ++t) {
    const auto containing = cofaces.row(t);
    for (const Position a : containing) {
      const auto with_i_face = by_i_face.row(a);
      if (with_i_face.empty()) continue;
      for (const Position b : containing) {
        const auto with_j_face = by_j_face.row(b);
        if (with_j_face.empty()) continue;
        for (const Position x : with_i_face) {
          for (const Position y : with_j_face) {
            if (x != y) graph.insert(x, y);
          }
        }
      }
    }
  }
}

}  // namespace

QNearGraph q_near_graph_old(std::uint64_t q, std::uint64_t i, std::uint64_t j,
                            const DirectedFlagComplex& complex, const SimplexIndex& index) {
  QNearGraph q_near_graph;
  const auto& lists = complex.lists;
  if (lists.size() >= 2) {
    check_face_places(i, j, q + 2);
    const std::uint64_t filed_from = index.first_position(1);
    const std::uint64_t last = lists.size() - 1;
    const PositionTable by_i_face = file_by_face(faces_at_place(complex, index, 1, last, i), filed_from, index.size());
    const PositionTable by_j_face_of_its_own =
        i == j ? PositionTable() : file_by_face(faces_at_place(complex, index, 1, last, j), filed_from, index.size());
    const PositionTable& by_j_face = i == j ? by_i_face : by_j_face_of_its_own;

    const FaceWalk walk = walk_faces(complex, index);
    const std::uint64_t q_simplices = lists[0].size();
    const PositionTable cofaces = PositionTable::build(q_simplices, [&](auto&& emit) {
      for (std::uint64_t t = 0; t < q_simplices; ++t) emit(t, static_cast<Position>(t));
      for_each_face_pair(complex, index, walk, [&](Position face, std::uint64_t simplex) {
        if (face < q_simplices) emit(face, static_cast<Position>(simplex));
      });
    });
    q_near_graph.reserve(walk.face_positions.size());  // the face pairs alone are all different
    QNearGraph::Inserter inserter(q_near_graph);
    insert_shared_face_pairs(cofaces, by_i_face, by_j_face, inserter);
    for_each_face_pair(complex, index, walk,
                       [&](Position face, std::uint64_t simplex) { inserter.insert(face, simplex); });
    inserter.flush();
  }
  report_pair_count("src/tolva/original/single_thread:148", "q_near_graph.edges().len()", q_near_graph.size());
  return q_near_graph;
}

}  // namespace tolva
