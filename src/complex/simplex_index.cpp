#include "complex/simplex_index.hpp"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstring>
#include <limits>

#include "base/panic.hpp"
#include "base/position.hpp"
#include "parallel/worker_pool.hpp"

namespace tolva {
SimplexIndex::SimplexIndex(const DirectedFlagComplex& complex) : q_(complex.q) {
  tables_.reserve(complex.lists.size());
  for (std::size_t k = 0; k < complex.lists.size(); ++k) {
    const SimplexList& list = complex.lists[k];
    const std::uint64_t count = list.size();
    if (count > kMaxPosition || size_ + count > kMaxPosition) panic_capacity_overflow();
    // No simplex of the top list is a face of another: it is searched, not hashed.
    const bool hashed = k + 1 < complex.lists.size();
    const std::uint64_t capacity = hashed ? std::bit_ceil(std::max<std::uint64_t>(2 * count, 2)) : 0;
    tables_.push_back(Table{&list, size_, capacity == 0 ? 0 : capacity - 1,
                            FlatBuffer<std::uint32_t>::zeros(capacity)});
    size_ += count;
  }
  with_vertex_type(complex.vertex_width, [&]<class V>(V) { fill_tables<V>(); });
}

template <class V>
void SimplexIndex::fill_tables() {
  // Pieces of at most kPiece simplices of every hashed list, inserted in parallel: a slot is
  // claimed by compare-and-swap, and lookups do not depend on which piece claimed which slot.
  constexpr std::uint64_t kPiece = std::uint64_t{1} << 15;
  struct Piece {
    Table* table;
    std::uint64_t first, last;
  };
  std::vector<Piece> pieces;
  for (Table& table : tables_) {
    if (table.slots.size() == 0) continue;
    for (std::uint64_t first = 0; first < table.list->size(); first += kPiece) {
      pieces.push_back({&table, first, std::min(first + kPiece, table.list->size())});
    }
  }
  const auto insert_piece = [&](std::size_t at) {
    const Piece& piece = pieces[at];
    const Table& table = *piece.table;
    const std::uint64_t stride = table.list->vertices_per_simplex();
    // Home slots are computed kAhead simplices early and prefetched: each is a cache miss.
    constexpr std::uint64_t kAhead = 8;
    std::uint64_t home[kAhead];
    const auto home_of = [&](std::uint64_t place) {
      const std::uint64_t slot = hash_vertices(table.list->template at<V>(place), stride) & table.mask;
      __builtin_prefetch(&table.slots[slot], 1);
      return slot;
    };
    for (std::uint64_t place = piece.first; place < std::min(piece.last, piece.first + kAhead); ++place) {
      home[place % kAhead] = home_of(place);
    }
    for (std::uint64_t place = piece.first; place < piece.last; ++place) {
      const std::uint64_t first_slot = home[place % kAhead];
      if (place + kAhead < piece.last) home[place % kAhead] = home_of(place + kAhead);
      for (std::uint64_t slot = first_slot;; slot = (slot + 1) & table.mask) {
        std::atomic_ref<std::uint32_t> entry(piece.table->slots[slot]);
        std::uint32_t empty = 0;
        if (entry.load(std::memory_order_relaxed) == 0 &&
            entry.compare_exchange_strong(empty, static_cast<std::uint32_t>(place + 1), std::memory_order_relaxed)) {
          break;
        }
      }
    }
  };
  if (pieces.size() < 2) {
    for (std::size_t at = 0; at < pieces.size(); ++at) insert_piece(at);
  } else {
    parallel::WorkerPool::global().run_blocks(pieces.size(), insert_piece);
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
