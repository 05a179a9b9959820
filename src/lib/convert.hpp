// Conversion of the call's arguments into the values the computation works on.
#pragma once

#include <cstdint>
#include <string>

#include "graph/graph.hpp"
#include "lib/python.hpp"

namespace tolva::py {

// A read-only view of a 2-D uint64 array; holds a reference to the array for the call. The
// layout is valid only until Python code runs: take it again after converting other arguments.
struct MatrixView {
  Ref array;
  const char* data;
  Py_ssize_t rows;
  Py_ssize_t columns;
  Py_ssize_t row_stride;     // bytes
  Py_ssize_t column_stride;  // bytes
};

// Each throws PythonError with the interpreter's exception set on failure.
MatrixView to_matrix(PyObject* object);
std::string to_path(PyObject* object);
std::uint64_t to_unsigned(PyObject* object);

// Row-by-row scan: every entry equal to 1 adds the edge row -> column.
Graph graph_from_matrix(const MatrixView& matrix);

// With a TypeError set (exactly that type), replaces it by one whose message starts with
// "argument '<name>': "; any other exception is left as it is.
void prefix_type_error(const char* argument_name);

// Runs one argument's conversion; an exact TypeError gets the "argument '<name>': " prefix.
template <class Convert>
auto convert_argument(const char* name, Convert&& convert) -> decltype(convert()) {
  try {
    return convert();
  } catch (const PythonError&) {
    prefix_type_error(name);
    throw;
  }
}

}  // namespace tolva::py
