// Interpreter access for the binding layer: the Python header under the stable ABI, an
// owning reference, and the C++ exception that says "the interpreter's error is set".
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <string>
#include <utility>

namespace tolva::py {

// Thrown when an interpreter call failed and left its exception set; the boundary raises it.
struct PythonError {};

[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Sets a Python exception of the given type and throws PythonError.
[[noreturn]] void raise(PyObject* exception_type, const std::string& message);

class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : object_(owned) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(object_);
      object_ = std::exchange(other.object_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(object_); }

  static Ref borrowed(PyObject* object) {
    Py_XINCREF(object);
    return Ref(object);
  }
  // Takes a new reference returned by an interpreter call; throws when the call failed.
  static Ref checked(PyObject* result) {
    if (result == nullptr) throw_python_error();
    return Ref(result);
  }

  PyObject* get() const noexcept { return object_; }
  PyObject* release() noexcept { return std::exchange(object_, nullptr); }
  explicit operator bool() const noexcept { return object_ != nullptr; }

 private:
  PyObject* object_ = nullptr;
};

// UTF-8 text of a str object; throws PythonError when it cannot be encoded.
std::string utf8_of(PyObject* text);

// str(object) as UTF-8; throws PythonError on failure.
std::string str_of(PyObject* object);

// The __qualname__ of the object's type, or "<failed to extract type name>".
std::string type_name_of(PyObject* object);

}  // namespace tolva::py
