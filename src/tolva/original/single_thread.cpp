#include "tolva/original/single_thread.hpp"

#include "tolva/face_walk.hpp"

namespace tolva {
namespace {

// Pairs of different simplices whose i-th and j-th faces share the q-simplex t, for every t.
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
  if (complex.lists.size() >= 2) {
    check_face_places(i, j, q + 2);
    // Every simplex of dimension q + 1 or more, filed under its i-th and j-th faces.
    const FiledByFace filed = file_by_face(complex, index, 1, complex.lists.size() - 1, i, j, index.size());
    const FaceWalk walk = walk_faces(complex, index);
    const PositionTable cofaces = containing_simplices(complex, index, walk, 0);
    q_near_graph.reserve(walk.face_positions.size());  // the face pairs alone are all different
    QNearGraph::Inserter inserter(q_near_graph);
    insert_shared_face_pairs(cofaces, filed.by_i_face, filed.by_j_face(), inserter);
    insert_face_pairs(complex, index, walk, inserter);
    inserter.flush();
  }
  report_pair_count("src/tolva/original/single_thread:148", "q_near_graph.edges().len()", q_near_graph.size());
  return q_near_graph;
}

}  // namespace tolva
