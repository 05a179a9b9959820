// Module initialisation: NumPy's C API is loaded at import (every result is an array), and
// the DirectedFlagComplex type is added with __all__.
#include "arrays/complex_type.hpp"
#include "arrays/errors.hpp"
#include "arrays/numpy_c_api.hpp"

namespace tolva::arrays {
namespace {

PyModuleDef kModuleDefinition = {
    PyModuleDef_HEAD_INIT, "tolva_arrays",
    "q-near graphs of directed flag complexes as NumPy arrays: one complex, built once, for many requests.",
    0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* create_module() {
  load_numpy_c_api();
  Ref module = Ref::checked(PyModule_Create2(&kModuleDefinition, 3));
  const Ref module_name = Ref::checked(PyModule_GetNameObject(module.get()));
  const Ref type = create_complex_type(module_name.get());
  if (PyObject_SetAttrString(module.get(), "DirectedFlagComplex", type.get()) != 0) throw_python_error();
  const Ref all = Ref::checked(Py_BuildValue("[s]", "DirectedFlagComplex"));
  if (PyObject_SetAttrString(module.get(), "__all__", all.get()) != 0) throw_python_error();
  return module.release();
}

}  // namespace
}  // namespace tolva::arrays

// Spelled out rather than PyMODINIT_FUNC: before 3.9 that macro does not make the symbol
// visible, and the build hides everything else.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tolva_arrays(void) {
  return tolva::arrays::boundary(tolva::arrays::create_module);
}
