#define TEST_SUITE "position_table"
#include "check.hpp"
#include <cstdint>
#include <map>
#include <random>
#include <vector>

#include "tolva/position_table.hpp"

namespace {

using tolva::Position;
using tolva::PositionTable;

struct Emission {
  std::vector<std::vector<std::pair<std::uint64_t, Position>>> units;  // (key, value) pairs per unit

  template <class Emit>
  void emit(std::uint64_t first, std::uint64_t last, Emit& emit) const {
    for (std::uint64_t unit = first; unit < last; ++unit) {
      for (const auto& [key, value] : units[unit]) emit(key, value);
    }
  }
};

// Units of up to `widest` pairs, keys skewed towards a few hot ones and the range's ends.
Emission random_emission(std::uint64_t range, std::uint64_t unit_count, std::uint64_t widest, unsigned seed) {
  std::mt19937_64 random(seed);
  Emission emission;
  Position value = 0;
  for (std::uint64_t unit = 0; unit < unit_count; ++unit) {
    emission.units.emplace_back();
    for (std::uint64_t n = random() % (widest + 1); n-- > 0;) {
      const std::uint64_t pick = random() % 10;
      const std::uint64_t key = pick == 0 ? 0 : pick == 1 ? range - 1 : pick == 2 ? range / 2 : random() % range;
      emission.units.back().push_back({key, value++});
    }
  }
  return emission;
}

void check_rows(const Emission& emission, std::uint64_t range, std::uint64_t parallel_from) {
  std::map<std::uint64_t, std::vector<Position>> expected;
  for (const auto& unit : emission.units) {
    for (const auto& [key, value] : unit) expected[key].push_back(value);
  }
  const PositionTable table = PositionTable::build(
      range, emission.units.size(),
      [&](std::uint64_t first, std::uint64_t last, auto&& emit) { emission.emit(first, last, emit); }, parallel_from);
  std::uint64_t rows = 0, entries = 0;
  for (std::uint64_t key = 0; key < range + 70; ++key) {
    const auto row = table.row(key);
    const auto found = expected.find(key);
    if (found == expected.end()) {
      CHECK(row.empty());
      CHECK(table.keys().row_of(key) == tolva::RowMap::kNone);
      continue;
    }
    CHECK(std::vector<Position>(row.begin(), row.end()) == found->second);  // emission order kept
    CHECK_EQ(table.keys().row_of(key), rows);
    ++rows;
    entries += row.size();
  }
  CHECK_EQ(entries, table.entry_count());
}

}  // namespace

TEST(rows_keep_emission_order_built_on_one_thread_or_by_buckets) {
  // Ranges below one 64-key word, across a few buckets and across many of the largest
  // buckets; ranges not a multiple of 64; units empty, single and wide.
  for (const std::uint64_t range : {std::uint64_t{1}, std::uint64_t{37}, std::uint64_t{1000}, std::uint64_t{70001},
                                    std::uint64_t{3} << 20}) {
    for (const std::uint64_t widest : {std::uint64_t{0}, std::uint64_t{1}, std::uint64_t{40}}) {
      const Emission emission = random_emission(range, 3000, widest, static_cast<unsigned>(range + widest));
      for (const std::uint64_t parallel_from : {std::uint64_t{0}, ~std::uint64_t{0}}) check_rows(emission, range, parallel_from);
    }
  }
}

TEST(a_single_unit_and_no_units_build_whole_tables) {
  for (const std::uint64_t parallel_from : {std::uint64_t{0}, ~std::uint64_t{0}}) {
    check_rows(random_emission(5000, 1, 900, 7), 5000, parallel_from);
    check_rows(Emission{}, 5000, parallel_from);
  }
}
