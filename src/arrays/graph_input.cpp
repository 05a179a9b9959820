#include "arrays/graph_input.hpp"

#include <cstring>

#include "arrays/errors.hpp"
#include "arrays/numpy_c_api.hpp"
#include "base/task.hpp"
#include "graph_io/flag_reader.hpp"

namespace tolva::arrays {
namespace {

// Matrices are scanned in blocks of about this many entries, so that Ctrl-C and other
// threads get their turn between blocks.
constexpr std::uint64_t kEntriesPerBlock = std::uint64_t{1} << 24;
constexpr std::uint64_t kEdgesPerCheck = std::uint64_t{1} << 16;

// The PyArrayObject fields read here (stable across NumPy 1.x and 2.x).
struct ArrayLayout {
  PyObject ob_base;
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
};

const ArrayLayout& layout_of(const Ref& array) { return *reinterpret_cast<const ArrayLayout*>(array.get()); }

Ref numpy_call(const char* function, PyObject* argument, const char* dtype = nullptr) {
  const Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
  if (dtype == nullptr) return Ref::checked(PyObject_CallMethod(numpy.get(), function, "O", argument));
  const Ref type = Ref::checked(PyObject_GetAttrString(numpy.get(), dtype));
  return Ref::checked(PyObject_CallMethod(numpy.get(), function, "OO", argument, type.get()));
}

std::string dtype_kind(const Ref& array) {
  const Ref dtype = Ref::checked(PyObject_GetAttrString(array.get(), "dtype"));
  const Ref kind = Ref::checked(PyObject_GetAttrString(dtype.get(), "kind"));
  return utf8_of(kind.get());
}

std::string dtype_text(const Ref& array) {
  const Ref dtype = Ref::checked(PyObject_GetAttrString(array.get(), "dtype"));
  return str_of(dtype.get());
}

std::string shape_text(const ArrayLayout& array) {
  std::string text = "(";
  for (int axis = 0; axis < array.nd; ++axis) {
    text += std::to_string(array.dimensions[axis]);
    text += array.nd == 1 ? ",)" : axis + 1 == array.nd ? ")" : ", ";
  }
  return array.nd == 0 ? "()" : text;
}

// An int64 vector of the given object (a copy only where the type differs).
Ref int64_vector(PyObject* values) {
  Ref vector = numpy_call("asarray", values, "int64");
  if (layout_of(vector).nd != 1) raise(PyExc_ValueError, "expected a 1-D array of vertex numbers");
  return vector;
}

EdgeRun run_of(Ref sources, Ref targets, std::uint64_t source_offset) {
  const ArrayLayout& s = layout_of(sources);
  const ArrayLayout& t = layout_of(targets);
  if (s.dimensions[0] != t.dimensions[0]) raise(PyExc_ValueError, "source and target counts differ");
  EdgeRun run{Ref(), Ref(), s.data, t.data, s.strides[0], t.strides[0],
              static_cast<std::uint64_t>(s.dimensions[0]), true, source_offset};
  run.source_owner = std::move(sources);
  run.target_owner = std::move(targets);
  return run;
}

std::uint64_t square_side(const ArrayLayout& matrix) {
  if (matrix.nd != 2 || matrix.dimensions[0] != matrix.dimensions[1]) {
    raise(PyExc_ValueError, "the adjacency matrix must be square, not of shape " + shape_text(matrix));
  }
  return static_cast<std::uint64_t>(matrix.dimensions[0]);
}

// The nonzero entries of a dense matrix, scanned in blocks of rows.
GraphInput dense_input(PyObject* object) {
  const Ref matrix = numpy_call("asarray", object);  // a masked array's mask is not looked at
  const std::string kind = dtype_kind(matrix);
  if (kind.size() != 1 || std::strchr("biuf", kind[0]) == nullptr) {
    raise(PyExc_TypeError, "the adjacency matrix must have an integer, bool or float dtype, not " +
                               dtype_text(matrix));
  }
  GraphInput input;
  input.vertex_count = square_side(layout_of(matrix));
  const std::uint64_t n = input.vertex_count;
  const std::uint64_t rows_per_block = std::max<std::uint64_t>(1, kEntriesPerBlock / std::max<std::uint64_t>(n, 1));
  for (std::uint64_t first = 0; first < n; first += rows_per_block) {
    const std::uint64_t last = std::min(n, first + rows_per_block);
    const Ref start = Ref::checked(PyLong_FromUnsignedLongLong(first));
    const Ref stop = Ref::checked(PyLong_FromUnsignedLongLong(last));
    const Ref rows = Ref::checked(PySlice_New(start.get(), stop.get(), nullptr));
    const Ref block = Ref::checked(PyObject_GetItem(matrix.get(), rows.get()));
    const Ref nonzero = numpy_call("nonzero", block.get());
    input.runs.push_back(run_of(int64_vector(PyTuple_GetItem(nonzero.get(), 0)),
                                int64_vector(PyTuple_GetItem(nonzero.get(), 1)), first));
    if (PyErr_CheckSignals() != 0) throw_python_error();
    py::restore_thread(PyEval_SaveThread());  // a turn for the other Python threads
  }
  return input;
}

bool is_scipy_sparse(PyObject* object) {
  const Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__module__"));
  if (!module || !PyUnicode_Check(module.get())) {
    PyErr_Clear();
    return false;
  }
  return utf8_of(module.get()).starts_with("scipy.sparse") && PyObject_HasAttrString(object, "tocsr") &&
         PyObject_HasAttrString(object, "shape");
}

GraphInput sparse_input(PyObject* object) {
  const Ref shape = Ref::checked(PyObject_GetAttrString(object, "shape"));
  const Ref shape_array = numpy_call("asarray", shape.get(), "int64");
  const ArrayLayout& sides = layout_of(shape_array);
  const auto* side = reinterpret_cast<const std::int64_t*>(sides.data);
  if (sides.nd != 1 || sides.dimensions[0] != 2 || side[0] != side[1]) {
    raise(PyExc_ValueError, "the adjacency matrix must be square, not of shape " + str_of(shape.get()));
  }
  GraphInput input;
  input.vertex_count = static_cast<std::uint64_t>(side[0]);
  // A private CSR copy with repeated entries summed: an entry is what the matrix holds at
  // that place, so repeats that cancel out are no edge. nonzero() leaves out stored zeros.
  const Ref copy = Ref::checked(PyObject_CallMethod(object, "tocsr", "O", Py_True));
  Ref::checked(PyObject_CallMethod(copy.get(), "sum_duplicates", nullptr));
  const Ref nonzero = Ref::checked(PyObject_CallMethod(copy.get(), "nonzero", nullptr));
  if (!PyTuple_Check(nonzero.get()) || PyTuple_Size(nonzero.get()) != 2) {
    raise(PyExc_TypeError, "the sparse matrix's nonzero() did not give two arrays");
  }
  input.runs.push_back(
      run_of(int64_vector(PyTuple_GetItem(nonzero.get(), 0)), int64_vector(PyTuple_GetItem(nonzero.get(), 1)), 0));
  return input;
}

std::uint64_t to_vertex_count(PyObject* object) {
  const Ref index = Ref::checked(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_python_error();
    PyErr_Clear();
    raise(PyExc_ValueError, "vertex_count must be a non-negative integer below 2**64, not " + str_of(object));
  }
  return value;
}

// (vertex_count, edges): edges an (m, 2) integer array; each row an edge.
GraphInput pair_input(PyObject* pair) {
  GraphInput input;
  input.vertex_count = to_vertex_count(PyTuple_GetItem(pair, 0));
  const Ref given = numpy_call("asarray", PyTuple_GetItem(pair, 1));
  const ArrayLayout& shape = layout_of(given);
  Py_ssize_t size = 1;
  for (int axis = 0; axis < shape.nd; ++axis) size *= shape.dimensions[axis];
  if (size == 0) return input;  // no edges, whatever the array's type or shape
  if (shape.nd != 2 || shape.dimensions[1] != 2) {
    raise(PyExc_ValueError, "edges must be an (m, 2) array, not of shape " + shape_text(shape));
  }
  const std::string kind = dtype_kind(given);
  if (kind != "i" && kind != "u") {
    raise(PyExc_TypeError, "edges must have an integer dtype, not " + dtype_text(given));
  }
  // A private C-ordered copy: nothing the caller does meanwhile can change what is read.
  const Ref numpy = Ref::checked(PyImport_ImportModule("numpy"));
  const Ref type = Ref::checked(PyObject_GetAttrString(numpy.get(), kind == "i" ? "int64" : "uint64"));
  Ref edges = Ref::checked(PyObject_CallMethod(numpy.get(), "array", "OO", given.get(), type.get()));
  const ArrayLayout& copy = layout_of(edges);
  EdgeRun run{Ref(), Ref(), copy.data, copy.data + 8, copy.strides[0], copy.strides[0],
              static_cast<std::uint64_t>(copy.dimensions[0]), kind == "i", 0};
  run.target_owner = Ref::borrowed(edges.get());
  run.source_owner = std::move(edges);
  input.runs.push_back(std::move(run));
  return input;
}

std::string path_bytes(PyObject* path_like) {
  const Ref path = Ref::checked(PyOS_FSPath(path_like));
  const Ref bytes = PyBytes_Check(path.get()) ? Ref::borrowed(path.get())
                                              : Ref::checked(PyUnicode_EncodeFSDefault(path.get()));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) throw_python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

bool is_path(PyObject* object) {
  return PyUnicode_Check(object) || PyBytes_Check(object) || PyObject_HasAttrString(object, "__fspath__");
}

std::uint64_t vertex_at(const char* base, Py_ssize_t stride, std::uint64_t k, bool is_signed, std::uint64_t offset,
                        std::uint64_t vertex_count) {
  std::int64_t value;
  std::memcpy(&value, base + static_cast<Py_ssize_t>(k) * stride, sizeof value);
  if (is_signed && value < 0) {
    throw InvalidInput("vertex " + std::to_string(value) + " is out of range for a graph of " +
                       std::to_string(vertex_count) + " vertices");
  }
  const std::uint64_t vertex = static_cast<std::uint64_t>(value) + offset;
  if (vertex >= vertex_count) {
    throw InvalidInput("vertex " + std::to_string(vertex) + " is out of range for a graph of " +
                       std::to_string(vertex_count) + " vertices");
  }
  return vertex;
}

Graph graph_from_runs(const GraphInput& input) {
  std::uint64_t total = 0;
  for (const EdgeRun& run : input.runs) total += run.count;
  begin_stage(Stage::Reading, total);
  Graph graph(input.vertex_count);
  for (const EdgeRun& run : input.runs) {
    for (std::uint64_t k = 0; k < run.count; ++k) {
      if (k % kEdgesPerCheck == kEdgesPerCheck - 1) {
        throw_if_cancelled();
        advance_stage(kEdgesPerCheck);
      }
      const std::uint64_t source =
          vertex_at(run.sources, run.source_stride, k, run.is_signed, run.source_offset, input.vertex_count);
      const std::uint64_t target = vertex_at(run.targets, run.target_stride, k, run.is_signed, 0, input.vertex_count);
      if (source == target) throw InvalidInput("self-loop at vertex " + std::to_string(source));
      graph.add_edge(source, target);
    }
  }
  return graph;
}

}  // namespace

GraphInput take_graph_argument(PyObject* graph) {
  if (is_path(graph)) {
    GraphInput input;
    input.path = path_bytes(graph);
    return input;
  }
  if (PyTuple_Check(graph) && PyTuple_Size(graph) == 2) return pair_input(graph);
  if (PyObject_TypeCheck(graph, numpy_c_api().array_type)) return dense_input(graph);
  if (is_scipy_sparse(graph)) return sparse_input(graph);
  raise(PyExc_TypeError,
        "graph must be a .flag path, a square NumPy array, a SciPy sparse matrix or a (vertex_count, edges) "
        "pair, not '" + type_name_of(graph) + "'");
}

Graph build_graph(const GraphInput& input) {
  std::optional<Graph> graph;
  classify_input_failures([&] {
    graph.emplace(input.path ? read_flag_file(*input.path) : graph_from_runs(input));
    graph->build_pending();  // sorted here, where a cancelled call can stop it
  });
  return std::move(*graph);
}

}  // namespace tolva::arrays
