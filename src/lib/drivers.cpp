#include "lib/drivers.hpp"

#include <algorithm>
#include <utility>
#include <vector>

#include "complex/directed_flag_complex.hpp"
#include "complex/simplex_index.hpp"
#include "graph_io/flag_reader.hpp"
#include "lib/binding.hpp"
#include "lib/boundary.hpp"
#include "lib/convert.hpp"
#include "lib/result_memory.hpp"
#include "tolva/new/single_thread.hpp"
#include "tolva/original/single_thread.hpp"

namespace tolva::py {
namespace {

enum class Algorithm { Old, New };

struct Numbers {
  std::uint64_t q, i, j, max_dimension;
};

// q, i, j and max_dimension in this order; the first failure ends the call.
Numbers convert_numbers(const std::array<PyObject*, kParameterCount>& arguments) {
  Numbers numbers{};
  numbers.q = convert_argument("q", [&] { return to_unsigned(arguments[1]); });
  numbers.i = convert_argument("i", [&] { return to_unsigned(arguments[2]); });
  numbers.j = convert_argument("j", [&] { return to_unsigned(arguments[3]); });
  numbers.max_dimension = convert_argument("max_dimension", [&] { return to_unsigned(arguments[4]); });
  return numbers;
}

QNearGraph run_pipeline(Graph graph, Algorithm algorithm, const Numbers& numbers) {
  const DirectedFlagComplex complex = build_directed_flag_complex(graph, numbers.q, numbers.max_dimension);
  { const Graph released = std::move(graph); }  // the neighbour lists are not needed any more
  const SimplexIndex index = build_simplex_index(complex);
  if (algorithm == Algorithm::Old) {
    QNearGraph result = q_near_graph_old(numbers.q, numbers.i, numbers.j, complex, index);
    report_pair_count("src/tolva/original/single_thread:148", "q_near_graph.edges().len()", result.size());
    return result;
  }
  QNearGraph result = q_near_graph_new(numbers.q, numbers.i, numbers.j, complex, index);
  report_pair_count("src/tolva/new/single_thread:21", "q_graph.edges().len()", result.size());
  return result;
}

// Pauses the cyclic garbage collector while a result is built: millions of new lists would
// otherwise trigger collections that scan the growing result again and again (more than
// half the conversion time), and lists of ints cannot form cycles anyway.
class GarbageCollectorPause {
 public:
  GarbageCollectorPause() {
    gc_ = Ref::checked(PyImport_ImportModule("gc"));
    const Ref enabled = Ref::checked(PyObject_CallMethod(gc_.get(), "isenabled", nullptr));
    if (PyObject_IsTrue(enabled.get()) == 1) {
      Ref::checked(PyObject_CallMethod(gc_.get(), "disable", nullptr));
      paused_ = true;
    }
  }
  GarbageCollectorPause(const GarbageCollectorPause&) = delete;
  GarbageCollectorPause& operator=(const GarbageCollectorPause&) = delete;
  ~GarbageCollectorPause() {
    if (!paused_) return;
    // Keep an exception raised while the result was built.
    PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    Py_XDECREF(PyObject_CallMethod(gc_.get(), "enable", nullptr));
    PyErr_Restore(type, value, traceback);
  }

 private:
  Ref gc_;
  bool paused_ = false;
};

// int objects for positions, shared between pairs: ints are immutable, and a position recurs
// in many pairs. Where positions are dense among the pairs, every position's int is made
// once and kept in a table of largest + 1 slots. Otherwise such a table would outweigh the
// ints it saves, and a small direct-mapped cache of recent positions shares what recurs
// nearby: the pairs of one simplex come together, and a face's neighbours share it (on large
// sparse results most targets recur within a few thousand pairs).
class PositionInts {
 public:
  PositionInts(std::uint64_t pair_count, std::uint64_t largest) {
    if (positions_shared(pair_count, largest)) {
      table_ = FlatBuffer<PyObject*>::zeros(largest + 1, PageSize::Small);
    } else {
      recent_ = FlatBuffer<Recent>::zeros(kRecentSlots, PageSize::Small);
    }
  }
  PositionInts(const PositionInts&) = delete;
  PositionInts& operator=(const PositionInts&) = delete;
  ~PositionInts() {
    for (PyObject* value : table_) Py_XDECREF(value);
    for (const Recent& entry : recent_) Py_XDECREF(entry.value);
  }

  // The conversion reads the table at random: the slot of a position wanted soon, and then
  // the int in it, are fetched ahead so that the reads overlap instead of waiting in turn.
  // Always inlined: out of line, a function that only prefetches looks free of effects to the
  // compiler, and its calls are dropped.
  [[gnu::always_inline]] void prefetch_slot(std::uint64_t position) const noexcept {
    if (position < table_.size()) __builtin_prefetch(&table_[position]);
  }
  [[gnu::always_inline]] void prefetch_int(std::uint64_t position) const noexcept {
    __builtin_prefetch(position < table_.size() ? table_[position] : nullptr);
  }

  // A new reference to int(position).
  PyObject* get(std::uint64_t position) {
    PyObject* value = position < table_.size() ? from_table(position) : from_recent(position);
    Py_INCREF(value);
    return value;
  }

 private:
  static constexpr std::size_t kRecentSlots = 4096;  // 64 KiB, within the second-level cache
  struct Recent {
    std::uint64_t position;
    PyObject* value;  // the cache's own reference; null until made
  };

