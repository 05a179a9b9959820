#include "lib/convert.hpp"

#include <cstring>

#include "lib/numpy_api.hpp"
#include "base/panic.hpp"

namespace tolva::py {

void prefix_type_error(const char* argument_name) {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type != PyExc_TypeError) {
    PyErr_Restore(type, value, traceback);
    return;
  }
  PyErr_NormalizeException(&type, &value, &traceback);
  const Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  Ref message(PyUnicode_FromFormat("argument '%s': %S", argument_name, value));
  if (!message) return;
  Ref replacement(PyObject_CallFunctionObjArgs(PyExc_TypeError, message.get(), nullptr));
  if (!replacement) return;
  if (PyObject* cause = PyException_GetCause(value)) PyException_SetCause(replacement.get(), cause);
  PyErr_SetObject(PyExc_TypeError, replacement.get());
}

MatrixView to_matrix(PyObject* object) {
  const NumpyApi& numpy = numpy_api();
  PyTypeObject* type = Py_TYPE(object);
  if (type != numpy.array_type && !PyType_IsSubtype(type, numpy.array_type)) {
    raise(PyExc_TypeError, "'" + type_name_of(object) + "' object cannot be converted to 'PyArray<T, D>'");
  }
  const auto* layout = reinterpret_cast<const ArrayObjectLayout*>(object);
  if (layout->nd != 2) {
    raise(PyExc_TypeError, "dimensionality mismatch:\n from=" + std::to_string(layout->nd) + ", to=2");
  }
  const Ref expected = Ref::checked(numpy.descr_from_type(kUint64TypeNumber));
  if (layout->descr != expected.get() && !numpy.equiv_types(layout->descr, expected.get())) {
    raise(PyExc_TypeError, "type mismatch:\n from=" + str_of(layout->descr) + ", to=" + str_of(expected.get()));
  }
  return MatrixView{Ref::borrowed(object), layout->data,       layout->dimensions[0],
                    layout->dimensions[1], layout->strides[0], layout->strides[1]};
}

std::string to_path(PyObject* object) {
  if (!PyUnicode_Check(object)) {
    raise(PyExc_TypeError, "'" + type_name_of(object) + "' object cannot be converted to 'PyString'");
  }
  return utf8_of(object);
}

std::uint64_t to_unsigned(PyObject* object) {
  const Ref index = Ref::checked(PyNumber_Index(object));
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw_python_error();
  return value;
}

Graph graph_from_matrix(const MatrixView& matrix) {
  if (matrix.rows != matrix.columns) panic_assert_eq(matrix.rows, matrix.columns);
  const auto n = static_cast<std::uint64_t>(matrix.rows);
  Graph graph(n);
  for (Py_ssize_t r = 0; r < matrix.rows; ++r) {
    const char* row = matrix.data + r * matrix.row_stride;
    for (Py_ssize_t c = 0; c < matrix.columns; ++c) {
      std::uint64_t entry;
      std::memcpy(&entry, row + c * matrix.column_stride, sizeof entry);  // any alignment
      if (entry != 1) continue;
      if (r == c) panic_assert_ne(r, r);
      graph.add_edge(static_cast<std::uint64_t>(r), static_cast<std::uint64_t>(c));
    }
  }
  return graph;
}

}  // namespace tolva::py
