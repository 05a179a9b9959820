#include "arrays/complex_type.hpp"

#include <bit>
#include <cstring>
#include <limits>
#include <memory>
#include <optional>

#include "arrays/errors.hpp"
#include "arrays/flag_complex.hpp"
#include "arrays/graph_input.hpp"
#include "arrays/native_call.hpp"
#include "arrays/numpy_c_api.hpp"
#include "base/memory_guard.hpp"
#include "base/task.hpp"
#include "parallel/worker_pool.hpp"
#include "tolva/new/single_thread.hpp"
#include "tolva/original/single_thread.hpp"

namespace tolva::arrays {
namespace {

static_assert(std::endian::native == std::endian::little, "pairs are handed to NumPy as pairs of uint32");

constexpr std::uint64_t kNoBound = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint64_t kItemsPerBlock = std::uint64_t{1} << 18;

struct ComplexObject {
  PyObject_HEAD
  BuiltComplex* built;
  std::uint64_t q;
  std::uint64_t max_dimension;
};

ComplexObject& object_of(PyObject* self) { return *reinterpret_cast<ComplexObject*>(self); }
const BuiltComplex& built_of(PyObject* self) { return *object_of(self).built; }

std::uint64_t to_unsigned(PyObject* value, const char* name) {
  const Ref index = Ref::checked(PyNumber_Index(value));
  const unsigned long long converted = PyLong_AsUnsignedLongLong(index.get());
  if (converted == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (!PyErr_ExceptionMatches(PyExc_OverflowError)) throw_python_error();
    PyErr_Clear();
    raise(PyExc_ValueError, std::string(name) + " must be an integer from 0 to 2**64 - 1, not " + str_of(value));
  }
  return converted;
}

// Runs body(V{}) with the complex's vertex type.
template <class Body>
void with_vertices(const BuiltComplex& built, Body&& body) {
  with_vertex_type(built.complex().vertex_width, std::forward<Body>(body));
}

// Runs for_range(first, last) over [0, count) in blocks on the worker pool.
template <class ForRange>
void in_blocks(std::uint64_t count, ForRange&& for_range) {
  const std::uint64_t blocks = (count + kItemsPerBlock - 1) / kItemsPerBlock;
  parallel::WorkerPool::global().run_blocks(blocks, [&](std::size_t block) {
    const std::uint64_t first = block * kItemsPerBlock;
    for_range(first, std::min(count, first + kItemsPerBlock));
  });
}

// ------------------------------------------------------------------ construction

PyObject* new_complex(PyTypeObject* type, PyObject* positional, PyObject* keywords) {
  return boundary([&]() -> PyObject* {
    static const char* names[] = {"graph", "q", "max_dimension", "progress", nullptr};
    PyObject *graph = nullptr, *q_object = nullptr, *max_dimension_object = Py_None, *progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(positional, keywords, "OO|O$O:DirectedFlagComplex", const_cast<char**>(names),
                                     &graph, &q_object, &max_dimension_object, &progress)) {
      throw_python_error();
    }
    check_progress(progress);
    const std::uint64_t q = to_unsigned(q_object, "q");
    const std::uint64_t max_dimension =
        max_dimension_object == Py_None ? kNoBound : to_unsigned(max_dimension_object, "max_dimension");
    const GraphInput input = take_graph_argument(graph);
    std::unique_ptr<BuiltComplex> built;
    run_native([&] { built = std::make_unique<BuiltComplex>(build_graph(input), q, max_dimension); }, progress);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* self = alloc(type, 0);
    if (self == nullptr) throw_python_error();
    object_of(self).built = built.release();
    object_of(self).q = q;
    object_of(self).max_dimension = max_dimension;
    return self;
  });
}

void dealloc_complex(PyObject* self) {
  delete object_of(self).built;
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

// ------------------------------------------------------------------ attributes

PyObject* get_vertex_count(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(built_of(self).vertex_count()); }
PyObject* get_q(PyObject* self, void*) { return PyLong_FromUnsignedLongLong(object_of(self).q); }

PyObject* get_max_dimension(PyObject* self, void*) {
  if (object_of(self).max_dimension == kNoBound) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(object_of(self).max_dimension);
}

PyObject* get_counts(PyObject* self, void*) {
  return boundary([&]() -> PyObject* {
    const BuiltComplex& built = built_of(self);
    Ref counts = new_uninitialised_array(kInt64, static_cast<Py_ssize_t>(built.list_count()), -1);
    auto* out = static_cast<std::int64_t*>(array_data(counts.get()));
    for (std::uint64_t k = 0; k < built.list_count(); ++k) {
      out[k] = static_cast<std::int64_t>(built.complex().lists[k].size());
    }
    return counts.release();
  });
}

// ------------------------------------------------------------------ methods

std::uint64_t list_of_dimension(PyObject* self, PyObject* dimension_object) {
  const std::uint64_t dimension = to_unsigned(dimension_object, "dimension");
  const std::uint64_t q = object_of(self).q;
  if (dimension < q) {
    raise(PyExc_ValueError, "dimension " + std::to_string(dimension) + " is below q = " + std::to_string(q));
  }
  return dimension - q;
}

PyObject* first_position(PyObject* self, PyObject* dimension) {
  return boundary([&]() -> PyObject* {
    return PyLong_FromUnsignedLongLong(built_of(self).first_position(list_of_dimension(self, dimension)));
  });
}

// Vertex numbers fit in uint32: a graph has at most 2^32 vertices.
PyObject* simplices(PyObject* self, PyObject* positional, PyObject* keywords) {
  return boundary([&]() -> PyObject* {
    static const char* names[] = {"dimension", nullptr};
    PyObject* dimension_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(positional, keywords, "O:simplices", const_cast<char**>(names),
                                     &dimension_object)) {
      throw_python_error();
    }
    const std::uint64_t k = list_of_dimension(self, dimension_object);
    const BuiltComplex& built = built_of(self);
    const std::uint64_t width = object_of(self).q + k + 1;
    if (width == 0 || width > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
      raise(PyExc_ValueError, "dimension " + str_of(dimension_object) + " is too large for a simplex");
    }
    const SimplexList* list = k < built.list_count() ? &built.complex().lists[k] : nullptr;
    const std::uint64_t count = list == nullptr ? 0 : list->size();
    ensure_memory_available(count * width * sizeof(std::uint32_t));
    Ref array = new_uninitialised_array(kUint32, static_cast<Py_ssize_t>(count), static_cast<Py_ssize_t>(width));
    auto* out = static_cast<std::uint32_t*>(array_data(array.get()));
    if (count == 0) return array.release();
    run_native(
        [&] {
          with_vertices(built, [&]<class V>(V) {
            in_blocks(count, [&](std::uint64_t first, std::uint64_t last) {
              for (std::uint64_t place = first; place < last; ++place) {
                const V* simplex = list->template at<V>(place);
                std::uint32_t* row = out + place * width;
                for (std::uint64_t c = 0; c < width; ++c) row[c] = simplex[c];
              }
            });
          });
        },
        Py_None);
    return array.release();
  });
}

enum class Algorithm { Old, New };

Algorithm to_algorithm(PyObject* name) {
  if (!PyUnicode_Check(name)) {
    raise(PyExc_TypeError, "algorithm must be a str ('old' or 'new'), not '" + type_name_of(name) + "'");
  }
  const std::string text = utf8_of(name);
  if (text == "old") return Algorithm::Old;
  if (text == "new") return Algorithm::New;
  raise(PyExc_ValueError, "algorithm must be 'old' or 'new', not '" + text + "'");
}

// The list functions fail on such a face position whenever the complex has (q+1)-simplices.
void check_face_position(const char* name, std::uint64_t position, std::uint64_t q, const BuiltComplex& built) {
  if (position > q + 1 && built.has_cofaces_of_q_simplices()) {
    raise(PyExc_ValueError, std::string(name) + " = " + std::to_string(position) + " is above q + 1 = " +
                                std::to_string(q + 1) + ": a (q+1)-simplex has faces 0 to q + 1 only");
  }
}

// Packed source << 32 | target keys become [source, target] uint32 pairs in place.
void swap_halves(FlatBuffer<std::uint64_t>& keys) {
  std::uint64_t* data = keys.data();
  in_blocks(keys.size(), [&](std::uint64_t first, std::uint64_t last) {
    for (std::uint64_t at = first; at < last; ++at) data[at] = std::rotr(data[at], 32);
  });
}

PyObject* q_near_graph(PyObject* self, PyObject* positional, PyObject* keywords) {
  return boundary([&]() -> PyObject* {
    static const char* names[] = {"algorithm", "i", "j", "progress", nullptr};
    PyObject *algorithm_name = nullptr, *i_object = nullptr, *j_object = nullptr, *progress = Py_None;
    if (!PyArg_ParseTupleAndKeywords(positional, keywords, "OOO|$O:q_near_graph", const_cast<char**>(names),
                                     &algorithm_name, &i_object, &j_object, &progress)) {
      throw_python_error();
    }
    check_progress(progress);
    const Algorithm algorithm = to_algorithm(algorithm_name);
    const std::uint64_t q = object_of(self).q;
    const std::uint64_t i = to_unsigned(i_object, "i");
    const std::uint64_t j = to_unsigned(j_object, "j");
    const BuiltComplex& built = built_of(self);
    check_face_position("i", i, q, built);
    check_face_position("j", j, q, built);
    FlatBuffer<std::uint64_t> pairs;
    run_native(
        [&] {
          begin_stage(Stage::Algorithm, 0);
          const FaceWalk& walk = built.face_walk();
          QNearGraph graph = algorithm == Algorithm::Old
                                 ? q_near_graph_old(q, i, j, built.complex(), built.index(), ProductCuts(), &walk)
                                 : q_near_graph_new(q, i, j, built.complex(), built.index(), ProductCuts(), &walk);
          pairs = graph.take_packed_pairs();
          swap_halves(pairs);
        },
        progress);
    const auto count = static_cast<Py_ssize_t>(pairs.size());
    return adopt_malloc_block(kUint32, count, 2, pairs.release()).release();
  });
}

PyObject* repr_complex(PyObject* self) {
  return boundary([&]() -> PyObject* {
    const ComplexObject& object = object_of(self);
    const BuiltComplex& built = *object.built;
    std::string text = "DirectedFlagComplex(vertex_count=" + std::to_string(built.vertex_count()) +
                       ", q=" + std::to_string(object.q) + ", max_dimension=" +
                       (object.max_dimension == kNoBound ? "None" : std::to_string(object.max_dimension)) +
                       ", counts=[";
    for (std::uint64_t k = 0; k < built.list_count(); ++k) {
      text += (k == 0 ? "" : ", ") + std::to_string(built.complex().lists[k].size());
    }
    text += "])";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyMethodDef kMethods[] = {
    {"simplices", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(simplices)),
     METH_VARARGS | METH_KEYWORDS,
     "simplices(dimension)\n--\n\nA new (count, dimension + 1) uint32 array of the simplices of the dimension: "
     "row r is the simplex at position first_position(dimension) + r."},
    {"q_near_graph", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(q_near_graph)),
     METH_VARARGS | METH_KEYWORDS,
     "q_near_graph(algorithm, i, j, *, progress=None)\n--\n\nThe q-near graph ('old' or 'new' algorithm) as a "
     "new (m, 2) uint32 array of [s, t] position pairs, in the order of the list functions."},
    {"first_position", first_position, METH_O,
     "first_position(dimension)\n--\n\nPosition of the first simplex of the dimension (the simplex count when "
     "there is none of it or above)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kAttributes[] = {
    {"vertex_count", get_vertex_count, nullptr, "Number of vertices of the graph.", nullptr},
    {"q", get_q, nullptr, "The lowest dimension enumerated.", nullptr},
    {"max_dimension", get_max_dimension, nullptr, "The highest dimension enumerated; None: no bound.", nullptr},
    {"counts", get_counts, nullptr,
     "int64 array: simplices per dimension from q up to the last non-empty dimension.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char* kTypeDoc =
    "DirectedFlagComplex(graph, q, max_dimension=None, *, progress=None)\n--\n\n"
    "The directed flag complex of a graph from dimension q to max_dimension (None: no bound), "
    "enumerated and indexed once.\n\n"
    "graph: a .flag path (str or os.PathLike), a square NumPy array (nonzero entries are edges), "
    "a SciPy sparse matrix or array, or a (vertex_count, edges) pair with edges an (m, 2) integer array. "
    "progress: None or a callable taking (stage, done, total).";

}  // namespace

Ref create_complex_type(PyObject* module_name) {
  PyType_Slot slots[] = {
      {Py_tp_new, reinterpret_cast<void*>(new_complex)},
      {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_complex)},
      {Py_tp_repr, reinterpret_cast<void*>(repr_complex)},
      {Py_tp_methods, kMethods},
      {Py_tp_getset, kAttributes},
      {Py_tp_doc, const_cast<char*>(kTypeDoc)},
      {0, nullptr},
  };
  PyType_Spec type_description = {"tolva_arrays.DirectedFlagComplex", sizeof(ComplexObject), 0, Py_TPFLAGS_DEFAULT, slots};
  Ref type = Ref::checked(PyType_FromSpec(&type_description));
  if (PyObject_SetAttrString(type.get(), "__module__", module_name) != 0) throw_python_error();
  return type;
}

}  // namespace tolva::arrays