  PyObject* from_table(std::uint64_t position) {
    PyObject*& cached = table_[position];
    if (cached == nullptr) cached = make(position);
    return cached;
  }

  PyObject* from_recent(std::uint64_t position) {
    Recent& entry = recent_[position % kRecentSlots];
    if (entry.value == nullptr || entry.position != position) {
      PyObject* made = make(position);
      Py_XDECREF(entry.value);  // the pairs holding the evicted int keep it alive
      entry = Recent{position, made};
    }
    return entry.value;
  }

  static PyObject* make(std::uint64_t position) {
    return Ref::checked(PyLong_FromUnsignedLongLong(position)).release();
  }

  FlatBuffer<PyObject*> table_;  // dense positions: null until made
  FlatBuffer<Recent> recent_;    // sparse positions
};

// A new list of new [s, t] lists in the graph's insertion order. The graph is emptied first:
// only the pairs are needed from here on.
PyObject* to_python_list(QNearGraph& graph) {
  const FlatBuffer<std::uint64_t> pairs = graph.take_packed_pairs();
  const std::uint64_t largest = largest_position(pairs);
  ensure_result_fits(pairs, largest);
  const GarbageCollectorPause pause;
  PositionInts ints(pairs.size(), largest);
  Ref list = Ref::checked(PyList_New(static_cast<Py_ssize_t>(pairs.size())));
  constexpr std::uint64_t kAhead = 8;
  for (std::uint64_t at = 0; at < pairs.size(); ++at) {
    if (at + 2 * kAhead < pairs.size()) {
      ints.prefetch_slot(QNearGraph::packed_source(pairs[at + 2 * kAhead]));
      ints.prefetch_slot(QNearGraph::packed_target(pairs[at + 2 * kAhead]));
    }
    if (at + kAhead < pairs.size()) {
      ints.prefetch_int(QNearGraph::packed_source(pairs[at + kAhead]));
      ints.prefetch_int(QNearGraph::packed_target(pairs[at + kAhead]));
    }
    Ref pair = Ref::checked(PyList_New(2));
    if (PyList_SetItem(pair.get(), 0, ints.get(QNearGraph::packed_source(pairs[at]))) != 0) throw_python_error();
    if (PyList_SetItem(pair.get(), 1, ints.get(QNearGraph::packed_target(pairs[at]))) != 0) throw_python_error();
    if (PyList_SetItem(list.get(), static_cast<Py_ssize_t>(at), pair.release()) != 0) throw_python_error();
  }
  return list.release();
}

PyObject* run_matrix_function(const FunctionDescription& function, Algorithm algorithm, PyObject* positional,
                              PyObject* keywords) {
  return boundary([&]() -> PyObject* {
    const auto arguments = bind_arguments(function, positional, keywords);
    const MatrixView converted = convert_argument("a", [&] { return to_matrix(arguments[0]); });
    const Numbers numbers = convert_numbers(arguments);
    // The numbers' __index__ may have resized, reshaped or retyped `a`, freeing the memory
    // seen above: its layout is taken and checked again with nothing run in between.
    const MatrixView matrix = convert_argument("a", [&] { return to_matrix(converted.array.get()); });
    const PairResultCostScope result_cost(result_bytes_per_pair());
    QNearGraph result = run_pipeline(graph_from_matrix(matrix), algorithm, numbers);
    return to_python_list(result);
  });
}

PyObject* run_file_function(const FunctionDescription& function, Algorithm algorithm, PyObject* positional,
                            PyObject* keywords) {
  return boundary([&]() -> PyObject* {
    const auto arguments = bind_arguments(function, positional, keywords);
    const std::string path = convert_argument("input_file", [&] { return to_path(arguments[0]); });
    const Numbers numbers = convert_numbers(arguments);
    const PairResultCostScope result_cost(result_bytes_per_pair());
    QNearGraph result = run_pipeline(read_flag_file(path), algorithm, numbers);
    return to_python_list(result);
  });
}

constexpr std::array<const char*, kParameterCount> kMatrixParameters{"a", "q", "i", "j", "max_dimension"};
constexpr std::array<const char*, kParameterCount> kFileParameters{"input_file", "q", "i", "j", "max_dimension"};

}  // namespace

PyObject* compute_q_near_graph_old(PyObject*, PyObject* positional, PyObject* keywords) {
  static constexpr FunctionDescription function{"compute_q_near_graph_old", kMatrixParameters};
  return run_matrix_function(function, Algorithm::Old, positional, keywords);
}

PyObject* compute_q_near_graph_new(PyObject*, PyObject* positional, PyObject* keywords) {
  static constexpr FunctionDescription function{"compute_q_near_graph_new", kMatrixParameters};
  return run_matrix_function(function, Algorithm::New, positional, keywords);
}

PyObject* compute_q_near_graph_old_from_file(PyObject*, PyObject* positional, PyObject* keywords) {
  static constexpr FunctionDescription function{"compute_q_near_graph_old_from_file", kFileParameters};
  return run_file_function(function, Algorithm::Old, positional, keywords);
}

PyObject* compute_q_near_graph_new_from_file(PyObject*, PyObject* positional, PyObject* keywords) {
  static constexpr FunctionDescription function{"compute_q_near_graph_new_from_file", kFileParameters};
  return run_file_function(function, Algorithm::New, positional, keywords);
}

}  // namespace tolva::py
