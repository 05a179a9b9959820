#include "complex/simplex_index.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "tolva/panic.hpp"

namespace tolva {
namespace {

// Slots store place + 1 in 32 bits; positions of the whole complex must fit the same width,
// since the q-near graph packs two of them into one 64-bit key.
constexpr std::uint64_t kMaxSimplices = std::numeric_limits<std::uint32_t>::max() - 1;

}  // namespace

SimplexIndex::SimplexIndex(const DirectedFlagComplex& complex) : q_(complex.q) {
  tables_.reserve(complex.lists.size());
  for (const SimplexList& list : complex.lists) {
    const std::uint64_t count = list.size();
    if (count > kMaxSimplices || size_ + count > kMaxSimplices) panic_capacity_overflow();
    const std::uint64_t capacity = std::bit_ceil(std::max<std::uint64_t>(2 * count, 2));
    Table table{&list, size_, capacity - 1, std::vector<std::uint32_t>(capacity, 0)};
    const std::uint64_t stride = list.vertices_per_simplex();
    for (std::uint64_t place = 0; place < count; ++place) {
      std::uint64_t slot = hash_vertices(list[place], stride) & table.mask;
      while (table.slots[slot] != 0) slot = (slot + 1) & table.mask;
      table.slots[slot] = static_cast<std::uint32_t>(place + 1);
    }
    size_ += count;
    tables_.push_back(std::move(table));
  }
}

std::optional<std::uint64_t> SimplexIndex::find(const Vertex* vertices, std::uint64_t count) const noexcept {
  if (count <= q_ || count - 1 - q_ >= tables_.size()) return std::nullopt;
  const Table& table = tables_[count - 1 - q_];
  const std::size_t bytes = count * sizeof(Vertex);
  for (std::uint64_t slot = hash_vertices(vertices, count) & table.mask;; slot = (slot + 1) & table.mask) {
    const std::uint32_t entry = table.slots[slot];
    if (entry == 0) return std::nullopt;
    if (std::memcmp((*table.list)[entry - 1], vertices, bytes) == 0) return table.first_position + entry - 1;
  }
}

std::optional<std::uint64_t> SimplexIndex::find(std::span<const std::uint64_t> vertices) const {
  std::vector<Vertex> narrow;
  narrow.reserve(vertices.size());
  for (const std::uint64_t v : vertices) {
    if (v > std::numeric_limits<Vertex>::max()) return std::nullopt;
    narrow.push_back(static_cast<Vertex>(v));
  }
  return find(narrow.data(), narrow.size());
}

void SimplexIndex::missing() { panic_unwrap_none(); }

SimplexIndex build_simplex_index(const DirectedFlagComplex& complex) { return SimplexIndex(complex); }

}  // namespace tolva
