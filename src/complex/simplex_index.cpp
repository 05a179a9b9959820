#include "complex/simplex_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "base/panic.hpp"
#include "base/position.hpp"
#include "base/task.hpp"
#include "parallel/worker_pool.hpp"

namespace tolva {
namespace {

// Simplices per region, on average: enough that the directory is a small fraction of the
// table, few enough that a region is written while it is in cache.
constexpr std::uint64_t kSimplicesPerRegion = 16;
// Places per block of work: a few hundred microseconds of insertions.
constexpr std::uint64_t kPiece = std::uint64_t{1} << 15;

// A run of places of one list.
template <class Table>
struct Piece {
  Table* table;
  std::uint64_t first, last;
};

// About kPiece places each; with `whole_regions`, each piece ends where a region ends (once
// the regions are mapped), so that a region's slots are written by one piece only.
template <class V, class Table>
std::vector<Piece<Table>> pieces_of(std::vector<Table>& tables, bool whole_regions) {
  std::vector<Piece<Table>> pieces;
  for (Table& table : tables) {
    if (table.slots.size() == 0) continue;
    const std::uint64_t count = table.list->size();
    for (std::uint64_t first = 0, last = 0; first < count; first = last) {
      last = std::min(first + kPiece, count);
      if (whole_regions && last < count) {
        const std::uint64_t region = table.list->template at<V>(last)[0] >> table.root_shift;
        if (table.region_start[region] < last) last = table.region_start[region + 1];
      }
      pieces.push_back({&table, first, last});
    }
  }
  return pieces;
}

}  // namespace

SimplexIndex::SimplexIndex(const DirectedFlagComplex& complex) : q_(complex.q) {
  tables_.reserve(complex.lists.size());
  for (const SimplexList& list : complex.lists) {
    const std::uint64_t count = list.size();
    if (count > kMaxPosition || size_ + count > kMaxPosition) panic_capacity_overflow();
    tables_.push_back(Table{&list, size_, 0, {}, {}});
    size_ += count;
  }
  with_vertex_type(complex.vertex_width, [&]<class V>(V) {
    map_regions<V>();
    fill_tables<V>();
  });
}

template <class V>
void SimplexIndex::map_regions() {
  // No simplex of the top list is a face of another: it is searched, not hashed.
  for (std::size_t k = 0; k + 1 < tables_.size(); ++k) {
    Table& table = tables_[k];
    const std::uint64_t count = table.list->size();
    const std::uint64_t last_root = table.list->template at<V>(count - 1)[0];
    const std::uint64_t regions_wanted = std::max<std::uint64_t>(1, count / kSimplicesPerRegion);
    while ((last_root >> table.root_shift) + 1 > regions_wanted) ++table.root_shift;
    table.region_start = FlatBuffer<std::uint32_t>::zeros((last_root >> table.root_shift) + 2);
    table.region_start[table.region_count()] = static_cast<std::uint32_t>(count);
    table.slots = FlatBuffer<std::uint32_t>::zeros(2 * count);
    const auto place_bits = static_cast<unsigned>(std::bit_width(count));  // places + 1 run up to count
    table.place_mask = place_bits >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << place_bits) - 1;
  }
  // Each piece writes the start of every region whose first place it holds, finding the
  // places where the region changes by galloping: the cost grows with the regions, not the
  // simplices.
  const auto pieces = pieces_of<V>(tables_, false);
  parallel::run_pieces(pieces.size(), [&](std::uint64_t at) {
    const auto [table, first, last] = pieces[at];
    const SimplexList& list = *table->list;
    const unsigned shift = table->root_shift;
    const auto region = [&](std::uint64_t place) -> std::uint64_t { return list.template at<V>(place)[0] >> shift; };
    std::uint64_t unset = first == 0 ? 0 : region(first - 1) + 1;
    for (std::uint64_t place = first; place < last;) {
      const std::uint64_t current = region(place);
      for (; unset <= current; ++unset) table->region_start[unset] = static_cast<std::uint32_t>(place);
      std::uint64_t inside = place, step = 1;
      while (inside + step < last && region(inside + step) == current) {
        inside += step;
        step *= 2;
      }
      std::uint64_t low = inside + 1, high = std::min(inside + step, last);
      while (low < high) {
        const std::uint64_t middle = low + (high - low) / 2;
        if (region(middle) == current) {
          low = middle + 1;
        } else {
          high = middle;
        }
      }
      place = low;
    }
  });
}

template <class V>
void SimplexIndex::fill_tables() {
  // Each piece holds whole regions: it alone writes their slots, with plain stores.
  const auto pieces = pieces_of<V>(tables_, true);
  std::uint64_t total = 0;
  for (const auto& piece : pieces) total += piece.last - piece.first;
  begin_stage(Stage::Index, total);
  parallel::run_pieces(pieces.size(), [&](std::uint64_t at) {
    const auto [table, first, last] = pieces[at];
    const SimplexList& list = *table->list;
    const std::uint64_t stride = list.vertices_per_simplex();
    // Home slots are computed kAhead simplices early and prefetched: a region may still be
    // larger than the cache.
    constexpr std::uint64_t kAhead = 16;
    struct Home {
      std::uint64_t slot;
      Table::Slots region;
      std::uint32_t entry;
    };
    Home home[kAhead];
    const auto home_of = [&](std::uint64_t place) {
      const V* simplex = list.template at<V>(place);
      const Table::Slots region = table->region_of(simplex[0]);
      const std::uint64_t hash = hash_vertices(simplex, stride);
      const std::uint64_t slot = Table::home_slot(hash, region);
      __builtin_prefetch(&table->slots[slot], 1);
      return Home{slot, region, table->entry_for(place, static_cast<std::uint32_t>(hash))};
    };
    for (std::uint64_t place = first; place < std::min(last, first + kAhead); ++place) {
      home[place % kAhead] = home_of(place);
    }
    for (std::uint64_t place = first; place < last; ++place) {
      const Home start = home[place % kAhead];
      if (place + kAhead < last) home[place % kAhead] = home_of(place + kAhead);
      for (std::uint64_t slot = start.slot;; slot = slot + 1 == start.region.last ? start.region.first : slot + 1) {
        if (table->slots[slot] == 0) {
          table->slots[slot] = start.entry;
          break;
        }
      }
    }
    advance_stage(last - first);
  });
}

std::optional<std::uint64_t> SimplexIndex::find(std::span<const std::uint64_t> vertices) const {
  if (tables_.empty()) return std::nullopt;
  return with_vertex_type(tables_.front().list->vertex_width(), [&]<class V>(V) -> std::optional<std::uint64_t> {
    std::vector<V> narrow;
    narrow.reserve(vertices.size());
    for (const std::uint64_t v : vertices) {
      if (v > std::numeric_limits<V>::max()) return std::nullopt;
      narrow.push_back(static_cast<V>(v));
    }
    return find(narrow.data(), narrow.size());
  });
}

void SimplexIndex::missing() { panic_unwrap_none(); }

SimplexIndex build_simplex_index(const DirectedFlagComplex& complex) { return SimplexIndex(complex); }

}  // namespace tolva
