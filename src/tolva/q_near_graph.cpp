#include "tolva/q_near_graph.hpp"

#include <unistd.h>

#include <bit>
#include <cerrno>
#include <cstring>
#include <string>

#include "base/panic.hpp"

namespace tolva {
namespace {

constexpr unsigned kInitialBits = 4;

}  // namespace

QNearGraph::QNearGraph()
    : slots_(FlatBuffer<std::uint64_t>::zeros(std::uint64_t{1} << kInitialBits)), shift_(64 - kInitialBits) {}

std::uint64_t QNearGraph::key_of(std::uint64_t source, std::uint64_t target) {
  if (source > kMaxPosition || target > kMaxPosition) panic_capacity_overflow();
  return pack_pair(source, target);
}

void QNearGraph::reserve(std::uint64_t count) {
  keys_.reserve(count);
  if (2 * count > slots_.size()) rehash(std::bit_ceil(2 * count));
}

void QNearGraph::rehash(std::uint64_t slot_count) {
  slots_ = FlatBuffer<std::uint64_t>::zeros(slot_count);
  shift_ = 64 - static_cast<unsigned>(std::countr_zero(slot_count));
  const std::uint64_t mask = slot_count - 1;
  constexpr std::uint64_t kAhead = 16;  // nearly every slot written is a cache miss
  for (std::uint64_t at = 0; at < keys_.size(); ++at) {
    if (at + kAhead < keys_.size()) __builtin_prefetch(&slots_[slot_of(keys_[at + kAhead])], 1);
    const std::uint64_t key = keys_[at];
    std::uint64_t slot = slot_of(key);
    while (slots_[slot] != 0) slot = (slot + 1) & mask;
    slots_[slot] = key + 1;
  }
}

FlatBuffer<std::uint64_t> QNearGraph::take_packed_pairs() {
  FlatBuffer<std::uint64_t> pairs = std::move(keys_);
  *this = QNearGraph();
  return pairs;
}

std::vector<std::array<std::uint64_t, 2>> QNearGraph::edges() const {
  std::vector<std::array<std::uint64_t, 2>> pairs;
  pairs.reserve(keys_.size());
  for (std::uint64_t at = 0; at < keys_.size(); ++at) pairs.push_back({source(at), target(at)});
  return pairs;
}

void report_pair_count(std::string_view where, std::string_view expression, std::uint64_t count) {
  std::string line;
  for (const std::string_view piece : {std::string_view("["), where, std::string_view("] "), expression,
                                       std::string_view(" = ")}) {
    line.append(piece);
  }
  line.append(std::to_string(count)).push_back('\n');
  std::size_t written = 0;
  while (written < line.size()) {
    const ssize_t result = ::write(STDERR_FILENO, line.data() + written, line.size() - written);
    if (result >= 0) {
      written += static_cast<std::size_t>(result);
    } else if (errno != EINTR) {
      const int error = errno;
      panic("failed printing to stderr: " + std::string(std::strerror(error)) + " (os error " +
            std::to_string(error) + ")");
    }
  }
}

}  // namespace tolva
