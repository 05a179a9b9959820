// The old q-near algorithm: simplices of dimension q + 1 or more are related when the i-th
// face of one and the j-th face of the other share a q-simplex; every face of dimension q or
// more is related to the simplices that contain it.
#pragma once

#include <cstdint>

#include "complex/directed_flag_complex.hpp"
#include "complex/simplex_index.hpp"
#include "tolva/face_walk.hpp"
#include "tolva/q_near_graph.hpp"

namespace tolva {

// kept_walk: the complex's face walk, for a caller that keeps it for many calls; without it
// the call walks the faces itself.
QNearGraph q_near_graph_old(std::uint64_t q, std::uint64_t i, std::uint64_t j,
                            const DirectedFlagComplex& complex, const SimplexIndex& index,
                            const ProductCuts& cuts = ProductCuts(), const FaceWalk* kept_walk = nullptr);

}  // namespace tolva
