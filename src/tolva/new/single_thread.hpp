// The new q-near algorithm: (q+1)-simplices a and b are related when the i-th face of a and
// the j-th face of b are the same q-simplex, and with them every simplex containing a with
// every different simplex containing b; every face of dimension q or more is related to the
// simplices that contain it.
#pragma once

#include <cstdint>

#include "complex/directed_flag_complex.hpp"
#include "complex/simplex_index.hpp"
#include "tolva/face_walk.hpp"
#include "tolva/q_near_graph.hpp"

namespace tolva {

// kept_walk: the complex's face walk, for a caller that keeps it for many calls; without it
// the call walks the faces itself.
QNearGraph q_near_graph_new(std::uint64_t q, std::uint64_t i, std::uint64_t j,
                            const DirectedFlagComplex& complex, const SimplexIndex& index,
                            const ProductCuts& cuts = ProductCuts(), const FaceWalk* kept_walk = nullptr);

}  // namespace tolva
