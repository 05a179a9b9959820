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
// Tag bits that a slot of fewer than 4 bytes keeps beside the place. With two slots per simplex,
// a probe passes over half a slot of another simplex on average and reads its vertices for one
// in 2^kTagBits of those: each is a cache miss, and with 2 bits the face walk on a column
// graph took about 1.2 times as long as with 8.
constexpr unsigned kTagBits = 8;

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
    if (table.region_start.size() == 0) continue;
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
    Table& table = tables_.emplace_back();
    table.list = &list;
    table.first_position = size_;
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
  for (Table& table : tables_) {
    if (table.region_start.size() != 0) allocate_slots(table);
  }
}

void SimplexIndex::allocate_slots(Table& table) {
  std::uint64_t largest = 0;
  for (std::uint64_t region = 0; region < table.region_count(); ++region) {
    largest = std::max<std::uint64_t>(largest, table.region_start[region + 1] - table.region_start[region]);
  }
  const auto place_bits = static_cast<unsigned>(std::bit_width(largest));  // places + 1 run up to largest
  table.place_mask = place_bits >= 32 ? ~std::uint32_t{0} : (std::uint32_t{1} << place_bits) - 1;
  table.slot_bytes = std::clamp((place_bits + kTagBits + 7) / 8, 2u, 4u);
  table.slot_mask = static_cast<std::uint32_t>((std::uint64_t{1} << (8 * table.slot_bytes)) - 1);
  table.tag_mask = ~table.place_mask & table.slot_mask;
  table.slot_count = 2 * table.list->size();
  table.slots = FlatBuffer<std::byte>::zeros(table.slot_bytes * table.slot_count + 3);  // lookups read 4 bytes
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
    table->with_slots([&](auto slots) { fill_piece<V>(*table, slots, first, last); });
    advance_stage(last - first);
  });
}

template <class V, class Slots>
void SimplexIndex::fill_piece(const Table& table, Slots slots, std::uint64_t first, std::uint64_t last) {
  // With the simplex's length known to the compiler, its hash is a few multiplications by
  // constants; lists of longer simplices are few and small.
  const std::uint64_t stride = table.list->vertices_per_simplex();
  const auto fill = [&]<std::uint64_t Stride>() { fill_batches<V, Stride>(table, slots, first, last); };
  switch (stride) {
    case 1: return fill.template operator()<1>();
    case 2: return fill.template operator()<2>();
    case 3: return fill.template operator()<3>();
    case 4: return fill.template operator()<4>();
    case 5: return fill.template operator()<5>();
    case 6: return fill.template operator()<6>();
    default: return fill.template operator()<0>();
  }
}

template <class V, std::uint64_t Stride, class Slots>
void SimplexIndex::fill_batches(const Table& table, Slots slots, std::uint64_t first, std::uint64_t last) {
  const SimplexList& list = *table.list;
  const std::uint64_t stride = Stride != 0 ? Stride : list.vertices_per_simplex();
  // Home slots are computed and prefetched a batch at a time, then filled: a region may still
  // be larger than the cache.
  constexpr std::uint64_t kBatch = 32;
  struct Home {
    std::uint64_t slot;
    Table::Slots region;
    std::uint32_t entry;
  };
  Home homes[kBatch];
  const V* simplex = nullptr;
  std::uint64_t run_end = first;  // simplices lie one after another up to here
  for (std::uint64_t place = first; place < last;) {
    const std::uint64_t batch = std::min(kBatch, last - place);
    for (std::uint64_t k = 0; k < batch; ++k, simplex += stride) {
      if (place + k == run_end) {
        simplex = list.template at<V>(place + k);
        run_end = list.run_end(place + k);
      }
      const Table::Slots region = table.region_of(simplex[0]);
      const std::uint64_t hash = hash_vertices(simplex, stride);
      const std::uint64_t slot = Table::home_slot(hash, region);
      __builtin_prefetch(slots.address(slot), 1);
      homes[k] = {slot, region, table.entry_for(place + k - region.first_place(), static_cast<std::uint32_t>(hash))};
    }
    for (std::uint64_t k = 0; k < batch; ++k) {
      const Home& home = homes[k];
      std::uint64_t slot = home.slot;
      while (!slots.is_empty(slot)) slot = slot + 1 == home.region.last ? home.region.first : slot + 1;
      slots.store(slot, home.entry);
    }
    place += batch;
  }
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
