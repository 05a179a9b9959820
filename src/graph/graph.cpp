#include "graph/graph.hpp"

#include <algorithm>
#include <cstring>
#include <new>
#include <string>

#include "base/panic.hpp"
#include "base/task.hpp"

namespace tolva {
namespace {

constexpr std::uint64_t kMaxVertices = std::uint64_t{1} << 32;
constexpr std::uint64_t kTargetMask = 0xFFFFFFFFULL;

void check_matrix_size(std::uint64_t vertex_count, std::uint64_t words_per_row) {
  std::uint64_t words = 0;
  if (__builtin_mul_overflow(vertex_count, words_per_row, &words)) {
    panic("size of adjacency matrix overflows");
  }
}

[[noreturn]] void panic_out_of_bounds(const char* role, std::uint64_t vertex, std::uint64_t vertex_count) {
  panic(std::string(role) + " out of bounds: " + std::to_string(vertex) + " >= " + std::to_string(vertex_count));
}

// Exclusive prefix sums of counts[0..size) in place; returns the total.
std::uint64_t prefix_sums(std::uint64_t* counts, std::uint64_t size) {
  std::uint64_t total = 0;
  for (std::uint64_t at = 0; at < size; ++at) {
    const std::uint64_t count = counts[at];
    counts[at] = total;
    total += count;
  }
  return total;
}

}  // namespace

Graph::Graph(std::uint64_t vertex_count)
    : vertex_count_(vertex_count),
      // (n + 63) >> 6 without wrapping for n near 2^64.
      words_per_row_((vertex_count >> 6) + ((vertex_count & 63) != 0)) {
  check_matrix_size(vertex_count_, words_per_row_);
  if (vertex_count_ > kMaxVertices) throw std::bad_alloc();
  offsets_ = FlatBuffer<std::uint64_t>::zeros(vertex_count_ + 1, PageSize::Small);
}

bool Graph::has_edge(std::uint64_t from, std::uint64_t to) const {
  if (from >= vertex_count_) panic_out_of_bounds("from", from, vertex_count_);
  if (to >= vertex_count_) panic_out_of_bounds("to", to, vertex_count_);
  return slot_of(from, to) != offsets_[from + 1];
}

void Graph::add_edge(std::uint64_t from, std::uint64_t to) {
  if (from == to) return;
  // The bound checks of has_edge(to, from), which is what catches a bad endpoint.
  if (to >= vertex_count_) panic_out_of_bounds("from", to, vertex_count_);
  if (from >= vertex_count_) panic_out_of_bounds("to", from, vertex_count_);
  // Arrival numbers are 32-bit in the build; 2^32 arrivals would need 32 GiB anyway.
  if (arrivals_.size() >= kMaxVertices) throw std::bad_alloc();
  const std::uint64_t key = key_of(from, to);
  if (!arrivals_.empty() && key <= arrivals_[arrivals_.size() - 1]) arrivals_ascending_ = false;
  arrivals_.push_back(key);
}

std::uint64_t Graph::slot_of(std::uint64_t from, std::uint64_t to) const {
  const std::span<const Vertex> list = out_neighbours(from);
  const Vertex* const end = list.data() + list.size();
  const Vertex* const found = std::lower_bound(list.data(), end, to);
  return found != end && *found == to ? static_cast<std::uint64_t>(found - targets_.data()) : offsets_[from + 1];
}

void Graph::rebuild() const {
  if (arrivals_ascending_) {
    build_from_ascending_arrivals();
  } else {
    build_from_any_arrivals();
  }
  built_arrivals_ = arrivals_.size();
}

// Arrivals already in (from, to) order without repeats (a matrix scan): the lists are the
// arrivals' targets as they stand.
void Graph::build_from_ascending_arrivals() const {
  std::memset(offsets_.data(), 0, offsets_.size() * sizeof(std::uint64_t));
  for (const std::uint64_t key : arrivals_) ++offsets_[key >> 32];
  prefix_sums(offsets_.data(), offsets_.size());
  targets_ = FlatBuffer<Vertex>();
  Vertex* targets = targets_.extend(arrivals_.size());
  for (std::uint64_t at = 0; at < arrivals_.size(); ++at) targets[at] = static_cast<Vertex>(arrivals_[at] & kTargetMask);
}

// One counting sort by source, then each list sorted on its own by (target, arrival): the
// repeats of an edge end up next to each other, its first insertion first. Lists are short,
// so sorting them one by one costs less than a second pass over all edges. Repeats are then
// dropped from the lists and from the arrivals.
void Graph::build_from_any_arrivals() const {
  const std::uint64_t count = arrivals_.size();
  const std::uint64_t n = vertex_count_;
  std::memset(offsets_.data(), 0, offsets_.size() * sizeof(std::uint64_t));
  for (const std::uint64_t key : arrivals_) ++offsets_[key >> 32];
  prefix_sums(offsets_.data(), n + 1);
  FlatBuffer<std::uint64_t> by_source;  // (target << 32 | arrival number), list by list
  std::uint64_t* slots = by_source.extend(count);
  for (std::uint64_t at = 0; at < count; ++at) slots[offsets_[arrivals_[at] >> 32]++] = (arrivals_[at] << 32) | at;
  // offsets_[v] now holds the end of list v: shift back to starts while dropping repeats.
  FlatBuffer<std::uint64_t> repeated = FlatBuffer<std::uint64_t>::zeros((count + 63) / 64, PageSize::Small);
  targets_ = FlatBuffer<Vertex>();
  Vertex* targets = targets_.extend(count);
  std::uint64_t written = 0, read = 0;
  for (std::uint64_t v = 0; v < n; ++v) {
    throw_if_cancelled();  // the sorts are the one long part of building a large graph
    const std::uint64_t end = offsets_[v];
    offsets_[v] = written;
    std::sort(slots + read, slots + end);
    std::uint64_t previous = ~std::uint64_t{0};
    for (; read < end; ++read) {
      const std::uint64_t target = slots[read] >> 32, at = slots[read] & kTargetMask;
      if (target == previous) {
        repeated[at >> 6] |= std::uint64_t{1} << (at & 63);
        continue;
      }
      previous = target;
      targets[written++] = static_cast<Vertex>(target);
    }
  }
  offsets_[n] = written;
  by_source = FlatBuffer<std::uint64_t>();
  if (written == count) return;
  // Keep the first insertions only, in arrival order.
  std::uint64_t kept = 0;
  for (std::uint64_t at = 0; at < count; ++at) {
    if ((repeated[at >> 6] >> (at & 63) & 1) == 0) arrivals_[kept++] = arrivals_[at];
  }
  FlatBuffer<std::uint64_t> distinct;
  distinct.append(arrivals_.data(), kept);
  arrivals_ = std::move(distinct);
  FlatBuffer<Vertex> compact;
  compact.append(targets, written);
  targets_ = std::move(compact);
}

std::vector<VertexPair> Graph::edges() const {
  build_pending();
  std::vector<VertexPair> listed;
  listed.reserve(arrivals_.size());
  for (const std::uint64_t key : arrivals_) listed.push_back({key >> 32, key & kTargetMask});
  return listed;
}

std::vector<VertexPair> Graph::reciprocal_pairs() const {
  build_pending();
  // The arrival rank of every edge, by its place in the lists.
  FlatBuffer<std::uint64_t> rank_at_slot = FlatBuffer<std::uint64_t>::zeros(targets_.size(), PageSize::Small);
  for (std::uint64_t rank = 0; rank < arrivals_.size(); ++rank) {
    rank_at_slot[slot_of(arrivals_[rank] >> 32, arrivals_[rank] & kTargetMask)] = rank;
  }
  std::vector<VertexPair> pairs;
  for (std::uint64_t rank = 0; rank < arrivals_.size(); ++rank) {
    const std::uint64_t from = arrivals_[rank] >> 32, to = arrivals_[rank] & kTargetMask;
    const std::uint64_t reverse = slot_of(to, from);
    if (reverse != offsets_[to + 1] && rank_at_slot[reverse] < rank) pairs.push_back({std::max(from, to), std::min(from, to)});
  }
  return pairs;
}

}  // namespace tolva
