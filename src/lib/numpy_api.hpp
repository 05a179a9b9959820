// NumPy's C API, taken at run time from the _ARRAY_API capsule (no NumPy headers or
// libraries at build time). Fetched on the first matrix call, kept for the process.
#pragma once

#include <cstdint>

#include "lib/python.hpp"

namespace tolva::py {

// The fields of NumPy's array object that are read directly (stable across NumPy 1.x/2.x).
struct ArrayObjectLayout {
  PyObject ob_base;
  char* data;
  int nd;
  Py_ssize_t* dimensions;
  Py_ssize_t* strides;
  PyObject* base;
  PyObject* descr;
  int flags;
};

struct NumpyApi {
  PyTypeObject* array_type;                         // table entry 2
  PyObject* (*descr_from_type)(int type_number);     // entry 45, returns a new reference
  unsigned char (*equiv_types)(PyObject*, PyObject*);  // entry 182
};

inline constexpr int kUint64TypeNumber = 8;

// Panics with "Failed to access NumPy array API capsule: ..." when NumPy is unavailable.
const NumpyApi& numpy_api();

}  // namespace tolva::py
