#include "tolva/new/single_thread.hpp"

#include "tolva/face_walk.hpp"

namespace tolva {
namespace {

// (q+1)-simplices filed under one of their q-faces, in list order.
PositionTable file_by_face(const std::vector<Position>& face_of, std::uint64_t first_position,
                           std::uint64_t q_simplices) {
  return PositionTable::build(q_simplices, [&](auto&& emit) {
    for (std::uint64_t k = 0; k < face_of.size(); ++k) emit(face_of[k], static_cast<Position>(first_position + k));
  });
}

void insert_incidence_pairs(const PositionTable& by_i_face, const PositionTable& by_j_face,
                            const PositionTable& cofaces, std::uint64_t first_position, QNearGraph::Inserter& graph) {
  for (std::uint64_t w = 0; w < by_i_face.rows(); ++w) {
    const auto with_i_face = by_i_face.row(w);
    const auto with_j_face = by_j_face.row(w);
    if (with_i_face.empty() || with_j_face.empty()) continue;
    for (const Position a : with_i_face) {
      const auto containing_a = cofaces.row(a - first_position);
      for (const Position b : with_j_face) {
        graph.insert(a, b);
        const auto containing_b = cofaces.row(b - first_position);
        for (const Position s : containing_a) {
          for (const Position t : containing_b) {
            if (s != t) graph.insert(s, t);
          }
        }
      }
    }
  }
}

}  // namespace

QNearGraph q_near_graph_new(std::uint64_t q, std::uint64_t i, std::uint64_t j,
                            const DirectedFlagComplex& complex, const SimplexIndex& index) {
  QNearGraph q_graph;
  const auto& lists = complex.lists;
  if (lists.size() >= 2) {
    check_face_places(i, j, q + 2);
    const std::uint64_t q_simplices = lists[0].size();
    const std::uint64_t edges_first = index.first_position(1);  // == q_simplices
    const std::uint64_t edge_count = lists[1].size();

    const FaceWalk walk = walk_faces(complex, index);
    const PositionTable cofaces = PositionTable::build(edge_count, [&](auto&& emit) {
      for (std::uint64_t k = 0; k < edge_count; ++k) emit(k, static_cast<Position>(edges_first + k));
      for_each_face_pair(complex, index, walk, [&](Position face, std::uint64_t simplex) {
        if (face >= edges_first && face - edges_first < edge_count) {
          emit(face - edges_first, static_cast<Position>(simplex));
        }
      });
    });

    const PositionTable by_i_face = file_by_face(faces_at_place(complex, index, 1, 1, i), edges_first, q_simplices);
    const PositionTable by_j_face_of_its_own =
        i == j ? PositionTable() : file_by_face(faces_at_place(complex, index, 1, 1, j), edges_first, q_simplices);
    const PositionTable& by_j_face = i == j ? by_i_face : by_j_face_of_its_own;

    q_graph.reserve(walk.face_positions.size());  // the face pairs alone are all different
    QNearGraph::Inserter inserter(q_graph);
    insert_incidence_pairs(by_i_face, by_j_face, cofaces, edges_first, inserter);
    for_each_face_pair(complex, index, walk,
                       [&](Position face, std::uint64_t simplex) { inserter.insert(face, simplex); });
    inserter.flush();
  }
  report_pair_count("src/tolva/new/single_thread:21", "q_graph.edges().len()", q_graph.size());
  return q_graph;
}

}  // namespace tolva
