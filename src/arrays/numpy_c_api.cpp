#include "arrays/numpy_c_api.hpp"

#include <cstdlib>
#include <optional>

namespace tolva::arrays {
namespace {

constexpr int kCArrayFlags = 0x0001 | 0x0100 | 0x0400;  // C-contiguous, aligned, writeable
constexpr const char* kBlockCapsuleName = "tolva_arrays.malloc_block";

std::optional<NumpyCApi> loaded;  // guarded by the interpreter lock; kept for the process

// NumPy 2 keeps its core in numpy._core; numpy.core is a deprecated alias there.
Ref import_multiarray() {
  Ref module(PyImport_ImportModule("numpy._core.multiarray"));
  if (module || !PyErr_ExceptionMatches(PyExc_ImportError)) return module;
  PyErr_Clear();
  return Ref(PyImport_ImportModule("numpy.core.multiarray"));
}

void free_block(PyObject* capsule) { std::free(PyCapsule_GetPointer(capsule, kBlockCapsuleName)); }

// The PyArrayObject fields read here (stable across NumPy 1.x and 2.x).
struct ArrayHead {
  PyObject ob_base;
  char* data;
};

}  // namespace

void load_numpy_c_api() {
  if (loaded) return;
  const Ref module = import_multiarray();
  if (!module) throw_python_error();
  // The capsule stays referenced for the life of the process so that the table stays valid.
  PyObject* capsule = PyObject_GetAttrString(module.get(), "_ARRAY_API");
  if (capsule == nullptr) throw_python_error();
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule, PyCapsule_GetName(capsule)));
  if (table == nullptr) {
    Py_DECREF(capsule);
    throw_python_error();
  }
  loaded = NumpyCApi{static_cast<PyTypeObject*>(table[2]),
                     reinterpret_cast<decltype(NumpyCApi::new_array)>(table[93]),
                     reinterpret_cast<decltype(NumpyCApi::set_base_object)>(table[282])};
}

const NumpyCApi& numpy_c_api() { return *loaded; }

void* array_data(PyObject* array) noexcept { return reinterpret_cast<ArrayHead*>(array)->data; }

Ref new_uninitialised_array(int type_number, Py_ssize_t rows, Py_ssize_t columns) {
  Py_ssize_t dimensions[2] = {rows, columns};
  const int nd = columns < 0 ? 1 : 2;
  return Ref::checked(numpy_c_api().new_array(numpy_c_api().array_type, nd, dimensions, type_number, nullptr,
                                              nullptr, 0, 0, nullptr));
}

Ref adopt_malloc_block(int type_number, Py_ssize_t rows, Py_ssize_t columns, void* data) {
  if (data == nullptr) return new_uninitialised_array(type_number, rows, columns);
  Ref owner(PyCapsule_New(data, kBlockCapsuleName, free_block));
  if (!owner) {
    std::free(data);
    throw_python_error();
  }
  Py_ssize_t dimensions[2] = {rows, columns};
  Ref array = Ref::checked(numpy_c_api().new_array(numpy_c_api().array_type, 2, dimensions, type_number, nullptr,
                                                   data, 0, kCArrayFlags, nullptr));
  if (numpy_c_api().set_base_object(array.get(), owner.release()) != 0) throw_python_error();
  return array;
}

}  // namespace tolva::arrays
