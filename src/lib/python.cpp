#include "lib/python.hpp"

namespace tolva::py {

void raise(PyObject* exception_type, const std::string& message) {
  PyErr_SetString(exception_type, message.c_str());
  throw_python_error();
}

std::string utf8_of(PyObject* text) {
  const Ref bytes = Ref::checked(PyUnicode_AsUTF8String(text));
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes.get(), &data, &size) != 0) throw_python_error();
  return std::string(data, static_cast<std::size_t>(size));
}

std::string str_of(PyObject* object) {
  const Ref text = Ref::checked(PyObject_Str(object));
  return utf8_of(text.get());
}

std::string type_name_of(PyObject* object) {
  const Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__qualname__"));
  if (name && PyUnicode_Check(name.get())) {
    try {
      return utf8_of(name.get());
    } catch (const PythonError&) {
    }
  }
  PyErr_Clear();
  return "<failed to extract type name>";
}

}  // namespace tolva::py
