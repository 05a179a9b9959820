#include "lib/numpy_api.hpp"

#include <optional>
#include <string>

#include "base/panic.hpp"

namespace tolva::py {
namespace {

std::string repr_or_none(PyObject* object) {
  if (object == nullptr) return "None";
  const Ref text(PyObject_Repr(object));
  if (!text) {
    PyErr_Clear();
    return "<unprintable>";
  }
  try {
    return utf8_of(text.get());
  } catch (const PythonError&) {
    PyErr_Clear();
    return "<unprintable>";
  }
}

// PyErr { type: <class 'ModuleNotFoundError'>, value: ModuleNotFoundError(...), traceback: None }
std::string take_error_rendering() {
  PyObject *type = nullptr, *value = nullptr, *traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  const Ref owned_type(type), owned_value(value), owned_traceback(traceback);
  return "PyErr { type: " + repr_or_none(type) + ", value: " + repr_or_none(value) +
         ", traceback: " + repr_or_none(traceback) + " }";
}

// NumPy 2 keeps its core in numpy._core; numpy.core is a deprecated alias there.
PyObject* import_multiarray() {
  PyObject* module = PyImport_ImportModule("numpy._core.multiarray");
  if (module != nullptr || !PyErr_ExceptionMatches(PyExc_ImportError)) return module;
  PyErr_Clear();
  return PyImport_ImportModule("numpy.core.multiarray");
}

std::optional<NumpyApi> load() {
  const Ref module(import_multiarray());
  if (!module) return std::nullopt;
  // The capsule stays referenced for the life of the process so that the table stays valid.
  PyObject* capsule = PyObject_GetAttrString(module.get(), "_ARRAY_API");
  if (capsule == nullptr) return std::nullopt;
  const char* name = PyCapsule_GetName(capsule);
  if (name == nullptr && PyErr_Occurred()) {
    Py_DECREF(capsule);
    return std::nullopt;
  }
  auto** table = static_cast<void**>(PyCapsule_GetPointer(capsule, name));
  if (table == nullptr) {
    Py_DECREF(capsule);
    return std::nullopt;
  }
  return NumpyApi{static_cast<PyTypeObject*>(table[2]),
                  reinterpret_cast<PyObject* (*)(int)>(table[45]),
                  reinterpret_cast<unsigned char (*)(PyObject*, PyObject*)>(table[182])};
}

}  // namespace

const NumpyApi& numpy_api() {
  static std::optional<NumpyApi> api;  // guarded by the interpreter lock
  if (!api) {
    api = load();
    if (!api) panic("Failed to access NumPy array API capsule: " + take_error_rendering());
  }
  return *api;
}

}  // namespace tolva::py
