#include "lib/boundary.hpp"

#include <cstdio>
#include <cstdlib>

namespace tolva::py {
namespace {

constexpr const char* kPanicExceptionDoc =
    "\nThe exception raised when native code, called from Python, panics.\n\n"
    "Like SystemExit, this exception derives from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to end.\n";

PyObject* panic_exception_type() {
  static PyObject* type = nullptr;  // kept for the life of the process
  if (type == nullptr) {
    type = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicExceptionDoc,
                                     PyExc_BaseException, nullptr);
    if (type == nullptr) {
      PyErr_Print();
      std::fputs("failed to create the PanicException type\n", stderr);
      std::abort();
    }
  }
  return type;
}

}  // namespace

void raise_panic_exception(const std::string& message) {
  PyObject* type = panic_exception_type();
  Ref text(PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
  if (!text) return;  // the decoding error is set instead
  Ref arguments(PyTuple_New(1));
  if (!arguments) return;
  PyTuple_SetItem(arguments.get(), 0, text.release());
  PyErr_SetObject(type, arguments.get());
}

}  // namespace tolva::py
