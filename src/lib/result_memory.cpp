#include "lib/result_memory.hpp"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "base/position.hpp"
#include "lib/python.hpp"

namespace tolva::py {
namespace {

std::size_t size_of(PyObject* object) {
  PyObject* getsizeof = PySys_GetObject("getsizeof");  // borrowed
  if (getsizeof == nullptr) raise(PyExc_RuntimeError, "sys.getsizeof is missing");
  const Ref size = Ref::checked(PyObject_CallFunctionObjArgs(getsizeof, object, nullptr));
  const Py_ssize_t bytes = PyLong_AsSsize_t(size.get());
  if (bytes < 0) throw_python_error();
  return static_cast<std::size_t>(bytes);
}

// What a request of `bytes` takes from the object allocator: pymalloc serves small requests
// from 16-byte size classes, the C allocator adds an 8-byte header and has 32-byte chunks at
// least, and the debugging hooks add 24 bytes of guards to every request.
std::size_t allocated(std::size_t bytes) {
  const char* chosen = std::getenv("PYTHONMALLOC");
  const std::string_view allocator = chosen == nullptr ? "" : chosen;
  if (allocator.ends_with("debug")) bytes += 24;
  const auto round_up = [](std::size_t n) { return (n + 15) & ~std::size_t{15}; };
  if (allocator.starts_with("malloc")) return std::max<std::size_t>(32, round_up(bytes + 8));
  return round_up(bytes);
}

ResultObjectCosts measure_result_object_costs() {
  const Ref empty = Ref::checked(PyList_New(0));  // object and collector header, no item array
  const Ref pair = Ref::checked(PyList_New(2));   // made as the conversion makes each pair
  constexpr Py_ssize_t kSlots = 1024;
  const Ref slots = Ref::checked(PyList_New(kSlots));
  const Ref position = Ref::checked(PyLong_FromUnsignedLongLong(kMaxPosition));
  const std::size_t object = size_of(empty.get());
  const std::size_t slot = (size_of(slots.get()) - object) / kSlots;
  return ResultObjectCosts{allocated(object) + allocated(size_of(pair.get()) - object) + slot,
                           allocated(size_of(position.get()))};
}

std::size_t times(std::uint64_t count, std::size_t bytes) {
  std::size_t product;
  return __builtin_mul_overflow(count, bytes, &product) ? SIZE_MAX : product;
}

std::size_t plus(std::size_t a, std::size_t b) { return a > SIZE_MAX - b ? SIZE_MAX : a + b; }

}  // namespace

const ResultObjectCosts& result_object_costs() {
  static const ResultObjectCosts costs = measure_result_object_costs();  // under the interpreter lock
  return costs;
}

std::size_t result_bytes(const ResultObjectCosts& costs, std::uint64_t pair_count, std::uint64_t largest) {
  const std::size_t lists = times(pair_count, costs.per_pair);
  if (positions_shared(pair_count, largest)) {
    return plus(lists, times(largest + 1, costs.per_int + sizeof(PyObject*)));
  }
  return plus(lists, times(2 * pair_count, costs.per_int));
}

std::uint64_t largest_position(const FlatBuffer<std::uint64_t>& pairs) noexcept {
  std::uint64_t largest = 0;
  for (const std::uint64_t pair : pairs) largest = std::max({largest, packed_source(pair), packed_target(pair)});
  return largest;
}

std::uint64_t result_bytes_per_pair() {
  return result_object_costs().per_pair + sizeof(std::uint64_t);
}

void ensure_result_fits(const FlatBuffer<std::uint64_t>& pairs, std::uint64_t largest) {
  ensure_fits(result_bytes(result_object_costs(), pairs.size(), largest), pairs.size(), "pairs as Python lists");
}

}  // namespace tolva::py
