#define TEST_SUITE "distinct_sketch"
#include <cstdint>

#include "check.hpp"
#include "tolva/distinct_sketch.hpp"

using tolva::DistinctSketch;

TEST(the_estimate_is_close_and_its_lower_bound_below_the_count_at_every_scale) {
  for (const std::uint64_t distinct : {std::uint64_t{0}, std::uint64_t{1000}, std::uint64_t{50000},
                                       std::uint64_t{3000000}}) {
    DistinctSketch sketch;
    // Every key three times, and keys that differ in few bits (pairs of nearby positions).
    for (int round = 0; round < 3; ++round) {
      for (std::uint64_t k = 0; k < distinct; ++k) sketch.add((k / 1000) << 32 | (k % 1000));
    }
    const double count = static_cast<double>(distinct);
    CHECK(sketch.estimate() >= 0.97 * count && sketch.estimate() <= 1.03 * count);
    CHECK(sketch.lower_bound() <= distinct);
  }
}

TEST(merged_sketches_estimate_the_union) {
  DistinctSketch a, b, whole;
  for (std::uint64_t k = 0; k < 200000; ++k) {
    (k % 2 == 0 ? a : b).add(k % 150000);  // keys 0 .. 149999, some in both halves
    whole.add(k % 150000);
  }
  a.merge(b);
  CHECK_EQ(a.estimate(), whole.estimate());
}
