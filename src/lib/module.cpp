// Module initialisation: single-phase, for the stable ABI; the four functions are added by
// the initialiser together with __all__.
#include "lib/boundary.hpp"
#include "lib/drivers.hpp"

namespace tolva::py {
namespace {

PyMethodDef kFunctions[] = {
    {"compute_q_near_graph_old", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_q_near_graph_old)),
     METH_VARARGS | METH_KEYWORDS, "compute_q_near_graph_old(a, q, i, j, max_dimension)\n--\n\n"},
    {"compute_q_near_graph_new", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_q_near_graph_new)),
     METH_VARARGS | METH_KEYWORDS, "compute_q_near_graph_new(a, q, i, j, max_dimension)\n--\n\n"},
    {"compute_q_near_graph_old_from_file",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_q_near_graph_old_from_file)),
     METH_VARARGS | METH_KEYWORDS, "compute_q_near_graph_old_from_file(input_file, q, i, j, max_dimension)\n--\n\n"},
    {"compute_q_near_graph_new_from_file",
     reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(compute_q_near_graph_new_from_file)),
     METH_VARARGS | METH_KEYWORDS, "compute_q_near_graph_new_from_file(input_file, q, i, j, max_dimension)\n--\n\n"},
};

PyModuleDef kModuleDefinition = {PyModuleDef_HEAD_INIT, "tolva", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr};

PyObject* initialised_module = nullptr;  // set once, kept for the life of the process

// The module's __all__, created as an empty list when the module has none.
Ref all_list(PyObject* module) {
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    all = Ref::checked(PyList_New(0));
    if (PyObject_SetAttrString(module, "__all__", all.get()) != 0) throw_python_error();
  }
  if (!PyList_Check(all.get())) raise(PyExc_TypeError, "'__all__' of the module is not a list");
  return all;
}

void add_function(PyObject* module, PyObject* module_name, PyMethodDef& definition) {
  const Ref function = Ref::checked(PyCFunction_NewEx(&definition, module, module_name));
  const Ref name = Ref::checked(PyObject_GetAttrString(function.get(), "__name__"));
  const Ref all = all_list(module);
  if (PyList_Append(all.get(), name.get()) != 0) throw_python_error();
  if (PyObject_SetAttr(module, name.get(), function.get()) != 0) throw_python_error();
}

PyObject* create_module() {
  if (initialised_module != nullptr) {
    raise(PyExc_ImportError,
          "native modules compiled for CPython 3.8 or older may only be initialized once per "
          "interpreter process");
  }
  Ref module = Ref::checked(PyModule_Create2(&kModuleDefinition, 3));
  const Ref module_name = Ref::checked(PyModule_GetNameObject(module.get()));
  for (PyMethodDef& definition : kFunctions) add_function(module.get(), module_name.get(), definition);
  initialised_module = module.get();
  Py_INCREF(initialised_module);
  return module.release();
}

}  // namespace
}  // namespace tolva::py

// Spelled out rather than PyMODINIT_FUNC: before 3.9 that macro does not make the symbol
// visible, and the build hides everything else.
extern "C" __attribute__((visibility("default"))) PyObject* PyInit_tolva(void) {
  return tolva::py::boundary(tolva::py::create_module);
}
