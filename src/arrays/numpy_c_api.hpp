// The few entries of NumPy's C API this module uses, taken at run time from the _ARRAY_API
// capsule (no NumPy headers or libraries at build time), loaded when the module is imported.
#pragma once

#include <cstdint>

#include "arrays/python.hpp"

namespace tolva::arrays {

// NumPy's type numbers on LP64 Linux.
inline constexpr int kUint32 = 6;
inline constexpr int kInt64 = 7;

struct NumpyCApi {
  PyTypeObject* array_type;  // entry 2
  // PyArray_New (entry 93): a new array; data null lets NumPy allocate it.
  PyObject* (*new_array)(PyTypeObject*, int nd, Py_ssize_t* dimensions, int type_number, Py_ssize_t* strides,
                         void* data, int item_size, int flags, PyObject* object);
  // PyArray_SetBaseObject (entry 282): steals the reference to base, also on failure.
  int (*set_base_object)(PyObject* array, PyObject* base);
};

// Loads the table (once); throws PythonError with ImportError set when NumPy is missing.
void load_numpy_c_api();
const NumpyCApi& numpy_c_api();

// The data of an array known to be C-contiguous and owned by this module.
void* array_data(PyObject* array) noexcept;

// A new C-contiguous array of the type, its memory left for the caller to write.
Ref new_uninitialised_array(int type_number, Py_ssize_t rows, Py_ssize_t columns);

// A new C-contiguous (rows, columns) array over `data` (from malloc), which the array frees
// with std::free when it dies; on failure `data` is freed here.
Ref adopt_malloc_block(int type_number, Py_ssize_t rows, Py_ssize_t columns, void* data);

}  // namespace tolva::arrays
