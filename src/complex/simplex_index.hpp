// Positions of the simplices of a complex: list 0 first, each list in its order. One flat
// open-addressing table per list, keyed by the simplex's vertices as stored in the complex
// (slots hold the simplex's place in its list, not a copy of it). The top list, whose
// simplices are faces of nothing, is binary-searched instead: its lists are sorted.
//
// A table is cut into regions by first vertex: the simplices whose first vertices fall in one
// range of roots hash into a region of their own, two slots per simplex. A list is sorted by
// first vertex, so filling the table walks it region by region and each region stays in cache
// while it is written, instead of every insertion missing in a table of gigabytes; a lookup
// pays one read of a small directory for it.
//
// A slot holds the simplex's place within its region + 1 in its low bits and, in the bits the
// largest region leaves free, a tag of the simplex's hash: a probe passes over slots of other
// simplices without reading their vertices, which lie in a random place of a list of up to
// gigabytes. A slot takes 2, 3 or 4 bytes, the fewest that leave a tag of 8 bits (4 bytes
// for regions of 2^16 simplices or more): the tables are the index's whole memory, and
// every byte of them is a fresh page to fault in.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstring>
#include <optional>
#include <span>
#include <vector>

#include "complex/directed_flag_complex.hpp"

namespace tolva {

// The hash of a sequence of vertices is a sum of one term per vertex, the vertex + 1 times
// the factor of its place, then mixed (mix_vertex_sum). A sum lets the face walk hash all
// faces one vertex short of a simplex from the simplex's partial sums, instead of each face
// vertex by vertex.
inline constexpr std::array<std::uint64_t, 64> kPlaceFactors = [] {
  std::array<std::uint64_t, 64> factors{};
  std::uint64_t state = 0x243F6A8885A308D3ULL;  // splitmix64 outputs, made odd
  for (std::uint64_t& factor : factors) {
    std::uint64_t z = (state += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    factor = (z ^ (z >> 31)) | 1;
  }
  return factors;
}();
constexpr std::uint64_t place_factor(std::uint64_t place) noexcept {
  return place < 64 ? kPlaceFactors[place] : std::rotl(kPlaceFactors[place % 64], static_cast<int>(place / 64));
}
template <class V>
constexpr std::uint64_t vertex_term(V vertex, std::uint64_t place) noexcept {
  return (std::uint64_t{vertex} + 1) * place_factor(place);
}
constexpr std::uint64_t mix_vertex_sum(std::uint64_t sum, std::uint64_t count) noexcept {
  std::uint64_t hash = sum + count * 0x9E3779B97F4A7C15ULL;
  hash = (hash ^ (hash >> 32)) * 0xBF58476D1CE4E5B9ULL;
  hash = (hash ^ (hash >> 31)) * 0x94D049BB133111EBULL;
  return hash ^ (hash >> 29);
}

template <class V>
std::uint64_t hash_vertices(const V* vertices, std::uint64_t count) noexcept {
  std::uint64_t sum = 0;
  for (std::uint64_t k = 0; k < count; ++k) sum += vertex_term(vertices[k], k);
  return mix_vertex_sum(sum, count);
}

// Whether two sequences of `count` vertices are equal. Inline: the sequences are a few
// vertices long, and a call to memcmp costs more than comparing them.
template <class V>
inline bool same_vertices(const V* a, const V* b, std::uint64_t count) noexcept {
  for (std::uint64_t k = 0; k < count; ++k) {
    if (a[k] != b[k]) return false;
  }
  return true;
}

// Slots of 2, 3 or 4 bytes in a byte array, as the table is filled: each slot is read and
// written in its own bytes only, which leaves the next slot, perhaps another thread's, alone.
template <unsigned Bytes>
struct PackedSlots {
  static_assert(Bytes >= 2 && Bytes <= 4);
  std::byte* bytes;

  bool is_empty(std::uint64_t slot) const noexcept {
    const std::byte* at = bytes + Bytes * slot;
    std::byte any{0};
    for (unsigned k = 0; k < Bytes; ++k) any |= at[k];
    return any == std::byte{0};
  }
  void store(std::uint64_t slot, std::uint32_t entry) const noexcept {
    std::byte* at = bytes + Bytes * slot;
    for (unsigned k = 0; k < Bytes; ++k) at[k] = static_cast<std::byte>(entry >> (8 * k));
  }
  const std::byte* address(std::uint64_t slot) const noexcept { return bytes + Bytes * slot; }
};

class SimplexIndex {
  __extension__ typedef unsigned __int128 Wide;

 public:
  // Refers to the complex's lists: the complex must outlive the index.
  explicit SimplexIndex(const DirectedFlagComplex& complex);
  explicit SimplexIndex(DirectedFlagComplex&&) = delete;

  // Position of the simplex with these vertices (of the complex's vertex type), or nothing
  // when it is not in the complex.
  template <class V>
  std::optional<std::uint64_t> find(const V* vertices, std::uint64_t count) const noexcept;
  // The same for any vertex numbers.
  std::optional<std::uint64_t> find(std::span<const std::uint64_t> vertices) const;

  // Like find, for a sequence that must be present.
  template <class V>
  std::uint64_t position_of(const V* vertices, std::uint64_t count) const {
    return end_lookup(home_of(vertices, count), vertices, count);
  }

  // position_of in three steps, for a caller that keeps many lookups in flight so that their
  // cache misses overlap: begin_lookup finds the home slot and fetches it ahead,
  // fetch_candidate (once that slot has arrived) fetches the simplex it names, and
  // end_lookup completes the lookup.
  struct Probe {
    std::uint64_t slot;
    std::uint32_t table;        // kNoTable: no table holds sequences of this length
    std::uint32_t tag;          // the sequence's hash, of which a slot keeps the bits above its place
    std::uint32_t first_place;  // of the region probed (slots hold places relative to it),
    std::uint32_t places;       // and its size: its slots are 2 * first_place .. 2 * (first_place + places)
  };
  static constexpr std::uint32_t kNoTable = UINT32_MAX;
  template <class V>
  Probe begin_lookup(const V* vertices, std::uint64_t count) const noexcept {
    return begin_lookup(vertices, count, hash_vertices(vertices, count));
  }
  // The same for a caller that has the sequence's hash_vertices already.
  template <class V>
  Probe begin_lookup(const V* vertices, std::uint64_t count, std::uint64_t hash) const noexcept;
  // Always inlined: out of line, a function that only prefetches looks free of effects to the
  // compiler, and its calls are dropped.
  template <class V>
  [[gnu::always_inline]] void fetch_candidate(const Probe& probe) const noexcept;
  template <class V>
  std::uint64_t end_lookup(const Probe& probe, const V* vertices, std::uint64_t count) const;

  std::uint64_t size() const noexcept { return size_; }
  // Bytes per slot of list k's table: 2, 3 or 4; 0 for a list that is searched.
  unsigned slot_bytes(std::size_t k) const noexcept { return tables_[k].slot_bytes; }
  // Position of the first simplex of list k.
  std::uint64_t first_position(std::size_t k) const noexcept { return tables_[k].first_position; }

 private:
  [[noreturn]] static void missing();

  static constexpr std::uint64_t kNoSlot = UINT64_MAX;  // a probe into a region without slots
  static constexpr std::uint64_t kSlotsFetched = 4;  // slots fetch_candidate looks at

  struct Table {
    const SimplexList* list;
    std::uint64_t first_position;
    unsigned root_shift = 0;  // region of a simplex: its first vertex >> root_shift
    // Region r holds the places region_start[r] .. region_start[r + 1] - 1 of the list and
    // owns the slots from 2 * region_start[r] to 2 * region_start[r + 1]; one entry more
    // than there are regions.
    FlatBuffer<std::uint32_t> region_start;
    // Place in the region + 1 and tag, 0 when empty, slot_bytes each, least significant byte
    // first, and 3 bytes more; none for a list that is searched.
    FlatBuffer<std::byte> slots;
    unsigned slot_bytes = 0;
    std::uint32_t slot_mask = 0;  // the bits of 4 bytes read from a slot that are the slot's
    std::uint64_t slot_count = 0;
    std::uint32_t place_mask = 0;  // the bits of a slot that hold the place + 1
    std::uint32_t tag_mask = 0;    // the bits above them, within the slot

    bool hashed() const noexcept { return slot_count != 0; }
    // Calls body(PackedSlots<slot_bytes>) over the table's slots.
    template <class Body>
    [[gnu::always_inline]] decltype(auto) with_slots(Body&& body) const {
      std::byte* bytes = const_cast<std::byte*>(slots.data());
      if (slot_bytes == 2) return body(PackedSlots<2>{bytes});
      if (slot_bytes == 3) return body(PackedSlots<3>{bytes});
      return body(PackedSlots<4>{bytes});
    }
    // A slot of the filled table, whatever its width, without a branch: lookups alternate
    // between tables of different widths, faces of one size after another.
    std::uint32_t load_slot(std::uint64_t slot) const noexcept {
      const std::byte* at = slot_address(slot);
      std::uint32_t word;
      if constexpr (std::endian::native == std::endian::little) {
        std::memcpy(&word, at, 4);
      } else {
        word = 0;
        for (unsigned k = 0; k < 4; ++k) word |= std::to_integer<std::uint32_t>(at[k]) << (8 * k);
      }
      return word & slot_mask;
    }
    const std::byte* slot_address(std::uint64_t slot) const noexcept { return slots.data() + slot_bytes * slot; }

    std::uint32_t entry_for(std::uint64_t place_in_region, std::uint32_t tag) const noexcept {
      return (tag & tag_mask) | static_cast<std::uint32_t>(place_in_region + 1);
    }
    // Whether a filled slot may hold the sequence with this tag (only then are vertices read).
    bool may_hold(std::uint32_t entry, std::uint32_t tag) const noexcept { return ((entry ^ tag) & tag_mask) == 0; }
    std::uint64_t place_in(std::uint32_t entry, std::uint32_t first_place) const noexcept {
      return std::uint64_t{first_place} + (entry & place_mask) - 1;
    }

    std::uint64_t region_count() const noexcept { return region_start.size() - 1; }
    // The slots [first, last) of the region of a simplex starting with `root`; empty when no
    // simplex of the list starts in that region.
    struct Slots {
      std::uint64_t first, last;
      std::uint32_t first_place() const noexcept { return static_cast<std::uint32_t>(first / 2); }
    };
    Slots region_of(std::uint64_t root) const noexcept {
      const std::uint64_t region = root >> root_shift;
      if (region >= region_count()) return {0, 0};
      return {2 * std::uint64_t{region_start[region]}, 2 * std::uint64_t{region_start[region + 1]}};
    }
    // Where a key's probing starts in its region: the hash scaled to the region's size.
    static std::uint64_t home_slot(std::uint64_t hash, Slots region) noexcept {
      return region.first +
             static_cast<std::uint64_t>((static_cast<Wide>(hash) * (region.last - region.first)) >> 64);
    }
  };
  // Region sizes and slot tables for every hashed list, then the insertions.
  template <class V>
  void map_regions();
  static void allocate_slots(Table& table);
  template <class V>
  void fill_tables();
  template <class V, class Slots>
  static void fill_piece(const Table& table, Slots slots, std::uint64_t first, std::uint64_t last);
  template <class V, std::uint64_t Stride, class Slots>
  static void fill_batches(const Table& table, Slots slots, std::uint64_t first, std::uint64_t last);
  // The table for sequences of `count` vertices and the slot their probing starts at.
  template <class V>
  Probe home_of(const V* vertices, std::uint64_t count) const noexcept {
    return home_of(vertices, count, hash_vertices(vertices, count));
  }
  template <class V>
  Probe home_of(const V* vertices, std::uint64_t count, std::uint64_t hash) const noexcept;
  // Probes from there: the sequence's position, or kAbsent. (A plain number, not an optional:
  // an optional comes back through memory, and reading it whole waits for its parts.)
  static constexpr std::uint64_t kAbsent = UINT64_MAX;
  template <class V>
  [[gnu::always_inline]] std::uint64_t probe_from(const Probe& probe, const V* vertices, std::uint64_t count) const noexcept;
  template <class V>
  static std::uint64_t search(const Table& table, const V* vertices, std::uint64_t count) noexcept;

  std::uint64_t q_;
  std::uint64_t size_ = 0;
  std::vector<Table> tables_;
};

SimplexIndex build_simplex_index(const DirectedFlagComplex& complex);
SimplexIndex build_simplex_index(DirectedFlagComplex&&) = delete;

template <class V>
std::optional<std::uint64_t> SimplexIndex::find(const V* vertices, std::uint64_t count) const noexcept {
  const std::uint64_t position = probe_from(home_of(vertices, count), vertices, count);
  if (position == kAbsent) return std::nullopt;
  return position;
}

template <class V>
SimplexIndex::Probe SimplexIndex::home_of(const V* vertices, std::uint64_t count, std::uint64_t hash) const noexcept {
  if (count <= q_ || count - 1 - q_ >= tables_.size()) return Probe{0, kNoTable, 0, 0, 0};
  const auto k = static_cast<std::uint32_t>(count - 1 - q_);
  const Table& table = tables_[k];
  if (!table.hashed()) return Probe{0, k, 0, 0, 0};
  const Table::Slots region = table.region_of(vertices[0]);
  if (region.first == region.last) return Probe{kNoSlot, k, 0, 0, 0};
  return Probe{Table::home_slot(hash, region), k, static_cast<std::uint32_t>(hash), region.first_place(),
               static_cast<std::uint32_t>((region.last - region.first) / 2)};
}

template <class V>
inline std::uint64_t SimplexIndex::probe_from(const Probe& probe, const V* vertices, std::uint64_t count) const noexcept {
  if (probe.table == kNoTable) return kAbsent;
  const Table& table = tables_[probe.table];
  if (!table.hashed()) return search(table, vertices, count);
  if (probe.slot == kNoSlot) return kAbsent;
  const std::uint64_t first = 2 * std::uint64_t{probe.first_place}, last = first + 2 * std::uint64_t{probe.places};
  // A region has twice as many slots as simplices: the probing meets an empty one.
  for (std::uint64_t slot = probe.slot;; slot = slot + 1 == last ? first : slot + 1) {
    const std::uint32_t entry = table.load_slot(slot);
    if (entry == 0) return kAbsent;
    if (!table.may_hold(entry, probe.tag)) continue;
    const std::uint64_t place = table.place_in(entry, probe.first_place);
    if (same_vertices(table.list->template at<V>(place), vertices, count)) return table.first_position + place;
  }
}

template <class V>
SimplexIndex::Probe SimplexIndex::begin_lookup(const V* vertices, std::uint64_t count, std::uint64_t hash) const noexcept {
  const Probe probe = home_of(vertices, count, hash);
  // (For a list that is searched this prefetches nothing useful, and costs less than a test.)
  if (probe.table != kNoTable && probe.slot != kNoSlot) __builtin_prefetch(tables_[probe.table].slot_address(probe.slot));
  return probe;
}

template <class V>
inline void SimplexIndex::fetch_candidate(const Probe& probe) const noexcept {
  if (probe.table == kNoTable || probe.slot == kNoSlot || !tables_[probe.table].hashed()) return;
  const Table& table = tables_[probe.table];
  // The first slot from home that may hold the sequence, nearly always the one that does, among
  // the few that the probing will read, up to the region's end.
  const std::uint64_t region_end = 2 * (std::uint64_t{probe.first_place} + probe.places);
  const std::uint64_t last = std::min<std::uint64_t>(probe.slot + kSlotsFetched, region_end);
  for (std::uint64_t slot = probe.slot; slot < last; ++slot) {
    const std::uint32_t entry = table.load_slot(slot);
    if (entry == 0) return;
    if (table.may_hold(entry, probe.tag)) {
      __builtin_prefetch(table.list->template at<V>(table.place_in(entry, probe.first_place)));
      return;
    }
  }
}

template <class V>
std::uint64_t SimplexIndex::end_lookup(const Probe& probe, const V* vertices, std::uint64_t count) const {
  const std::uint64_t position = probe_from(probe, vertices, count);
  if (position == kAbsent) missing();
  return position;
}

// The lists are in lexicographic order of their vertex sequences.
template <class V>
std::uint64_t SimplexIndex::search(const Table& table, const V* vertices, std::uint64_t count) noexcept {
  std::uint64_t low = 0, high = table.list->size();
  while (low < high) {
    const std::uint64_t middle = low + (high - low) / 2;
    const V* probe = table.list->template at<V>(middle);
    if (std::lexicographical_compare(probe, probe + count, vertices, vertices + count)) {
      low = middle + 1;
    } else {
      high = middle;
    }
  }
  if (low < table.list->size() && std::equal(vertices, vertices + count, table.list->template at<V>(low))) {
    return table.first_position + low;
  }
  return kAbsent;
}

}  // namespace tolva
